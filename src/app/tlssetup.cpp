#include "tlssetup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <exception>
#include <sstream>

#include "inifile.h"
#include "settingsplace.h"

namespace {

constexpr TNetFTPTLSMode Modes[] = {tlsOff, tlsAuto, tlsRequired, tlsImplicit};

std::string Lower(std::string AText) {
  for (char& c : AText)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return AText;
}

std::string Key(const std::string& AHost, int32_t APort) { return AHost + ":" + std::to_string(APort); }

// "host:port" -> host and port; the host may hold colons (an IPv6 address).
bool SplitKey(const std::string& AKey, std::string& AHost, int32_t& APort) {
  const size_t Colon = AKey.rfind(':');
  if (Colon == std::string::npos || Colon == 0 || Colon + 1 == AKey.size()) return false;
  int64_t Port = 0;
  for (size_t i = Colon + 1; i < AKey.size(); ++i) {
    if (AKey[i] < '0' || AKey[i] > '9') return false;
    Port = Port * 10 + (AKey[i] - '0');
    if (Port > 65535) return false;
  }
  AHost = AKey.substr(0, Colon);
  APort = static_cast<int32_t>(Port);
  return true;
}

}  // namespace

std::string TLSModeName(TNetFTPTLSMode AMode) {
  switch (AMode) {
    case tlsOff:
      return "off";
    case tlsAuto:
      return "auto";
    case tlsRequired:
      return "required";
    case tlsImplicit:
      return "implicit";
  }
  return "auto";
}

TNetFTPTLSMode TLSModeFromSetting(const std::optional<std::string>& AValue) {
  if (!AValue) return tlsAuto;
  const std::string Value = Lower(*AValue);
  for (TNetFTPTLSMode Mode : Modes)
    if (Value == TLSModeName(Mode)) return Mode;
  return tlsAuto;
}

TNetFTPTLSMode ReadTLSModeSetting() {
  std::string Path;
  try {
    Path = SettingsFilePath();
  } catch (const std::exception&) {
    return tlsAuto;  // no settings file to read: the default
  }
  return TLSModeFromSetting(ReadIniString(QString::fromLocal8Bit(Path), "Server", TLSModeKey));
}

TTrustStore::TTrustStore(const QString& AFileName) : FFileName(AFileName) {
  QFile File(AFileName);
  if (!File.open(QIODevice::ReadOnly)) return;
  std::istringstream Lines(File.readAll().toStdString());
  std::string Line;
  while (std::getline(Lines, Line)) {
    std::istringstream Fields(Line);
    std::string Server, Text, Rest, Host, Fingerprint;
    int32_t Port = 0;
    if (!(Fields >> Server >> Text) || (Fields >> Rest)) continue;
    if (!SplitKey(Server, Host, Port) || !ParseFingerprint(Text, Fingerprint)) continue;
    FEntries[Key(Host, Port)] = Fingerprint;
  }
}

std::optional<std::string> TTrustStore::Fingerprint(const std::string& AHost, int32_t APort) const {
  const auto Found = FEntries.find(Key(AHost, APort));
  if (Found == FEntries.end()) return std::nullopt;
  return Found->second;
}

void TTrustStore::Store(const std::string& AHost, int32_t APort, const std::string& AFingerprint) {
  std::map<std::string, std::string> Entries = FEntries;
  Entries[Key(AHost, APort)] = AFingerprint;
  std::string Text;
  for (const auto& [Server, Fingerprint] : Entries) Text += Server + " " + Fingerprint + "\n";
  const EIniFileException Failure("Unable to write to " + FFileName.toLocal8Bit().toStdString());
  QDir().mkpath(QFileInfo(FFileName).absolutePath());
  // Complete on disk before it replaces the old file.
  QSaveFile File(FFileName);
  if (!File.open(QIODevice::WriteOnly)) throw Failure;
  if (File.write(Text.data(), static_cast<qint64>(Text.size())) != static_cast<qint64>(Text.size())) throw Failure;
  if (!File.commit()) throw Failure;
  FEntries = std::move(Entries);
}

void TTrustStore::ApplyTo(TNetTLSTrust& ATrust) const {
  ATrust.ClearFingerprints();
  for (const auto& [Server, Fingerprint] : FEntries) {
    std::string Host;
    int32_t Port = 0;
    if (SplitKey(Server, Host, Port)) ATrust.TrustFingerprint(Host, Port, Fingerprint);
  }
}

QString TrustStorePath() {
  return QString::fromLocal8Bit(SettingsFolder()) + QLatin1Char('/') + QLatin1String(TrustStoreFileName);
}
