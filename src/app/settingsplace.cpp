#include "settingsplace.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#ifndef REMESSA_INSTALL_MARKER
#define REMESSA_INSTALL_MARKER "../share/applications/org.remessa.remessadados.desktop"
#endif

namespace fs = std::filesystem;

namespace {

std::string ConfigFileOfRun;

std::string Environment(const char* AName) {
  const char* Value = std::getenv(AName);
  return Value != nullptr ? Value : "";
}

}  // namespace

const char* InstallMarker() { return REMESSA_INSTALL_MARKER; }

bool IsInstalledProgramFolder(const std::string& AProgramFolder) {
  std::error_code Error;
  return fs::is_regular_file(fs::path(AProgramFolder) / InstallMarker(), Error);
}

std::string SettingsFilePathFor(const TSettingsEnvironment& AEnvironment) {
  if (!AEnvironment.ConfigFile.empty()) return AEnvironment.ConfigFile;

  const fs::path Beside = fs::path(AEnvironment.ProgramFolder) / SettingsFileName;
  std::error_code Error;
  if (fs::exists(Beside, Error)) return Beside.string();
  if (!IsInstalledProgramFolder(AEnvironment.ProgramFolder) &&
      ::access(AEnvironment.ProgramFolder.c_str(), W_OK) == 0)
    return Beside.string();

  // A relative $XDG_CONFIG_HOME is invalid and ignored, as the base
  // directory rules say.
  fs::path Base;
  if (!AEnvironment.XdgConfigHome.empty() && fs::path(AEnvironment.XdgConfigHome).is_absolute())
    Base = AEnvironment.XdgConfigHome;
  else if (!AEnvironment.Home.empty())
    Base = fs::path(AEnvironment.Home) / ".config";
  else
    throw std::runtime_error("No folder for the settings: neither XDG_CONFIG_HOME nor HOME is set");
  return (Base / "remessa" / SettingsFileName).string();
}

TSettingsEnvironment CurrentSettingsEnvironment() {
  TSettingsEnvironment Result;
  std::error_code Error;
  const fs::path Program = fs::read_symlink("/proc/self/exe", Error);
  Result.ProgramFolder = Error ? fs::current_path(Error).string() : Program.parent_path().string();
  Result.ConfigFile = ConfigFileOfRun;
  Result.XdgConfigHome = Environment("XDG_CONFIG_HOME");
  Result.Home = Environment("HOME");
  return Result;
}

void SetConfigFile(const std::string& AFileName) {
  if (AFileName.empty()) {
    ConfigFileOfRun.clear();
    return;
  }
  std::error_code Error;
  const fs::path Absolute = fs::absolute(AFileName, Error);
  ConfigFileOfRun = Error ? AFileName : Absolute.lexically_normal().string();
}

std::string SettingsFilePath() { return SettingsFilePathFor(CurrentSettingsEnvironment()); }

std::string SettingsFolder() { return fs::path(SettingsFilePath()).parent_path().string(); }

std::string ReceiptsFilePathFor(const std::string& AXdgDataHome, const std::string& AHome) {
  fs::path Base;
  if (!AXdgDataHome.empty() && fs::path(AXdgDataHome).is_absolute())
    Base = AXdgDataHome;
  else if (!AHome.empty())
    Base = fs::path(AHome) / ".local" / "share";
  else
    throw std::runtime_error("No folder for the receipts: neither XDG_DATA_HOME nor HOME is set");
  return (Base / "remessa" / ReceiptsFileName).string();
}

std::string ReceiptsFilePath() { return ReceiptsFilePathFor(Environment("XDG_DATA_HOME"), Environment("HOME")); }
