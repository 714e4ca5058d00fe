#include "commandline.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace {

// The options that QApplication (Qt 6) takes out of the command line, with
// and without a value. Qt accepts them with one dash or two.
constexpr std::array<std::string_view, 14> QtOptionsWithValue = {
    "platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry", "geometry", "qwindowtitle",
    "title",    "qwindowicon",        "icon",          "display", "name",           "session",  "style"};
constexpr std::array<std::string_view, 1> QtOptionsWithValueToo = {"stylesheet"};
constexpr std::array<std::string_view, 7> QtFlags = {"reverse", "widgetcount", "testability", "nograb",
                                                      "dograb",  "sync",        "qmljsdebugger"};

template <size_t N>
bool OneOf(std::string_view AName, const std::array<std::string_view, N>& ANames) {
  return std::find(ANames.begin(), ANames.end(), AName) != ANames.end();
}

}  // namespace

TCommandLine ParseCommandLine(const std::vector<std::string>& AArguments) {
  TCommandLine Result;
  const auto Fail = [&Result](const std::string& AError) {
    Result.Action = caUsageError;
    Result.Error = AError;
    return Result;
  };
  for (size_t i = 0; i < AArguments.size(); ++i) {
    const std::string& Argument = AArguments[i];
    if (Argument == "--help" || Argument == "-h") {
      Result.Action = caShowHelp;
      return Result;
    }
    if (Argument == "--version") {
      Result.Action = caShowVersion;
      return Result;
    }
    if (Argument == "--config") {
      if (i + 1 >= AArguments.size() || AArguments[i + 1].empty())
        return Fail("option '--config' needs a file name");
      Result.ConfigFile = AArguments[++i];
      continue;
    }
    if (Argument.rfind("--config=", 0) == 0) {
      Result.ConfigFile = Argument.substr(9);
      if (Result.ConfigFile.empty()) return Fail("option '--config' needs a file name");
      continue;
    }
    if (Argument.size() < 2 || Argument[0] != '-')
      return Fail("unexpected argument '" + Argument + "'");

    // A Qt option: "-name", "--name", "-name=value" for the few that take that form.
    std::string_view Name(Argument);
    Name.remove_prefix(Argument.rfind("--", 0) == 0 ? 2 : 1);
    const size_t Equals = Name.find('=');
    const std::string_view Bare = Name.substr(0, Equals);
    const bool TakesValue = OneOf(Bare, QtOptionsWithValue) || OneOf(Bare, QtOptionsWithValueToo);
    if (Equals != std::string_view::npos) {
      if (!TakesValue && Bare != "qmljsdebugger") return Fail("unknown option '" + Argument + "'");
    } else if (TakesValue) {
      if (i + 1 >= AArguments.size()) return Fail("option '" + Argument + "' needs a value");
      ++i;
    } else if (!OneOf(Bare, QtFlags)) {
      return Fail("unknown option '" + Argument + "'");
    }
    if (Bare == "style") Result.StyleRequested = true;
  }
  return Result;
}

std::string HelpText(const std::string& ASettingsFile) {
  return "Usage: remessadados [--config FILE] [Qt options]\n"
         "       remessadados --help | --version\n"
         "\n"
         "Opens the window REMESSA DADOS, which fetches a file from the company's\n"
         "folder on the FTP server into the working folder, or sends one there.\n"
         "\n"
         "Options:\n"
         "  -h, --help         print this help and exit\n"
         "      --version      print the version and exit\n"
         "      --config FILE  read and write the settings in FILE\n"
         "\n"
         "Qt's options work as usual, for example -platform offscreen, -style NAME,\n"
         "-reverse.\n"
         "\n"
         "Settings file: " +
         ASettingsFile + "\n";
}
