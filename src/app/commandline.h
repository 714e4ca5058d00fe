// The command line of remessadados. It is read before the windowing library
// starts, so that --help, --version and a wrong option need no display.
// Qt's own options (-platform NAME, -style NAME, -reverse, ... also written
// with two dashes) are let through for QApplication, which takes them out.
#pragma once

#include <string>
#include <vector>

enum TCommandAction : int { caRunWindows, caShowHelp, caShowVersion, caUsageError };

struct TCommandLine {
  TCommandAction Action = caRunWindows;
  std::string ConfigFile;  // --config FILE; empty when not given
  bool StyleRequested = false;  // -style NAME was given (Qt applies it)
  std::string Error;  // for caUsageError: what is wrong, e.g. "unknown option '--x'"
};

// AArguments without the program name. The first of --help and --version
// wins over everything after it; a usage error found before it wins over it.
TCommandLine ParseCommandLine(const std::vector<std::string>& AArguments);

// The --help text; ASettingsFile is the settings file this run would use.
std::string HelpText(const std::string& ASettingsFile);
