// Logins through FTP proxies: the command lines of every proxy kind against a
// scripted FTP server standing in for the proxy, the replies that shorten or
// end a sequence, and where OpenSession connects.
#include <gtest/gtest.h>

#include <string>
#include <typeinfo>
#include <vector>

#include "LoopbackSocket.h"
#include "NetExceptions.h"
#include "NetFTP.h"
#include "ScriptedFtpServer.h"

namespace {

using Lines = std::vector<std::string>;

// The real server's name does not resolve: a session that gets anywhere went
// to the proxy.
const char* const kServer = "ftp.example.invalid";
constexpr int kServerPort = 2121;

void Configure(TNetFTP& AFtp, const ScriptedFtpServer& AProxy, TNetFtpProxyType AType,
               const std::string& AProxyUser = "", const std::string& AProxyPassword = "") {
  AFtp.Host = kServer;
  AFtp.Port = kServerPort;
  AFtp.Username = "u";
  AFtp.Password = "p";
  AFtp.ReadTimeout = 5000;
  AFtp.ProxySettings().ProxyType = AType;
  AFtp.ProxySettings().Host = AProxy.Host();
  AFtp.ProxySettings().Port = AProxy.Port();
  AFtp.ProxySettings().UserName = AProxyUser;
  AFtp.ProxySettings().Password = AProxyPassword;
}

void ExpectServerRestored(TNetFTP& AFtp) {
  EXPECT_EQ(AFtp.Host, kServer);
  EXPECT_EQ(AFtp.Port, kServerPort);
}

}  // namespace

TEST(ProxyLogin, EveryKindSendsItsSequence) {
  struct Case {
    const char* name;
    TNetFtpProxyType type;
    std::string proxyUser, proxyPassword;
    Lines expected;  // before "TYPE I" and "SYST"
  };
  const std::vector<Case> cases = {
      {"user@site with proxy account", fpcmUserSite, "pu", "pp",
       {"USER pu", "PASS pp", "USER u@ftp.example.invalid", "PASS p"}},
      {"user@site", fpcmUserSite, "", "pp", {"USER u@ftp.example.invalid", "PASS p"}},
      {"site with proxy account", fpcmSite, "pu", "pp",
       {"USER pu", "PASS pp", "SITE ftp.example.invalid", "USER u", "PASS p"}},
      {"site", fpcmSite, "", "", {"SITE ftp.example.invalid", "USER u", "PASS p"}},
      {"open with proxy account", fpcmOpen, "pu", "pp",
       {"USER pu", "PASS pp", "OPEN ftp.example.invalid", "USER u", "PASS p"}},
      {"open", fpcmOpen, "", "", {"OPEN ftp.example.invalid", "USER u", "PASS p"}},
      {"user@proxyuser@site", fpcmUserPass, "pu", "pp", {"USER u@pu@ftp.example.invalid", "PASS p@pp"}},
      {"user@proxyuser@site, no proxy password", fpcmUserPass, "pu", "", {"USER u@pu@ftp.example.invalid", "PASS p"}},
      {"user@proxyuser@site, no proxy user", fpcmUserPass, "", "pp", {"USER u@@ftp.example.invalid", "PASS p@pp"}},
      {"transparent with proxy account", fpcmTransparent, "pu", "pp", {"USER pu", "PASS pp", "USER u", "PASS p"}},
      {"transparent", fpcmTransparent, "", "", {"USER u", "PASS p"}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ScriptedFtpServer proxy;
    TNetFTP ftp;
    Configure(ftp, proxy, k.type, k.proxyUser, k.proxyPassword);
    ftp.OpenSession();
    Lines expected = k.expected;
    expected.insert(expected.end(), {"TYPE I", "SYST"});
    EXPECT_EQ(proxy.Commands(), expected);
    EXPECT_EQ(ftp.LoginReply().NumericCode(), 230);
    ExpectServerRestored(ftp);
  }

  // Without a proxy kind the proxy address is not used at all.
  ScriptedFtpServer server;
  TNetFTP ftp;
  Configure(ftp, server, fpcmNone, "pu", "pp");
  ftp.ProxySettings().Host = kServer;
  ftp.Host = server.Host();
  ftp.Port = server.Port();
  ftp.OpenSession();
  EXPECT_EQ(server.Commands(), (Lines{"USER u", "PASS p", "TYPE I", "SYST"}));
}

// A 230 where a password could be asked for ends that account's exchange.
TEST(ProxyLogin, LoggedInWithoutPassword) {
  struct Case {
    const char* name;
    TNetFtpProxyType type;
    std::string proxyUser;
    Lines expected;
  };
  const std::vector<Case> cases = {
      {"proxy account", fpcmSite, "pu", {"USER pu", "SITE ftp.example.invalid", "USER u", "PASS p"}},
      {"user@site", fpcmUserSite, "", {"USER u@ftp.example.invalid"}},
      {"user@proxyuser@site", fpcmUserPass, "pu", {"USER u@pu@ftp.example.invalid"}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ScriptedFtpServer proxy;
    proxy.QueueReply("USER", "230 Logged in without a password.");
    TNetFTP ftp;
    Configure(ftp, proxy, k.type, k.proxyUser, "pp");
    ftp.OpenSession();
    Lines expected = k.expected;
    expected.insert(expected.end(), {"TYPE I", "SYST"});
    EXPECT_EQ(proxy.Commands(), expected);
  }
}

// Whatever the proxy answers to "SITE" or "OPEN", the login goes on; a
// refusal shows in the "USER" that follows.
TEST(ProxyLogin, SiteAndOpenRepliesNeverRejected) {
  for (TNetFtpProxyType type : {fpcmSite, fpcmOpen}) {
    SCOPED_TRACE(type);
    ScriptedFtpServer proxy;
    proxy.SetReply(type == fpcmSite ? "SITE" : "OPEN", "550 No such host.");
    TNetFTP ftp;
    Configure(ftp, proxy, type);
    ftp.OpenSession();
    EXPECT_EQ(proxy.Commands().at(1), "USER u");
    EXPECT_EQ(ftp.LoginReply().NumericCode(), 230);
  }

  ScriptedFtpServer proxy;
  proxy.SetReply("SITE", "421 Not now.");
  proxy.QueueReply("USER", "530 Unknown host, not logged in.");
  TNetFTP ftp;
  Configure(ftp, proxy, fpcmSite);
  try {
    ftp.OpenSession();
    FAIL() << "the refused USER was accepted";
  } catch (const ENetProtocolReplyError& e) {
    EXPECT_EQ(e.ReplyCode, 530);
    EXPECT_STREQ(e.what(), "Unknown host, not logged in.\r\n");
  }
  EXPECT_EQ(proxy.Commands(), (Lines{"SITE ftp.example.invalid", "USER u"}));
  EXPECT_FALSE(ftp.IsConnected());
  EXPECT_TRUE(proxy.WaitSessionsClosed());
  ExpectServerRestored(ftp);
}

TEST(ProxyLogin, RefusedProxyAccountEndsTheSession) {
  struct Case {
    const char* verb;
    const char* reply;
    int code;
    Lines expected;
  };
  const std::vector<Case> cases = {
      {"PASS", "530 Login incorrect.", 530, {"USER pu", "PASS pp"}},
      {"USER", "332 Need account for login.", 332, {"USER pu"}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.reply);
    ScriptedFtpServer proxy;
    proxy.QueueReply(k.verb, k.reply);
    TNetFTP ftp;
    Configure(ftp, proxy, fpcmUserSite, "pu", "pp");
    try {
      ftp.OpenSession();
      FAIL() << "the refusal was accepted";
    } catch (const ENetProtocolReplyError& e) {
      EXPECT_EQ(e.ReplyCode, k.code);
    }
    EXPECT_EQ(proxy.Commands(), k.expected);
    EXPECT_FALSE(ftp.IsConnected());
    EXPECT_TRUE(proxy.WaitSessionsClosed());
    ExpectServerRestored(ftp);
  }
}

TEST(ProxyLogin, HttpProxyKindFailsAfterTheGreeting) {
  ScriptedFtpServer proxy;
  TNetFTP ftp;
  Configure(ftp, proxy, fpcmHttpProxyWithFtp, "pu", "pp");
  try {
    ftp.OpenSession();
    FAIL() << "the login went on";
  } catch (const std::exception& e) {
    EXPECT_EQ(typeid(e), typeid(ENetException));
    EXPECT_STREQ(e.what(), "Command not supported.");
  }
  EXPECT_FALSE(ftp.IsConnected());
  EXPECT_TRUE(proxy.WaitSessionsClosed());
  EXPECT_TRUE(proxy.Commands().empty());
  ExpectServerRestored(ftp);

  // The greeting comes first: a refusing proxy is reported as such.
  ScriptedFtpServer busy;
  busy.SetGreeting(FtpReply("421 Too many users.").ThenClose());
  Configure(ftp, busy, fpcmHttpProxyWithFtp);
  try {
    ftp.OpenSession();
    FAIL() << "a 421 greeting was accepted";
  } catch (const ENetProtocolReplyError& e) {
    EXPECT_EQ(e.ReplyCode, 421);
  }
}

TEST(ProxyLogin, OpenSessionConnectsToTheProxyAndRestoresTheServer) {
  // Connect refused at the proxy's address: the server's values are back.
  ScriptedFtpServer unused;
  TNetFTP ftp;
  Configure(ftp, unused, fpcmUserSite);
  ftp.ProxySettings().Port = FindFreePort();  // nothing listens there
  std::vector<std::string> statuses;
  ftp.OnStatus = [&](TNetBaseComponent*, TNetStatus, const std::string& text) { statuses.push_back(text); };
  EXPECT_THROW(ftp.OpenSession(), ENetSocketError);
  ExpectServerRestored(ftp);
  EXPECT_EQ(statuses.at(0), "Connecting to 127.0.0.1.");
  EXPECT_FALSE(ftp.IsConnected());

  // The proxy's address reached; during the login Host names the server again.
  ScriptedFtpServer proxy;
  Configure(ftp, proxy, fpcmUserSite);
  statuses.clear();
  ftp.OpenSession();
  EXPECT_EQ(statuses.at(0), "Connecting to 127.0.0.1.");
  EXPECT_EQ(proxy.Commands().at(0), "USER u@ftp.example.invalid");
  ExpectServerRestored(ftp);
  ftp.Quit();
  EXPECT_TRUE(proxy.WaitForCommand("QUIT"));
}

// A proxy kind without a proxy address connects to Host:Port itself and
// still logs in with the kind's sequence.
TEST(ProxyLogin, EmptyProxyHostConnectsDirectly) {
  ScriptedFtpServer server;
  TNetFTP ftp;
  Configure(ftp, server, fpcmUserSite, "pu", "pp");
  ftp.ProxySettings().Host = "";
  ftp.ProxySettings().Port = FindFreePort();  // nothing listens there
  ftp.Host = server.Host();
  ftp.Port = server.Port();
  ftp.OpenSession();
  EXPECT_EQ(server.Commands(), (Lines{"USER pu", "PASS pp", "USER u@127.0.0.1", "PASS p", "TYPE I", "SYST"}));
  EXPECT_EQ(ftp.Port, server.Port());
}

TEST(ProxyLogin, LineBreakInProxyAccountRefusedBeforeSending) {
  for (const char* field : {"user", "password"}) {
    SCOPED_TRACE(field);
    ScriptedFtpServer proxy;
    TNetFTP ftp;
    Configure(ftp, proxy, fpcmTransparent, "pu", "pp");
    (std::string(field) == "user" ? ftp.ProxySettings().UserName : ftp.ProxySettings().Password) += "\r\nDELE x";
    EXPECT_THROW(ftp.OpenSession(), ENetInvalidCommandArgument);
    EXPECT_FALSE(ftp.IsConnected());
    EXPECT_TRUE(proxy.WaitSessionsClosed());
    EXPECT_TRUE(proxy.Commands().empty());
  }
}

TEST(ProxyLogin, SettingsCopy) {
  TNetFtpProxySettings a;
  EXPECT_EQ(a.ProxyType, fpcmNone);
  EXPECT_EQ(a.Port, 0);
  EXPECT_EQ(a.Host, "");
  a.ProxyType = fpcmOpen;
  a.Host = "proxy";
  a.UserName = "pu";
  a.Password = "pp";
  a.Port = 2100;
  TNetFTP ftp;
  ftp.SetProxySettings(a);
  const TNetFtpProxySettings& b = ftp.ProxySettings();
  EXPECT_NE(&b, &a);
  EXPECT_EQ(b.ProxyType, fpcmOpen);
  EXPECT_EQ(b.Host, "proxy");
  EXPECT_EQ(b.UserName, "pu");
  EXPECT_EQ(b.Password, "pp");
  EXPECT_EQ(b.Port, 2100);
  TNetFTP other;
  try {
    a.Assign(other);
    FAIL() << "a foreign class was assigned";
  } catch (const EAssignError& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a TNetFTP to a TNetFtpProxySettings");
  }
  EXPECT_EQ(static_cast<int>(fpcmHttpProxyWithFtp), 6);
}
