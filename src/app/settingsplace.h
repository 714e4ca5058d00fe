// Where the program keeps its settings file, FtpHost.ini (and the files that
// belong beside it).
//
// The rule, in order:
//  1. A file named with --config is the settings file; its folder holds the rest.
//  2. An FtpHost.ini beside the program wins: a set-up that has one keeps it.
//  3. A program that runs outside an installation (a build folder, a copied
//     folder) whose folder it may write to keeps its settings beside itself.
//  4. Otherwise (an installed program, or a folder it may not write to) they
//     live in $XDG_CONFIG_HOME/remessa/, by default ~/.config/remessa/.
// An installation is recognised by the desktop entry that `cmake --install`
// and the package put at a fixed place relative to the program's folder, so
// it is found under any prefix (/usr, /usr/local, a staging folder).
//
// No Qt here: the command line names the file before the windowing library
// starts.
#pragma once

#include <string>

inline constexpr const char* SettingsFileName = "FtpHost.ini";

// What the rule looks at besides the file system. Empty strings stand for
// unset variables.
struct TSettingsEnvironment {
  std::string ProgramFolder;   // the folder of the running executable
  std::string ConfigFile;      // from --config
  std::string XdgConfigHome;   // $XDG_CONFIG_HOME
  std::string Home;            // $HOME
};

// The settings file's path for AEnvironment, by the rule above. Throws
// std::runtime_error when the rule ends at step 4 and neither
// $XDG_CONFIG_HOME nor $HOME names a folder.
std::string SettingsFilePathFor(const TSettingsEnvironment& AEnvironment);

// True when AProgramFolder is the program folder of an installation: the
// file InstallMarker names, relative to it, exists.
bool IsInstalledProgramFolder(const std::string& AProgramFolder);
const char* InstallMarker();

// The running program's environment, with the file that SetConfigFile named.
TSettingsEnvironment CurrentSettingsEnvironment();

// --config: the settings file of this run (relative names are taken from
// the working folder at the time of the call). Empty restores the rule.
void SetConfigFile(const std::string& AFileName);

// The settings file of the running program, and the folder that holds it
// (with no trailing separator). The folder need not exist yet.
std::string SettingsFilePath();
std::string SettingsFolder();

// The file the send-files window appends a receipt of each transfer to:
// $XDG_DATA_HOME/remessa/receipts.jsonl, by default
// ~/.local/share/remessa/receipts.jsonl (a relative $XDG_DATA_HOME is
// ignored). Throws std::runtime_error when neither names a folder.
inline constexpr const char* ReceiptsFileName = "receipts.jsonl";
std::string ReceiptsFilePathFor(const std::string& AXdgDataHome, const std::string& AHome);
std::string ReceiptsFilePath();
