// The FTP extensions against a scripted server: the feature list after the
// login and UTF-8 names (FEAT, OPTS UTF8), extended passive mode with its
// fall-backs to PASV (EPSV), and extended active mode (EPRT).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FtpTestClient.h"
#include "ScriptedFtpServer.h"

namespace {

using Lines = std::vector<std::string>;

const Lines kLogin = {"USER user", "PASS secret", "TYPE I", "SYST"};

Lines Concat(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const char* const kFeaturesWithUtf8 = "211-Features:\n MDTM\n REST STREAM\n SIZE\n UTF8\n211 End";

}  // namespace

TEST(FtpFeatures, OffByDefault) {
  ScriptedFtpServer server;
  FtpTestClient c(server.Port());
  EXPECT_FALSE(c.ftp.UseFEAT);
  EXPECT_FALSE(c.ftp.UseEPSV);
  c.Open();
  c.ftp.ListDirectory(nullptr);
  c.ftp.Quit();
  ASSERT_TRUE(server.WaitForCommand("QUIT"));
  EXPECT_EQ(server.Commands(), Concat(kLogin, {"PASV", "LIST", "QUIT"}));
  EXPECT_TRUE(c.ftp.Features().empty());
  EXPECT_FALSE(c.ftp.UTF8Names());
}

// The feature list is read once, after SYST, and kept for the session; UTF8
// in it turns UTF-8 names on, whatever the answer to OPTS.
TEST(FtpFeatures, FeatAfterTheLoginAndUtf8) {
  struct Case {
    const char* Name;
    FtpReply Feat;
    FtpReply Opts;  // empty: not expected
    Lines Sent;     // after the login
    Lines Features;
    bool Utf8;
  };
  const Case cases[] = {
      {"features without UTF8", "211-Features:\n MDTM\n PASV\n REST STREAM\n SIZE\n211 End", "", {"FEAT"},
       {"MDTM", "PASV", "REST STREAM", "SIZE"}, false},
      {"UTF8 listed, OPTS accepted", kFeaturesWithUtf8, "200 Always in UTF8 mode.", {"FEAT", "OPTS UTF8 ON"},
       {"MDTM", "REST STREAM", "SIZE", "UTF8"}, true},
      {"UTF8 listed, OPTS refused", kFeaturesWithUtf8, "501 Option not understood.", {"FEAT", "OPTS UTF8 ON"},
       {"MDTM", "REST STREAM", "SIZE", "UTF8"}, true},
      {"FEAT refused", "500 Unknown command.", "", {"FEAT"}, {}, false},
      {"FEAT not implemented", "502 Command not implemented.", "", {"FEAT"}, {}, false},
      {"nothing listed", "211 No features.", "", {"FEAT"}, {}, false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.Name);
    ScriptedFtpServer server;
    server.SetReply("FEAT", k.Feat);
    if (!k.Opts.Text.empty()) server.SetReply("OPTS", k.Opts);
    FtpTestClient c(server.Port());
    c.ftp.UseFEAT = true;
    c.Open();
    EXPECT_EQ(c.statuses.back(), "Connection established");
    EXPECT_EQ(c.ftp.Features(), k.Features);
    EXPECT_EQ(c.ftp.UTF8Names(), k.Utf8);
    EXPECT_EQ(c.ftp.HasFeature("size"), !k.Features.empty());
    // The session goes on: the refusals were no errors and left nothing behind.
    EXPECT_EQ(c.ftp.CurrentDirectory(), "/");
    c.ftp.Quit();
    ASSERT_TRUE(server.WaitForCommand("QUIT"));
    EXPECT_EQ(server.Commands(), Concat(Concat(kLogin, k.Sent), {"PWD", "QUIT"}));
  }
}

// Kept after the session ends; the next session starts without them.
TEST(FtpFeatures, KeptForTheSessionOnly) {
  ScriptedFtpServer first;
  first.SetReply("FEAT", kFeaturesWithUtf8);
  FtpTestClient c(first.Port());
  c.ftp.UseFEAT = true;
  c.Open();
  c.ftp.Quit();
  EXPECT_TRUE(c.ftp.UTF8Names());
  EXPECT_EQ(c.ftp.Features().size(), 4u);

  ScriptedFtpServer second;
  second.SetReply("FEAT", "502 No.");
  c.ftp.Port = second.Port();
  c.Open();
  EXPECT_TRUE(c.ftp.Features().empty());
  EXPECT_FALSE(c.ftp.UTF8Names());

  // Asked by hand, e.g. after a login without the automatic one.
  second.SetReply("FEAT", kFeaturesWithUtf8);
  c.ftp.RequestFeatures();
  EXPECT_TRUE(c.ftp.UTF8Names());
  c.ftp.Quit();
}

// Names are bytes: the client sends and returns them as they are, with UTF8
// on and without it.
TEST(FtpFeatures, NamesTravelAsTheyAre) {
  const std::string utf8Name = "relat\xC3\xB3rio_mar\xC3\xA7o.txt";
  const std::string latin1Name = "relat\xF3rio_mar\xE7o.txt";
  for (bool utf8 : {true, false}) {
    SCOPED_TRACE(utf8 ? "UTF8" : "no UTF8");
    const std::string name = utf8 ? utf8Name : latin1Name;
    ScriptedFtpServer server;
    if (utf8) server.SetReply("FEAT", kFeaturesWithUtf8);
    server.SetFile(name, "contents");
    server.SetNameList(name + "\r\n");
    FtpTestClient c(server.Port());
    c.ftp.UseFEAT = true;
    c.Open();
    EXPECT_EQ(c.ftp.UTF8Names(), utf8);
    TNetMemoryStream received;
    c.ftp.Retrieve(name, received);
    EXPECT_EQ(std::string(received.Memory(), static_cast<size_t>(received.Size())), "contents");
    TStringList names;
    c.ftp.ListDirectory(&names, "", false);
    EXPECT_EQ(names, Lines{name});
    c.ftp.Quit();
    ASSERT_TRUE(server.WaitForCommand("QUIT"));
    EXPECT_TRUE(server.WaitForCommand("RETR " + name));
  }
}
