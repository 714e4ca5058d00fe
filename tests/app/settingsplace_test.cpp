// Where the settings file lies: the rule of settingsplace.h on real folders.
#include "settingsplace.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "commandline.h"

namespace fs = std::filesystem;

namespace {

class SettingsPlaceTest : public testing::Test {
 protected:
  void SetUp() override {
    FRoot = fs::temp_directory_path() / ("remessa-settings-" + std::to_string(::getpid()) + "-" +
                                         testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(FRoot);
    fs::create_directories(FRoot / "build/bin");
    // An installation under a prefix, as `cmake --install` leaves it.
    fs::create_directories(FRoot / "prefix/bin");
    const fs::path Marker = (FRoot / "prefix/bin" / InstallMarker()).lexically_normal();
    fs::create_directories(Marker.parent_path());
    std::ofstream(Marker) << "[Desktop Entry]\n";
  }
  void TearDown() override { fs::remove_all(FRoot); }

  std::string Path(const std::string& ARelative) const { return (FRoot / ARelative).lexically_normal().string(); }
  static void Touch(const std::string& AFile) { std::ofstream(AFile) << "[Server]\n"; }

  fs::path FRoot;
};

}  // namespace

TEST_F(SettingsPlaceTest, TheRuleInOrder) {
  fs::create_directories(Path("copied"));
  Touch(Path("copied/FtpHost.ini"));
  fs::create_directories(Path("installed-with-file"));
  fs::copy(Path("prefix"), Path("installed-with-file/prefix"), fs::copy_options::recursive);
  Touch(Path("installed-with-file/prefix/bin/FtpHost.ini"));

  const std::string Xdg = Path("xdg");
  const std::string Home = Path("home");
  struct TCase {
    const char* What;
    TSettingsEnvironment Environment;
    std::string Expected;
  };
  const TCase Cases[] = {
      {"--config wins over everything", {Path("prefix/bin"), Path("elsewhere/my.ini"), Xdg, Home},
       Path("elsewhere/my.ini")},
      {"--config wins over a file beside the program", {Path("copied"), Path("my.ini"), Xdg, Home}, Path("my.ini")},
      {"a file beside the program wins", {Path("copied"), "", Xdg, Home}, Path("copied/FtpHost.ini")},
      {"also in an installation", {Path("installed-with-file/prefix/bin"), "", Xdg, Home},
       Path("installed-with-file/prefix/bin/FtpHost.ini")},
      {"a writable build folder keeps it beside", {Path("build/bin"), "", Xdg, Home}, Path("build/bin/FtpHost.ini")},
      {"an installation falls back to XDG_CONFIG_HOME", {Path("prefix/bin"), "", Xdg, Home},
       Path("xdg/remessa/FtpHost.ini")},
      {"and without it to ~/.config", {Path("prefix/bin"), "", "", Home}, Path("home/.config/remessa/FtpHost.ini")},
      {"a relative XDG_CONFIG_HOME is ignored", {Path("prefix/bin"), "", "relative/xdg", Home},
       Path("home/.config/remessa/FtpHost.ini")},
      {"a folder the program cannot write to falls back too", {Path("missing/bin"), "", Xdg, Home},
       Path("xdg/remessa/FtpHost.ini")},
  };
  for (const TCase& Case : Cases) EXPECT_EQ(SettingsFilePathFor(Case.Environment), Case.Expected) << Case.What;

  EXPECT_TRUE(IsInstalledProgramFolder(Path("prefix/bin")));
  EXPECT_FALSE(IsInstalledProgramFolder(Path("build/bin")));
  EXPECT_THROW(SettingsFilePathFor({Path("prefix/bin"), "", "", ""}), std::runtime_error);
}

TEST_F(SettingsPlaceTest, ConfigFileOfTheRunIsAbsoluteAndItsFolderHoldsTheRest) {
  const fs::path Before = fs::current_path();
  fs::current_path(FRoot);
  SetConfigFile("conf/my.ini");
  fs::current_path(Before);
  EXPECT_EQ(SettingsFilePath(), Path("conf/my.ini"));
  EXPECT_EQ(SettingsFolder(), Path("conf"));
  SetConfigFile("");
  // The test program runs from the build folder, which it may write to.
  EXPECT_EQ(SettingsFolder(), fs::read_symlink("/proc/self/exe").parent_path().string());
}

TEST(CommandLine, Table) {
  struct TCase {
    std::vector<std::string> Arguments;
    TCommandAction Action;
    std::string ConfigFile;
    std::string Error;
  };
  const TCase Cases[] = {
      {{}, caRunWindows, "", ""},
      {{"--help"}, caShowHelp, "", ""},
      {{"-h"}, caShowHelp, "", ""},
      {{"--version"}, caShowVersion, "", ""},
      {{"--config", "a.ini"}, caRunWindows, "a.ini", ""},
      {{"--config=b.ini", "--help"}, caShowHelp, "b.ini", ""},
      // Qt's own options pass, with one dash or two, with their values.
      {{"-platform", "offscreen", "-reverse", "--style", "Fusion", "-stylesheet=x.qss", "--config", "c.ini"},
       caRunWindows, "c.ini", ""},
      {{"-qwindowgeometry", "100x100+0+0", "-session", "s", "-qmljsdebugger=port:1"}, caRunWindows, "", ""},
      // Everything else is refused, before --help is seen.
      {{"--bogus", "--help"}, caUsageError, "", "unknown option '--bogus'"},
      {{"-x"}, caUsageError, "", "unknown option '-x'"},
      {{"-reverse=1"}, caUsageError, "", "unknown option '-reverse=1'"},
      {{"--config"}, caUsageError, "", "option '--config' needs a file name"},
      {{"--config="}, caUsageError, "", "option '--config' needs a file name"},
      {{"-platform"}, caUsageError, "", "option '-platform' needs a value"},
      {{"file.exe"}, caUsageError, "", "unexpected argument 'file.exe'"},
      {{"-"}, caUsageError, "", "unexpected argument '-'"},
  };
  for (const TCase& Case : Cases) {
    const TCommandLine Line = ParseCommandLine(Case.Arguments);
    std::string Shown;
    for (const std::string& Argument : Case.Arguments) Shown += Argument + " ";
    EXPECT_EQ(Line.Action, Case.Action) << Shown;
    EXPECT_EQ(Line.ConfigFile, Case.ConfigFile) << Shown;
    EXPECT_EQ(Line.Error, Case.Error) << Shown;
  }
  EXPECT_TRUE(ParseCommandLine({"-style", "Windows"}).StyleRequested);
  EXPECT_TRUE(ParseCommandLine({"-style=Windows"}).StyleRequested);
  EXPECT_FALSE(ParseCommandLine({"-reverse"}).StyleRequested);
}

TEST(ReceiptsPlace, DataHomeOrHome) {
  EXPECT_EQ(ReceiptsFilePathFor("/data", "/home/u"), "/data/remessa/receipts.jsonl");
  EXPECT_EQ(ReceiptsFilePathFor("", "/home/u"), "/home/u/.local/share/remessa/receipts.jsonl");
  // A relative $XDG_DATA_HOME is invalid and ignored.
  EXPECT_EQ(ReceiptsFilePathFor("relative", "/home/u"), "/home/u/.local/share/remessa/receipts.jsonl");
  EXPECT_THROW(ReceiptsFilePathFor("", ""), std::runtime_error);
}
