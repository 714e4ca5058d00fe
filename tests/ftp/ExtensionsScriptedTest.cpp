// The FTP extensions against a scripted server: the feature list after the
// login and UTF-8 names (FEAT, OPTS UTF8), extended passive mode with its
// fall-backs to PASV (EPSV), and extended active mode (EPRT).
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "FtpTestClient.h"
#include "ScriptedFtpServer.h"

namespace {

using Lines = std::vector<std::string>;

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

namespace {

// A loopback port nobody listens on.
int ClosedPort() {
  UniqueFd gone = ListenTcp("127.0.0.1", 0, 1);
  return LocalPort(gone.Get());
}

std::string Bytes(TNetMemoryStream& AStream) {
  return std::string(AStream.Memory(), static_cast<size_t>(AStream.Size()));
}

}  // namespace

// With UseEPSV, passive transfers ask EPSV; the data connection goes to the
// host of the control connection with the 229 reply's port.
TEST(FtpExtendedPassive, DownloadUploadAndListing) {
  ScriptedFtpServer server;
  server.SetFile("a.bin", "hello");
  server.SetListing("-rw-r--r-- 1 u g 5 Jan 01 2024 a.bin\r\n");
  FtpTestClient c(server.Port());
  c.ftp.UseEPSV = true;
  c.Open();
  TNetMemoryStream received;
  c.ftp.Retrieve("a.bin", received);
  EXPECT_EQ(Bytes(received), "hello");
  TNetMemoryStream upload;
  upload.Write("uploaded", 8);
  c.ftp.Store(upload, "b.bin");
  c.ftp.ListDirectory(nullptr);
  EXPECT_EQ(c.ftp.ListingLines().size(), 1u);
  c.ftp.Quit();
  ASSERT_TRUE(server.WaitForCommand("QUIT"));
  EXPECT_EQ(server.Commands(),
            Concat(kLogin, {"EPSV", "RETR a.bin", "EPSV", "STOR b.bin", "EPSV", "LIST", "QUIT"}));
  ASSERT_EQ(server.Uploads().size(), 1u);
  EXPECT_EQ(server.Uploads()[0].Bytes, "uploaded");
  // The upload's command followed the data connection (the log shows the order).
  EXPECT_EQ(server.ErrorText(), "");
}

// The 229 reply's formats; whatever address it names, the data connection
// goes to the control connection's host.
TEST(FtpExtendedPassive, ReplyFormats) {
  const std::vector<std::function<std::string(int)>> formats = {
      [](int p) { return "229 Entering Extended Passive Mode (|||" + std::to_string(p) + "|)"; },
      [](int p) { return "229 Extended Passive mode OK (!!!" + std::to_string(p) + "!)"; },
      [](int p) { return "229 Entering Extended Passive Mode (|1|192.0.2.7|" + std::to_string(p) + "|)"; },
      [](int p) { return "229 Entering Extended Passive Mode (|2|2001:db8::7|" + std::to_string(p) + "|)"; },
      [](int p) { return "229 Entering Extended Passive Mode |||" + std::to_string(p) + "|"; },
  };
  for (size_t i = 0; i < formats.size(); ++i) {
    SCOPED_TRACE(formats[i](6446));
    ScriptedFtpServer server;
    server.SetFile("a.bin", "hello");
    server.SetEpsvReply(formats[i]);
    FtpTestClient c(server.Port());
    c.ftp.UseEPSV = true;
    c.Open();
    TNetMemoryStream received;
    c.ftp.Retrieve("a.bin", received);
    EXPECT_EQ(Bytes(received), "hello");
    c.ftp.Quit();
    ASSERT_TRUE(server.WaitForCommand("QUIT"));
    EXPECT_EQ(server.Commands(), Concat(kLogin, {"EPSV", "RETR a.bin", "QUIT"}));
  }
}

// A refused EPSV (5xx) means PASV for the rest of the session; the next
// session asks again. A 229 without a usable port means PASV for this
// transfer. Any other code is an error.
TEST(FtpExtendedPassive, RefusedOrUnusableGivesPasv) {
  ScriptedFtpServer server;
  server.SetFile("a.bin", "hello");
  server.SetReply("EPSV", "500 EPSV not understood.");
  FtpTestClient c(server.Port());
  c.ftp.UseEPSV = true;
  c.Open();
  for (int i = 0; i < 2; ++i) {
    TNetMemoryStream received;
    c.ftp.Retrieve("a.bin", received);
    EXPECT_EQ(Bytes(received), "hello");
  }
  c.ftp.Quit();
  ASSERT_TRUE(server.WaitForCommandCount(kLogin.size() + 6));
  c.Open();
  c.ftp.Quit();
  ASSERT_TRUE(server.WaitSessionsClosed());
  EXPECT_EQ(server.SessionCommands(0), Concat(kLogin, {"EPSV", "PASV", "RETR a.bin", "PASV", "RETR a.bin", "QUIT"}));
  EXPECT_EQ(server.SessionCommands(1), Concat(kLogin, {"QUIT"}));

  ScriptedFtpServer unusable;
  unusable.SetFile("a.bin", "hello");
  unusable.SetEpsvReply([](int) { return std::string("229 Entering Extended Passive Mode (|||x|)"); });
  FtpTestClient d(unusable.Port());
  d.ftp.UseEPSV = true;
  d.Open();
  for (int i = 0; i < 2; ++i) {
    TNetMemoryStream received;
    d.ftp.Retrieve("a.bin", received);
    EXPECT_EQ(Bytes(received), "hello");
  }
  d.ftp.Quit();
  ASSERT_TRUE(unusable.WaitForCommand("QUIT"));
  EXPECT_EQ(unusable.Commands(),
            Concat(kLogin, {"EPSV", "PASV", "RETR a.bin", "EPSV", "PASV", "RETR a.bin", "QUIT"}));

  ScriptedFtpServer closing;
  closing.SetReply("EPSV", "421 Service not available, closing control connection.");
  FtpTestClient e(closing.Port());
  e.ftp.UseEPSV = true;
  e.Open();
  TNetMemoryStream received;
  try {
    e.ftp.Retrieve("a.bin", received);
    FAIL() << "no exception";
  } catch (const ENetProtocolReplyError& err) {
    EXPECT_EQ(err.ReplyCode, 421);
  }
}

// EPSV accepted but its data connection cannot be made: PASV once, for this
// transfer; the next one asks EPSV again. An upload sends its command only
// once the connection after EPSV is there, so nothing is left to answer.
TEST(FtpExtendedPassive, DataConnectionRefusedGivesPasvOnce) {
  ScriptedFtpServer server;
  server.SetFile("a.bin", "hello");
  const int closed = ClosedPort();
  server.SetEpsvReply([closed](int) { return "229 Entering Extended Passive Mode (|||" + std::to_string(closed) + "|)"; });
  FtpTestClient c(server.Port());
  c.ftp.UseEPSV = true;
  c.Open();
  TNetMemoryStream received;
  c.ftp.Retrieve("a.bin", received);
  EXPECT_EQ(Bytes(received), "hello");
  TNetMemoryStream upload;
  upload.Write("up", 2);
  c.ftp.Store(upload, "b.bin");
  c.ftp.ListDirectory(nullptr);
  c.ftp.Quit();
  ASSERT_TRUE(server.WaitForCommand("QUIT"));
  EXPECT_EQ(server.Commands(), Concat(kLogin, {"EPSV", "PASV", "RETR a.bin", "EPSV", "PASV", "STOR b.bin", "EPSV",
                                               "PASV", "LIST", "QUIT"}));
  ASSERT_EQ(server.Uploads().size(), 1u);
  EXPECT_EQ(server.Uploads()[0].Bytes, "up");
  EXPECT_EQ(c.log.back(), ">QUIT");

  // Without the extensions a refused data connection stays an error.
  ScriptedFtpServer plain;
  plain.SetPasvOptions({"127,0,0,1", std::to_string(closed / 256) + "," + std::to_string(closed % 256), true});
  FtpTestClient d(plain.Port());
  d.Open();
  TNetMemoryStream nothing;
  EXPECT_THROW(d.ftp.Retrieve("a.bin", nothing), ENetSocketError);
}

// Active mode over IPv4 keeps PORT; with the extensions on, a server that
// refuses PORT gets EPRT, for the rest of the session. Without them the
// refusal is an error.
TEST(FtpExtendedActive, EprtWhenPortIsRefused) {
  ScriptedFtpServer server;
  server.SetFile("a.bin", "hello");
  server.SetReply("PORT", "500 PORT not allowed.");
  FtpTestClient c(server.Port(), false);
  c.ftp.UseEPSV = true;
  c.Open();
  for (int i = 0; i < 2; ++i) {
    TNetMemoryStream received;
    c.ftp.Retrieve("a.bin", received);
    EXPECT_EQ(Bytes(received), "hello");
  }
  c.ftp.Quit();
  ASSERT_TRUE(server.WaitForCommand("QUIT"));
  const Lines sent = server.Commands();
  ASSERT_EQ(sent.size(), kLogin.size() + 6);
  EXPECT_EQ(sent[4].rfind("PORT 127,0,0,1,", 0), 0u) << sent[4];
  const auto addresses = server.PortAddresses();
  ASSERT_EQ(addresses.size(), 2u);
  EXPECT_EQ(sent[5], "EPRT |1|127.0.0.1|" + std::to_string(addresses[0].Port) + "|");
  EXPECT_EQ(sent[6], "RETR a.bin");
  EXPECT_EQ(sent[7], "EPRT |1|127.0.0.1|" + std::to_string(addresses[1].Port) + "|");
  EXPECT_EQ(sent[8], "RETR a.bin");

  ScriptedFtpServer strict;
  strict.SetReply("PORT", "500 PORT not allowed.");
  FtpTestClient d(strict.Port(), false);
  d.Open();
  TNetMemoryStream nothing;
  try {
    d.ftp.Retrieve("a.bin", nothing);
    FAIL() << "no exception";
  } catch (const ENetProtocolReplyError& err) {
    EXPECT_EQ(err.ReplyCode, 500);
  }
}
