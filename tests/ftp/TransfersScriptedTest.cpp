// Transfers against a scripted loopback server: the exact order of commands
// and status reports of downloads and uploads in both modes, the final
// replies, refused commands, the 227 reply's forms and the address the
// passive data connection goes to, the listener's ports, uploads from a
// stream's start or position.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "FtpTestClient.h"
#include "LoopbackSocket.h"
#include "ScriptedFtpServer.h"
#include "TestFiles.h"

namespace {

using Lines = std::vector<std::string>;

// ">PORT 127,0,0,1,p1,p2" with the listener's port replaced by "*".
Lines Normalized(Lines log) {
  for (std::string& line : log)
    if (line.rfind(">PORT ", 0) == 0) line = line.substr(0, line.rfind(',', line.rfind(',') - 1)) + ",*";
  return log;
}

struct Mode {
  const char* name;
  bool passive;
  const char* dataLine;  // the line that sets up the data connection
};
const Mode kModes[] = {{"passive", true, ">PASV"}, {"active", false, ">PORT 127,0,0,1,*"}};

std::string Bytes(TNetMemoryStream& stream) { return std::string(stream.Memory(), static_cast<size_t>(stream.Size())); }

void Fill(TNetMemoryStream& stream, const std::string& bytes) {
  stream.Clear();
  stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
}

}  // namespace

TEST(FtpTransfers, DownloadOrderInBothModes) {
  ScriptedFtpServer server;
  const std::string content = PatternBytes(3, 0, 300001);
  server.SetFile("a.bin", content);
  for (const Mode& m : kModes) {
    SCOPED_TRACE(m.name);
    FtpTestClient c(server.Port(), m.passive);
    c.Open();
    c.ClearLog();
    TNetMemoryStream sink;
    c.ftp.Retrieve("a.bin", sink);
    EXPECT_EQ(Bytes(sink), content);
    EXPECT_EQ(Normalized(c.log), (Lines{"*Starting FTP transfer", m.dataLine, ">RETR a.bin", "*Transfer complete"}));
    // "Transfer complete" comes after the preliminary reply and before the final one.
    ASSERT_EQ(c.replyAtStatus.size(), 2u);
    EXPECT_EQ(c.replyAtStatus[1], 150);
    EXPECT_EQ(c.ftp.LastReply.NumericCode(), 226);
    EXPECT_EQ(c.work, (Lines{"begin read 0", "end read"}));
    EXPECT_EQ(c.lastWork, 300001);
    // The work events come from the data connection, not the component.
    EXPECT_NE(c.workSender, nullptr);
    EXPECT_NE(c.workSender, &c.ftp);
    EXPECT_EQ(c.ftp.DataConnection(), nullptr);

    // Resuming: the probe once, then "REST" with the stream's position.
    c.ClearLog();
    Fill(sink, content.substr(0, 1000));
    c.ftp.Retrieve("a.bin", sink, true);
    EXPECT_EQ(Bytes(sink), content);
    EXPECT_EQ(Normalized(c.log), (Lines{">REST 1", ">REST 0", "*Starting FTP transfer", m.dataLine, ">REST 1000",
                                        ">RETR a.bin", "*Transfer complete"}));
    c.ClearLog();
    Fill(sink, content.substr(0, 299999));
    c.ftp.Retrieve("a.bin", sink, true);
    EXPECT_EQ(Bytes(sink), content);
    EXPECT_EQ(Normalized(c.log),
              (Lines{"*Starting FTP transfer", m.dataLine, ">REST 299999", ">RETR a.bin", "*Transfer complete"}));
    EXPECT_EQ(c.ftp.RawCommand("NOOP"), 200);
    c.ftp.Quit();
  }
  // The active listener listens on the control connection's local address.
  ASSERT_FALSE(server.PortAddresses().empty());
  for (const HostPort& address : server.PortAddresses()) EXPECT_EQ(address.Host, "127.0.0.1");
}

TEST(FtpTransfers, UploadOrderInBothModes) {
  ScriptedFtpServer server;
  const std::string content = PatternBytes(4, 0, 250000);
  for (const Mode& m : kModes) {
    SCOPED_TRACE(m.name);
    FtpTestClient c(server.Port(), m.passive);
    c.ftp.SendBufferSize = 4096;
    c.Open();
    TNetMemoryStream source;
    Fill(source, content);

    struct Case {
      std::string name;
      bool append;
      int64_t position;
      std::string line;
      std::string sent;
    };
    const std::vector<Case> cases = {
        {"up.bin", false, 100, ">STOR up.bin", content},           // from the start, whatever the position
        {"up.bin", true, 200000, ">APPE up.bin", content.substr(200000)},  // from the position
        {"", false, 7, ">STOU ", content},                          // "STOU " alone, from the start
        {"", true, 7, ">STOU ", content},                           // the empty name wins over append
    };
    for (const Case& k : cases) {
      SCOPED_TRACE(k.line);
      c.ClearLog();
      const size_t before = server.Uploads().size();
      source.SetPosition(k.position);
      c.ftp.Store(source, k.name, k.append);
      EXPECT_EQ(Normalized(c.log), (Lines{"*Starting FTP transfer", m.dataLine, k.line, "*Transfer complete"}));
      EXPECT_EQ(c.replyAtStatus.back(), 150);
      EXPECT_EQ(c.ftp.LastReply.NumericCode(), 226);
      EXPECT_EQ(c.work, (Lines{"begin write " + std::to_string(k.sent.size()), "end write"}));
      EXPECT_EQ(c.lastWork, static_cast<int64_t>(k.sent.size()));
      const std::vector<FtpUpload> uploads = server.Uploads();
      ASSERT_EQ(uploads.size(), before + 1);
      EXPECT_FALSE(uploads.back().Aborted);
      EXPECT_EQ(uploads.back().Size, static_cast<int64_t>(k.sent.size()));
      EXPECT_TRUE(uploads.back().Bytes == k.sent);
    }
    EXPECT_EQ(c.ftp.RawCommand("NOOP"), 200);
    c.ftp.Quit();
  }
  // From a local file, the whole file.
  TempDir dir;
  WriteFile(dir.File("local.bin"), content);
  FtpTestClient c(server.Port());
  c.Open();
  c.ftp.Store(dir.File("local.bin"), "from-file.bin");
  EXPECT_TRUE(server.FileBytes("from-file.bin") == content);
  c.ftp.Quit();
}

// A server that accepts the passive data connection before it sends the
// preliminary reply gets it: the upload connects before reading that reply.
TEST(FtpTransfers, PassiveUploadConnectsBeforeThePreliminaryReply) {
  ScriptedFtpServer server;
  FtpTransferOptions options;
  options.AcceptBeforePreliminary = true;
  options.Preliminary = "125 Data connection already open; transfer starting.";
  server.SetTransferOptions(options);
  FtpTestClient c(server.Port());
  c.Open();
  TNetMemoryStream source;
  Fill(source, "payload");
  c.ftp.Store(source, "early.txt");
  EXPECT_EQ(server.FileBytes("early.txt"), "payload");
  c.ftp.Quit();
}

TEST(FtpTransfers, FinalReplies) {
  ScriptedFtpServer server;
  server.SetFile("f.txt", "contents");
  FtpTestClient c(server.Port());
  c.Open();
  TNetMemoryStream sink;
  struct Case {
    FtpReply final;
    int lastCode;
  };
  const std::vector<Case> cases = {
      {"250 Requested file action okay, completed.", 250},
      {"225 Data connection open; no transfer in progress.", 225},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.final.Text);
    FtpTransferOptions options;
    options.Final = k.final;
    server.SetTransferOptions(options);
    c.ClearLog();
    c.ftp.Retrieve("f.txt", sink);  // returns normally
    EXPECT_EQ(c.log, (Lines{"*Starting FTP transfer", ">PASV", ">RETR f.txt", "*Transfer complete"}));
    EXPECT_EQ(c.ftp.LastReply.NumericCode(), k.lastCode);
    EXPECT_EQ(c.ftp.RawCommand("NOOP"), 200);
  }
  // A final reply outside the accepted codes fails after "Transfer complete".
  FtpTransferOptions options;
  options.Final = "451 Local error in processing.";
  server.SetTransferOptions(options);
  c.ClearLog();
  try {
    c.ftp.Retrieve("f.txt", sink);
    ADD_FAILURE() << "451 accepted";
  } catch (const ENetProtocolReplyError& e) {
    EXPECT_EQ(e.ReplyCode, 451);
  }
  EXPECT_EQ(c.log, (Lines{"*Starting FTP transfer", ">PASV", ">RETR f.txt", "*Transfer complete"}));
  EXPECT_EQ(c.ftp.RawCommand("NOOP"), 200);
  c.ftp.Quit();
}

// A server that ends a transfer with 426 or 450 although the client sent no
// "ABOR" has given up on it: the transfer fails with that reply, after
// "Transfer complete", and nothing more is waited for (no answer to an
// "ABOR" is coming). A download cut short that way is not reported as
// complete or aborted.
TEST(FtpTransfers, ServerEndingATransferByItselfIsAFailure) {
  ScriptedFtpServer server;
  server.SetPatternFile("p.bin", 1 << 20, 4);
  const std::string content = PatternBytes(6, 0, 300000);
  for (const Mode& m : kModes) {
    SCOPED_TRACE(m.name);
    FtpTestClient c(server.Port(), m.passive);
    c.Open();
    // A client that waited for a second reply would fail with a time-out.
    c.ftp.ReadTimeout = 3000;

    FtpTransferOptions cut;
    cut.DropDataAfter = 100000;
    cut.Final = "426 Connection closed; transfer aborted.";
    server.SetTransferOptions(cut);
    c.ClearLog();
    TNetMemoryStream sink;
    try {
      c.ftp.Retrieve("p.bin", sink);
      ADD_FAILURE() << "426 taken for success";
    } catch (const ENetProtocolReplyError& e) {
      EXPECT_EQ(e.ReplyCode, 426);
    }
    EXPECT_EQ(Normalized(c.log), (Lines{"*Starting FTP transfer", m.dataLine, ">RETR p.bin", "*Transfer complete"}));
    EXPECT_EQ(sink.Size(), 100000);
    EXPECT_EQ(c.ftp.RawCommand("NOOP"), 200);
    EXPECT_EQ(c.ftp.LastReply.Text, Lines{"NOOP ok."});

    FtpTransferOptions busy;
    busy.Final = "450 Requested file action not taken.";
    server.SetTransferOptions(busy);
    TNetMemoryStream source;
    Fill(source, content);
    try {
      c.ftp.Store(source, "up.bin");
      ADD_FAILURE() << "450 taken for success";
    } catch (const ENetProtocolReplyError& e) {
      EXPECT_EQ(e.ReplyCode, 450);
    }
    EXPECT_EQ(c.ftp.RawCommand("NOOP"), 200);
    EXPECT_EQ(c.ftp.LastReply.Text, Lines{"NOOP ok."});
    server.SetTransferOptions({});
    c.ftp.Quit();
  }
}

// A refused transfer command still closes the data connection and reports
// "Transfer complete" before the error; the session goes on.
TEST(FtpTransfers, RefusedCommandClosesTheDataConnection) {
  ScriptedFtpServer server;
  // Passive: the 227 names a listener of the test's own, so the test sees
  // the data connection close.
  UniqueFd listener = ListenTcp("127.0.0.1", 0, 4);
  const int port = LocalPort(listener.Get());
  server.SetPasvReply([port](int) { return "227 Entering Passive Mode (" + FtpHostPortText("127.0.0.1", port) + ")"; });
  {
    FtpTestClient c(server.Port());
    c.Open();
    c.ClearLog();
    TNetMemoryStream sink;
    try {
      c.ftp.Retrieve("missing.bin", sink);
      ADD_FAILURE() << "550 accepted";
    } catch (const ENetProtocolReplyError& e) {
      EXPECT_EQ(e.ReplyCode, 550);
      EXPECT_STREQ(e.what(), "Failed to open file.\r\n");
    }
    EXPECT_EQ(c.log, (Lines{"*Starting FTP transfer", ">PASV", ">RETR missing.bin", "*Transfer complete"}));
    EXPECT_EQ(c.ftp.DataConnection(), nullptr);
    UniqueFd data = AcceptWithin(listener.Get(), 5000);
    EXPECT_EQ(ReceiveAll(data.Get(), 5000), "");  // closed by the client
    EXPECT_EQ(c.ftp.RawCommand("NOOP"), 200);
    c.ftp.Quit();
  }
  server.SetPasvReply(nullptr);
  {
    FtpTestClient c(server.Port(), false);
    c.Open();
    c.ClearLog();
    TNetMemoryStream sink;
    EXPECT_THROW(c.ftp.Retrieve("missing.bin", sink), ENetProtocolReplyError);
    EXPECT_EQ(Normalized(c.log),
              (Lines{"*Starting FTP transfer", ">PORT 127,0,0,1,*", ">RETR missing.bin", "*Transfer complete"}));
    EXPECT_EQ(c.ftp.DataConnection(), nullptr);
    // The listener is gone: its port refuses connections.
    const HostPort announced = server.PortAddresses().back();
    EXPECT_THROW(ConnectTcp(announced.Host, announced.Port, 2000), std::exception);
    // An upload refused the same way.
    TNetMemoryStream source;
    Fill(source, "x");
    server.QueueReply("STOR", "553 Not allowed.");
    c.ClearLog();
    EXPECT_THROW(c.ftp.Store(source, "nope.txt"), ENetProtocolReplyError);
    EXPECT_EQ(Normalized(c.log),
              (Lines{"*Starting FTP transfer", ">PORT 127,0,0,1,*", ">STOR nope.txt", "*Transfer complete"}));
    EXPECT_EQ(c.ftp.RawCommand("NOOP"), 200);
    c.ftp.Quit();
  }
}

// A passive upload writes its command before it connects the data
// connection. When that connect fails, the server's answer to the command
// is read with the failure, so the next command gets its own reply.
TEST(FtpTransfers, PassiveUploadWhoseDataConnectionFailsKeepsTheSessionInStep) {
  ScriptedFtpServer server;
  const int closed = FindFreePort();  // nothing listens there
  server.SetPasvReply([closed](int) { return "227 Entering Passive Mode (" + FtpHostPortText("127.0.0.1", closed) + ")"; });
  server.SetHandler("STOR", [](FtpSession& s, const std::string&) { s.Reply("425 Can't open data connection."); });
  FtpTestClient c(server.Port());
  c.Open();
  c.ClearLog();
  TNetMemoryStream source;
  Fill(source, "never sent");
  EXPECT_THROW(c.ftp.Store(source, "up.bin"), ENetSocketError);
  EXPECT_EQ(c.log, (Lines{"*Starting FTP transfer", ">PASV", ">STOR up.bin", "*Transfer complete"}));
  EXPECT_EQ(c.ftp.DataConnection(), nullptr);
  EXPECT_EQ(c.ftp.RawCommand("NOOP"), 200);
  EXPECT_EQ(c.ftp.LastReply.Text, Lines{"NOOP ok."});
  c.ftp.Quit();
}

// The 227 reply with and without parentheses; a port field that is not a
// number fails with the integer conversion error and leaves the session
// usable.
TEST(FtpTransfers, PassiveReplyForms) {
  ScriptedFtpServer server;
  server.SetFile("f.txt", "passive bytes");
  FtpTestClient c(server.Port());
  c.Open();
  TNetMemoryStream sink;
  const std::vector<std::pair<const char*, std::function<std::string(int)>>> forms = {
      {"parentheses", [](int p) { return "227 Entering Passive Mode (" + FtpHostPortText("127.0.0.1", p) + ")."; }},
      {"no parentheses", [](int p) { return "227 Entering Passive Mode " + FtpHostPortText("127.0.0.1", p); }},
      {"bare fields", [](int p) { return "227 " + FtpHostPortText("127.0.0.1", p); }},
      {"blanks inside", [](int p) { return "227 =(127,0,0,1, " + std::to_string(p / 256) + ", " + std::to_string(p % 256) + " )"; }},
  };
  for (const auto& [name, form] : forms) {
    SCOPED_TRACE(name);
    server.SetPasvReply(form);
    c.ftp.Retrieve("f.txt", sink);
    EXPECT_EQ(Bytes(sink), "passive bytes");
    sink.Clear();
  }
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"x,1", "'x' is not a valid integer value"},
      {"4,", "'' is not a valid integer value"},
      {"4,y", "'y' is not a valid integer value"},
  };
  for (const auto& [fields, message] : bad) {
    SCOPED_TRACE(fields);
    server.SetPasvReply(nullptr);
    server.SetPasvOptions({"127,0,0,1", fields, true});
    c.ClearLog();
    EXPECT_EQ(MessageOf<EConvertError>([&] { c.ftp.Retrieve("f.txt", sink); }), message);
    EXPECT_EQ(c.log, (Lines{"*Starting FTP transfer", ">PASV", "*Transfer complete"}));
    EXPECT_EQ(c.ftp.DataConnection(), nullptr);
    EXPECT_EQ(c.ftp.RawCommand("NOOP"), 200);
  }
  // "PASV" refused: the transfer command is not sent.
  server.SetPasvOptions({});
  server.QueueReply("PASV", "502 No passive mode here.");
  c.ClearLog();
  EXPECT_THROW(c.ftp.Retrieve("f.txt", sink), ENetProtocolReplyError);
  EXPECT_EQ(c.log, (Lines{"*Starting FTP transfer", ">PASV", "*Transfer complete"}));
  c.ftp.Quit();
}

// The address in a 227 reply is not trusted: the data connection goes to the
// control connection's peer with the announced port. The scripted listener
// is on 127.0.0.1 only, so a connection to 127.0.0.2 would be refused.
TEST(FtpTransfers, PassiveDataGoesToTheControlPeer) {
  ScriptedFtpServer server;
  server.SetPasvOptions({"127,0,0,2", "", true});
  const std::string content = PatternBytes(8, 0, 70000);
  server.SetFile("f.bin", content);
  FtpTestClient c(server.Port());
  c.Open();
  TNetMemoryStream sink;
  c.ftp.Retrieve("f.bin", sink);
  EXPECT_TRUE(Bytes(sink) == content);
  c.ftp.Store(sink, "back.bin");
  EXPECT_TRUE(server.FileBytes("back.bin") == content);
  TStringList lines;
  server.SetListing("one\r\ntwo\r\n");
  c.ftp.ListDirectory(&lines);
  EXPECT_EQ(lines, (Lines{"one", "two"}));
  c.ftp.Quit();
  // The client connected to the host it was told to use, 127.0.0.1.
  EXPECT_EQ(c.ftp.Host, "127.0.0.1");
}

// Active mode: a fixed data port, a port range, and a fixed port that is
// taken (the bind error, no "PORT" sent, the session goes on).
TEST(FtpTransfers, ActiveModePorts) {
  ScriptedFtpServer server;
  server.SetFile("f.txt", "active");
  FtpTestClient c(server.Port(), false);
  c.Open();
  TNetMemoryStream sink;

  const int fixed = FindFreePort();
  c.ftp.DataPort = fixed;
  c.ftp.Retrieve("f.txt", sink);
  EXPECT_EQ(server.PortAddresses().back().Port, fixed);

  c.ftp.DataPort = 0;
  const int low = FindFreePort();
  c.ftp.DataPortMin = low;
  c.ftp.DataPortMax = low + 5;
  c.ftp.Retrieve("f.txt", sink);
  EXPECT_GE(server.PortAddresses().back().Port, low);
  EXPECT_LE(server.PortAddresses().back().Port, low + 5);
  c.ftp.DataPortMin = c.ftp.DataPortMax = 0;

  UniqueFd taken = ListenTcp("127.0.0.1", 0, 1);
  c.ftp.DataPort = LocalPort(taken.Get());
  c.ClearLog();
  EXPECT_EQ(MessageOf<ENetCouldNotBindSocket>([&] { c.ftp.Retrieve("f.txt", sink); }),
            "Could not bind socket. Address and port are already in use.");
  EXPECT_EQ(c.log, (Lines{"*Starting FTP transfer", "*Transfer complete"}));
  EXPECT_EQ(c.ftp.DataConnection(), nullptr);
  c.ftp.DataPort = 0;
  sink.Clear();
  c.ftp.Retrieve("f.txt", sink);
  EXPECT_EQ(Bytes(sink), "active");
  c.ftp.Quit();
}

// The server resets the data connection in the middle: the failure reaches
// the caller, and the transfer's final reply is read with it, so the next
// command gets its own reply instead of that 426.
TEST(FtpTransfers, DataConnectionResetKeepsTheSessionInStep) {
  ScriptedFtpServer server;
  server.SetPatternFile("p.bin", 4 << 20, 4);
  FtpTransferOptions reset;
  reset.DropDataAfter = 200000;
  reset.ResetData = true;
  reset.Final = "426 Connection reset by the server.";
  server.SetTransferOptions(reset);
  const std::string content = PatternBytes(6, 0, 16 << 20);
  for (const Mode& m : kModes) {
    SCOPED_TRACE(m.name);
    FtpTestClient c(server.Port(), m.passive);
    c.Open();
    c.ClearLog();
    TNetMemoryStream stream;
    EXPECT_THROW(c.ftp.Retrieve("p.bin", stream), ENetSocketError);
    EXPECT_EQ(c.log.back(), "*Transfer complete");
    EXPECT_LE(stream.Size(), 200000);  // what was still unread when the reset came is lost
    EXPECT_EQ(c.ftp.RawCommand("NOOP"), 200);
    EXPECT_EQ(c.ftp.LastReply.Text, Lines{"NOOP ok."});

    Fill(stream, content);
    EXPECT_THROW(c.ftp.Store(stream, "up.bin"), ENetSocketError);
    EXPECT_EQ(c.ftp.RawCommand("NOOP"), 200);
    EXPECT_EQ(c.ftp.LastReply.Text, Lines{"NOOP ok."});
    EXPECT_EQ(c.ftp.CurrentDirectory(), "/");

    // A work handler that fails ends the download the same way.
    server.SetTransferOptions({});
    c.onWork = [](int64_t) { throw std::runtime_error("the progress bar refused"); };
    EXPECT_THROW(c.ftp.Retrieve("p.bin", stream), std::runtime_error);
    c.onWork = nullptr;
    EXPECT_EQ(c.ftp.RawCommand("NOOP"), 200);
    EXPECT_EQ(c.ftp.LastReply.Text, Lines{"NOOP ok."});
    server.SetTransferOptions(reset);
    c.ftp.Quit();
  }
}

// Transfers that succeed, fail at every step or are aborted leave no
// descriptor behind (the scripted server lives in this process too, so its
// sessions are waited for).
TEST(FtpTransfers, NoDescriptorLeftBehind) {
  auto openDescriptors = [] {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
      while (::readdir(dir)) ++count;
      ::closedir(dir);
    }
    return count;
  };
  ScriptedFtpServer server;
  server.SetPatternFile("f.bin", 1 << 20, 3);
  const int before = openDescriptors();
  for (const Mode& m : kModes) {
    SCOPED_TRACE(m.name);
    FtpTestClient c(server.Port(), m.passive);
    c.Open();
    TNetMemoryStream stream;
    c.ftp.Retrieve("f.bin", stream);
    EXPECT_THROW(c.ftp.Retrieve("missing.bin", stream), ENetProtocolReplyError);
    server.QueueReply(m.passive ? "PASV" : "PORT", "500 Not now.");
    EXPECT_THROW(c.ftp.Retrieve("f.bin", stream), ENetProtocolReplyError);
    server.QueueReply("STOR", "553 Not allowed.");
    EXPECT_THROW(c.ftp.Store(stream, "x.bin"), ENetProtocolReplyError);
    c.onWork = [&](int64_t) { c.ftp.AbortTransfer(); };
    c.ftp.Retrieve("f.bin", stream);
    c.ftp.Store(stream, "y.bin");
    c.onWork = nullptr;
    c.ftp.ListDirectory(nullptr);
    c.ftp.Quit();
  }
  ASSERT_TRUE(server.WaitSessionsClosed());
  EXPECT_EQ(openDescriptors(), before);
}

TEST(FtpTransfers, ASecondTransferStartedDuringOneIsRefused) {
  ScriptedFtpServer server;
  const std::string content = PatternBytes(5, 0, 200000);
  server.SetFile("a.bin", content);
  FtpTestClient c(server.Port());
  c.Open();
  // A window handler run from inside the first transfer starts another one.
  std::string nested;
  c.onWork = [&](int64_t) {
    if (!nested.empty()) return;
    TNetMemoryStream other;
    nested = MessageOf<ENetException>([&] { c.ftp.Retrieve("a.bin", other); });
  };
  TNetMemoryStream sink;
  c.ftp.Retrieve("a.bin", sink);
  EXPECT_EQ(nested, "A transfer is already running.");
  EXPECT_EQ(Bytes(sink), content);  // the first one went on undisturbed
  c.onWork = nullptr;
  TNetMemoryStream again;
  c.ftp.Retrieve("a.bin", again);  // and the next one runs
  EXPECT_EQ(Bytes(again), content);
}
