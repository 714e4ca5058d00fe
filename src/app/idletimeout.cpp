#include "idletimeout.h"

#include <QString>
#include <exception>

#include "inifile.h"
#include "settingsplace.h"

int32_t IdleTimeoutFromSetting(const std::optional<std::string>& AValue) {
  constexpr int32_t Default = DefaultIdleTimeoutSeconds * 1000;
  if (!AValue || AValue->empty() || AValue->size() > 7) return Default;
  int32_t Seconds = 0;
  for (const char Digit : *AValue) {
    if (Digit < '0' || Digit > '9') return Default;
    Seconds = Seconds * 10 + (Digit - '0');
  }
  if (Seconds > MaxIdleTimeoutSeconds) return Default;
  return Seconds * 1000;
}

int32_t ReadIdleTimeoutSetting() {
  std::string Path;
  try {
    Path = SettingsFilePath();
  } catch (const std::exception&) {
    return IdleTimeoutFromSetting(std::nullopt);  // no settings file to read: the default
  }
  return IdleTimeoutFromSetting(ReadIniString(QString::fromLocal8Bit(Path), "Server", IdleTimeoutKey));
}
