// The FTP control session against a scripted loopback server: login
// sequences, refused logins and greetings, the simple commands and their
// reply rules, the transfer-type setter, the resume probe and refused line
// breaks in arguments.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FtpTestClient.h"
#include "ScriptedFtpServer.h"

namespace {

using Lines = std::vector<std::string>;

}  // namespace

TEST(FtpSession, LoginTranscriptSystemAndStatus) {
  ScriptedFtpServer server;
  FtpTestClient c(server.Port());
  c.Open();
  EXPECT_TRUE(c.ftp.IsConnected());
  EXPECT_EQ(c.ftp.SystemDescription(), "UNIX Type: L8");
  EXPECT_EQ(c.ftp.LoginReply().NumericCode(), 230);
  EXPECT_EQ(c.ftp.GreetingReply.NumericCode(), 220);
  EXPECT_EQ(c.ftp.GreetingReply.Text, Lines{"Scripted FTP server ready."});
  ASSERT_FALSE(c.statuses.empty());
  EXPECT_EQ(c.statuses.back(), "Connection established");
  EXPECT_EQ(c.log, (Lines{">USER user", ">PASS secret", ">TYPE I", ">SYST", "*Connection established"}));
  c.ftp.Quit();
  EXPECT_FALSE(c.ftp.IsConnected());
  ASSERT_TRUE(server.WaitForCommand("QUIT"));
  EXPECT_EQ(server.Commands(), Concat(kLogin, {"QUIT"}));
}

TEST(FtpSession, LoginVariants) {
  ScriptedFtpServer server;
  {
    SCOPED_TRACE("230 to USER logs in without a password");
    server.QueueReply("USER", "230 Welcome, no password needed.");
    FtpTestClient c(server.Port());
    c.Open();
    EXPECT_EQ(c.ftp.LoginReply().NumericCode(), 230);
    EXPECT_EQ(c.ftp.LoginReply().Text, Lines{"Welcome, no password needed."});
    c.ftp.Quit();
    ASSERT_TRUE(server.WaitForCommandCount(4));
  }
  {
    SCOPED_TRACE("SYST answered 500");
    server.QueueReply("SYST", "500 SYST not understood.");
    FtpTestClient c(server.Port());
    c.Open();
    EXPECT_EQ(c.ftp.SystemDescription(), "Unknown");
    c.ftp.Quit();
  }
  {
    SCOPED_TRACE("multi-line SYST: the first text line");
    server.QueueReply("SYST", "215-UNIX Type: L8\n215 Remote system type.");
    FtpTestClient c(server.Port());
    c.Open();
    EXPECT_EQ(c.ftp.SystemDescription(), "UNIX Type: L8");
    c.ftp.Quit();
  }
  {
    SCOPED_TRACE("without automatic login only the greeting is read");
    FtpTestClient c(server.Port());
    c.ftp.OpenSession(false, DefaultTimeLimit);
    EXPECT_EQ(c.log, Lines{});
    EXPECT_EQ(c.ftp.SystemDescription(), "");
    c.ftp.Login();
    EXPECT_EQ(c.log, (Lines{">USER user", ">PASS secret", ">TYPE I"}));
    c.ftp.Quit();
  }
  ASSERT_TRUE(server.WaitSessionsClosed());
  EXPECT_EQ(server.SessionCommands(0), (Lines{"USER user", "TYPE I", "SYST", "QUIT"}));
}

// Every refusal ends OpenSession with the server's code and a closed
// connection; the component can open a new session afterwards.
TEST(FtpSession, RefusedGreetingAndLogins) {
  ScriptedFtpServer server;
  struct Case {
    const char* name;
    std::function<void()> arrange;
    int code;
    Lines sent;
  };
  const std::vector<Case> cases = {
      {"greeting 421", [&] { server.SetGreeting(FtpReply("421 Too many users, try later.").ThenClose()); }, 421,
       {}},
      {"530 to PASS", [&] { server.QueueReply("PASS", "530 Login incorrect."); }, 530, {"USER user", "PASS secret"}},
      {"332 to USER: no account step", [&] { server.QueueReply("USER", "332 Need account for login."); }, 332,
       {"USER user"}},
      {"332 to PASS", [&] { server.QueueReply("PASS", "332 Need account for login."); }, 332,
       {"USER user", "PASS secret"}},
      {"TYPE refused", [&] { server.QueueReply("TYPE", "504 Not that type."); }, 504,
       {"USER user", "PASS secret", "TYPE I"}},
  };
  int session = 0;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    k.arrange();
    FtpTestClient c(server.Port());
    try {
      c.Open();
      ADD_FAILURE() << "no failure";
    } catch (const ENetProtocolReplyError& e) {
      EXPECT_EQ(e.ReplyCode, k.code);
    }
    EXPECT_FALSE(c.ftp.IsConnected());
    EXPECT_EQ(c.ftp.Host, "127.0.0.1");
    EXPECT_EQ(c.ftp.Port, server.Port());
    server.SetGreeting("220 Scripted FTP server ready.");
    ASSERT_TRUE(server.WaitSessionsClosed());
    EXPECT_EQ(server.SessionCommands(session++), k.sent);
    // The same component logs in again.
    c.Open();
    EXPECT_EQ(c.ftp.LoginReply().NumericCode(), 230);
    c.ftp.Quit();
    ASSERT_TRUE(server.WaitSessionsClosed());
    ++session;
  }
}

TEST(FtpSession, SimpleCommandsAndTheirReplies) {
  ScriptedFtpServer server;
  FtpTestClient c(server.Port());
  c.Open();
  c.ClearLog();

  c.ftp.ChangeDirectory("/pub/with blank");  // sent as it stands
  EXPECT_EQ(c.ftp.CurrentDirectory(), "/pub/with blank");
  server.QueueReply("CWD", "200 Fine.");
  c.ftp.ChangeDirectory("..");
  server.QueueReply("CWD", "550 No such folder.");
  try {
    c.ftp.ChangeDirectory("nowhere");
    ADD_FAILURE() << "550 accepted";
  } catch (const ENetProtocolReplyError& e) {
    EXPECT_EQ(e.ReplyCode, 550);
    EXPECT_STREQ(e.what(), "No such folder.\r\n");
  }
  EXPECT_TRUE(c.ftp.IsConnected());  // a refused command leaves the session open

  // The current folder is the text between the first two double quotes.
  const std::vector<std::pair<FtpReply, std::string>> pwd = {
      {"257 \"/\" is your current location", "/"},
      {"257 \"/pub/incoming\" is the current directory", "/pub/incoming"},
      {"257 /no/quotes/here", ""},
      {"257 \"/a\"\"b\" with a doubled quote", "/a"},
      {"257 \"unterminated", ""},
      {"257-\"/multi\" first line\n257 end", "/multi"},
  };
  for (const auto& [reply, expected] : pwd) {
    server.QueueReply("PWD", reply);
    EXPECT_EQ(c.ftp.CurrentDirectory(), expected) << reply.Text;
  }
  server.QueueReply("PWD", "250 Wrong code.");
  EXPECT_THROW(c.ftp.CurrentDirectory(), ENetProtocolReplyError);

  c.ftp.MakeDirectory("new");
  server.QueueReply("MKD", "250 Wrong code for MKD.");
  EXPECT_THROW(c.ftp.MakeDirectory("other"), ENetProtocolReplyError);
  c.ftp.RemoveDirectory("new");
  c.ftp.RemoveFile("gone.txt");
  server.QueueReply("DELE", "550 Permission denied.");
  EXPECT_THROW(c.ftp.RemoveFile("kept.txt"), ENetProtocolReplyError);

  EXPECT_EQ(c.ftp.RawCommand("NOOP"), 200);
  EXPECT_EQ(c.ftp.RawCommand("XYZZY plugh"), 500);  // any code is accepted
  EXPECT_EQ(c.ftp.LastReply.Text, Lines{"Unknown command."});

  EXPECT_EQ(c.log, (Lines{">CWD /pub/with blank", ">PWD", ">CWD ..", ">CWD nowhere", ">PWD", ">PWD", ">PWD", ">PWD",
                          ">PWD", ">PWD", ">PWD", ">MKD new", ">MKD other", ">RMD new", ">DELE gone.txt",
                          ">DELE kept.txt", ">NOOP", ">XYZZY plugh"}));
  c.ftp.Quit();
}

// Sizes are 64-bit: a file of 5 GiB reports its size, not -1.
TEST(FtpSession, FileSizeReplies) {
  ScriptedFtpServer server;
  server.SetFile("one-mib.bin", std::string(1048576, 'x'));
  FtpTestClient c(server.Port());
  c.Open();
  EXPECT_EQ(c.ftp.FileSize("one-mib.bin"), 1048576);
  EXPECT_EQ(c.ftp.FileSize("missing.bin"), -1);  // 550, no exception
  const std::vector<std::pair<FtpReply, int64_t>> replies = {
      {"213 5368709120", 5368709120},
      {"213 9223372036854775807", INT64_MAX},
      {"213 2147483648", 2147483648},
      {"213 not-a-number", -1},
      {"213 ", -1},
      {"213 12 bytes", -1},
      {"213-Size follows\n213 77", -1},  // the whole text: "Size follows\r\n77"
      {"213-\n213 4096", 4096},           // an empty first text line
      {"350 Odd code 12", -1},
      {"213 99999999999999999999", -1},
  };
  for (const auto& [reply, expected] : replies) {
    server.QueueReply("SIZE", reply);
    EXPECT_EQ(c.ftp.FileSize("big.bin"), expected) << reply.Text;
  }
  EXPECT_EQ(c.ftp.RawCommand("NOOP"), 200);  // still in step with the server
  c.ftp.Quit();
}

TEST(FtpSession, TransferTypeSetter) {
  ScriptedFtpServer server;
  server.SetFile("f.txt", std::string(200000, 'a'));
  FtpTestClient c(server.Port());
  // Disconnected: only stored; the login sends it.
  c.ftp.SetTransferType(ftASCII);
  EXPECT_EQ(c.ftp.TransferType(), ftASCII);
  c.Open();
  EXPECT_EQ(server.SessionCommands(0), (Lines{"USER user", "PASS secret", "TYPE A", "SYST"}));
  c.ClearLog();
  c.ftp.SetTransferType(ftASCII);  // unchanged: nothing sent
  EXPECT_EQ(c.log, Lines{});
  c.ftp.SetTransferType(ftBinary);
  EXPECT_EQ(c.log, Lines{">TYPE I"});

  // During a transfer the value stays as it was and nothing is sent.
  c.ClearLog();
  bool tried = false;
  c.onWork = [&](int64_t) {
    if (tried) return;
    tried = true;
    c.ftp.SetTransferType(ftASCII);
  };
  TNetMemoryStream sink;
  c.ftp.Retrieve("f.txt", sink);
  EXPECT_TRUE(tried);
  EXPECT_EQ(c.ftp.TransferType(), ftBinary);
  EXPECT_EQ(sink.Size(), 200000);
  EXPECT_EQ(c.log, (Lines{"*Starting FTP transfer", ">PASV", ">RETR f.txt", "*Transfer complete"}));

  // A refused TYPE raises; the session goes on.
  server.QueueReply("TYPE", "504 Not that type.");
  EXPECT_THROW(c.ftp.SetTransferType(ftASCII), ENetProtocolReplyError);
  EXPECT_EQ(c.ftp.RawCommand("NOOP"), 200);
  c.ftp.Quit();
}

TEST(FtpSession, ResumeProbeRunsOncePerComponent) {
  ScriptedFtpServer server;
  {
    FtpTestClient c(server.Port());
    c.Open();
    c.ClearLog();
    EXPECT_TRUE(c.ftp.ResumeSupported());
    EXPECT_TRUE(c.ftp.ResumeSupported());
    EXPECT_EQ(c.log, (Lines{">REST 1", ">REST 0"}));
    // Not reset by a new session either.
    c.ftp.Quit();
    c.Open();
    c.ClearLog();
    EXPECT_TRUE(c.ftp.ResumeSupported());
    EXPECT_EQ(c.log, Lines{});
    c.ftp.Quit();
  }
  {
    server.QueueReply("REST", "502 REST not implemented.");
    server.QueueReply("REST", "502 REST not implemented.");
    FtpTestClient c(server.Port());
    c.Open();
    c.ClearLog();
    EXPECT_FALSE(c.ftp.ResumeSupported());
    EXPECT_FALSE(c.ftp.ResumeSupported());
    EXPECT_EQ(c.log, (Lines{">REST 1", ">REST 0"}));
    EXPECT_EQ(c.ftp.RawCommand("NOOP"), 200);
    c.ftp.Quit();
  }
}

// A CR or LF inside an argument would let a caller's text smuggle a second
// command onto the control connection. Every operation refuses it before
// anything is sent, and the session stays usable.
TEST(FtpSession, LineBreaksInArgumentsAreRefused) {
  ScriptedFtpServer server;
  FtpTestClient c(server.Port());
  c.Open();
  c.ClearLog();
  TNetMemoryStream stream;
  const std::vector<std::pair<const char*, std::function<void()>>> calls = {
      {"ChangeDirectory", [&] { c.ftp.ChangeDirectory("pub\r\nDELE x"); }},
      {"MakeDirectory", [&] { c.ftp.MakeDirectory("a\nb"); }},
      {"RemoveDirectory", [&] { c.ftp.RemoveDirectory("a\rb"); }},
      {"RemoveFile", [&] { c.ftp.RemoveFile("x\r\nRMD /"); }},
      {"FileSize", [&] { c.ftp.FileSize("x\nSTAT"); }},
      {"RawCommand", [&] { c.ftp.RawCommand("NOOP\r\nDELE x"); }},
      {"Retrieve to stream", [&] { c.ftp.Retrieve("a\r\nDELE x", stream); }},
      {"Retrieve to file", [&] { c.ftp.Retrieve("a\nDELE x", "/nonexistent/never-created"); }},
      {"Store stream", [&] { c.ftp.Store(stream, "up\r\nDELE x"); }},
      {"Store append", [&] { c.ftp.Store(stream, "up\nDELE x", true); }},
      {"Store file", [&] { c.ftp.Store("/nonexistent/never-opened", "up\nx"); }},
      {"ListDirectory", [&] { c.ftp.ListDirectory(nullptr, "-la\r\nDELE x"); }},
  };
  for (const auto& [name, call] : calls) {
    SCOPED_TRACE(name);
    const std::string raw = server.ControlBytes(0);
    const std::string message = MessageOf<ENetInvalidCommandArgument>(call);
    EXPECT_NE(message.find("must not contain a line break"), std::string::npos) << message;
    EXPECT_EQ(c.log, Lines{});
    EXPECT_EQ(server.ControlBytes(0), raw);
    EXPECT_FALSE(c.ftp.DataConnection());
  }
  EXPECT_EQ(c.ftp.RawCommand("NOOP"), 200);
  // The family's base class catches it too.
  EXPECT_THROW(c.ftp.ChangeDirectory("\n"), ENetException);
  c.ftp.Quit();

  // Account fields are checked before the login sends anything.
  FtpTestClient bad(server.Port(), true, "user\r\nDELE x");
  const std::string message = MessageOf<ENetInvalidCommandArgument>([&] { bad.Open(); });
  EXPECT_EQ(message, "The user name must not contain a line break.");
  EXPECT_FALSE(bad.ftp.IsConnected());
  ASSERT_TRUE(server.WaitSessionsClosed());
  EXPECT_EQ(server.SessionCommands(1), Lines{});
}

TEST(FtpSession, QuitAndIdleAbort) {
  ScriptedFtpServer server;
  FtpTestClient c(server.Port());
  // Not connected: neither fails.
  c.ftp.Quit();
  c.ftp.AbortTransfer();
  EXPECT_THROW(c.ftp.ChangeDirectory("x"), ENetNotConnected);
  c.Open();
  c.ClearLog();
  c.ftp.AbortTransfer();  // no transfer: "ABOR" and nothing else
  EXPECT_EQ(c.log, Lines{">ABOR"});
  ASSERT_TRUE(server.WaitForCommand("ABOR"));
  c.ftp.Quit();
  EXPECT_FALSE(c.ftp.IsConnected());
  ASSERT_TRUE(server.WaitForCommand("QUIT"));
  EXPECT_EQ(server.Commands(), Concat(kLogin, {"ABOR", "QUIT"}));
}
