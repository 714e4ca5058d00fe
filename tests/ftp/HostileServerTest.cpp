// Hostile servers and broken networks against a scripted server: transfers
// that stall (reading, writing, the final reply, the server's connection in
// active mode), a third host at the active-mode listener, a reply that never
// ends, an indented line inside a reply, a 227 field above 255, and a refused
// download with the local file it must leave alone.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "FtpTestClient.h"
#include "LoopbackSocket.h"
#include "ScriptedFtpServer.h"
#include "TestFiles.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// A connection to host:port from the loopback address AFrom: another host of
// the network as far as the peer can tell.
UniqueFd ConnectFrom(const std::string& AFrom, const std::string& AHost, int APort) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, AFrom.c_str(), &local.sin_addr);
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) throw std::runtime_error("bind");
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<uint16_t>(APort));
  ::inet_pton(AF_INET, AHost.c_str(), &peer.sin_addr);
  if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) throw std::runtime_error("connect");
  return fd;
}

long PeakKilobytes() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

// Each way a transfer can wait for ever ends after the idle time-out (1 s)
// with a message naming what did not arrive; the data connection is gone and
// the session either answers the next command or is closed.
TEST(FtpIdleTimeout, EveryWaitOfATransferIsBounded) {
  struct Case {
    const char* name;
    bool passive;
    int64_t upload;  // bytes to upload, 0 for a download
    std::function<void(ScriptedFtpServer&)> setUp;
    const char* message;
  };
  auto stall = [](ScriptedFtpServer& s) {
    FtpTransferOptions o;
    o.ChunkSize = 1000;
    o.ChunkPauseMs = 3000;  // after the first 1000 bytes nothing for 3 s
    s.SetTransferOptions(o);
  };
  auto noFinalReply = [](ScriptedFtpServer& s) {
    FtpTransferOptions o;
    o.Final = FtpReply("226 Transfer complete.").Delay(3000);
    s.SetTransferOptions(o);
  };
  auto neverConnects = [](ScriptedFtpServer& s) {
    s.SetReply("PORT", "200 PORT command successful.");
    s.SetHandler("RETR", [](FtpSession& session, const std::string&) { session.Reply("150 Opening data connection."); });
    s.SetHandler("STOR", [](FtpSession& session, const std::string&) { session.Reply("150 Ok to send data."); });
  };
  // The passive listener is there but nobody accepts or reads: the kernel
  // takes the connection and the first megabytes, then the sends block.
  auto takesNothing = [](ScriptedFtpServer& s) {
    s.SetHandler("STOR", [](FtpSession& session, const std::string&) { session.Reply("150 Ok to send data."); });
  };
  const char* noData = "Transfer timed out: no data arrived on the data connection for 1 s.";
  const char* noReply = "Transfer timed out: the final reply did not arrive within 1 s.";
  const char* noConnect = "Transfer timed out: the server did not connect to the data port within 1 s.";
  const Case cases[] = {
      {"stall mid-data, passive", true, 0, stall, noData},
      {"stall mid-data, active", false, 0, stall, noData},
      {"data sent, no final reply, passive", true, 0, noFinalReply, noReply},
      {"data sent, no final reply, active", false, 0, noFinalReply, noReply},
      {"upload taken, no final reply", true, 3000, noFinalReply, noReply},
      {"never connects, download", false, 0, neverConnects, noConnect},
      {"never connects, upload", false, 3000, neverConnects, noConnect},
      // More than the socket buffers of both ends hold.
      {"upload never read", true, 64 << 20, takesNothing,
       "Transfer timed out: the server took no data on the data connection for 1 s."},
  };
  const std::string content = PatternBytes(7, 0, 3000);
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ScriptedFtpServer server;
    server.SetFile("a.bin", content);
    k.setUp(server);
    FtpTestClient c(server.Port(), k.passive);
    c.ftp.IdleTimeout = 1000;
    c.Open();
    TNetMemoryStream stream;
    if (k.upload > 0) {
      const std::string bytes = PatternBytes(8, 0, static_cast<size_t>(k.upload));
      stream.WriteBuffer(bytes.data(), k.upload);
    }
    const auto start = Clock::now();
    const std::string message = MessageOf<ENetTransferTimeout>([&] {
      if (k.upload > 0) {
        c.ftp.Store(stream, "b.bin");
      } else {
        c.ftp.Retrieve("a.bin", stream);
      }
    });
    const double took = SecondsSince(start);
    EXPECT_EQ(message, k.message);
    // One idle time-out for the wait itself (two for a send the kernel cut
    // short after taking part of it), at most one more for the transfer's
    // reply after the data connection was closed.
    EXPECT_GT(took, 0.8);
    EXPECT_LT(took, 5.5);
    EXPECT_EQ(c.ftp.DataConnection(), nullptr);
    if (c.ftp.IsConnected()) {
      EXPECT_EQ(c.ftp.RawCommand("NOOP"), 200);
    }
  }
}

// Without an idle time-out the component waits as it always did: a server
// that is merely slow is not cut off.
TEST(FtpIdleTimeout, ZeroWaitsWithoutLimit) {
  ScriptedFtpServer server;
  const std::string content = PatternBytes(7, 0, 3000);
  server.SetFile("a.bin", content);
  FtpTransferOptions o;
  o.ChunkSize = 1000;
  o.ChunkPauseMs = 700;
  server.SetTransferOptions(o);
  FtpTestClient c(server.Port());
  EXPECT_EQ(c.ftp.IdleTimeout, 0);
  c.Open();
  TNetMemoryStream sink;
  c.ftp.Retrieve("a.bin", sink);
  EXPECT_EQ(std::string(sink.Memory(), static_cast<size_t>(sink.Size())), content);
}

// RFC 2577: in active mode a third host that connects to the listener before
// the server is hung up on; the download comes from the server alone.
TEST(FtpActiveMode, ThirdPartyConnectionRefused) {
  ScriptedFtpServer server;
  const std::string content = PatternBytes(9, 0, 100000);
  server.SetFile("a.bin", content);
  UniqueFd intruder;
  server.SetHandler("RETR", [&](FtpSession& session, const std::string& name) {
    const HostPort listener = server.PortAddresses().back();
    intruder = ConnectFrom("127.0.0.2", listener.Host, listener.Port);
    SendAll(intruder.Get(), "EVIL BYTES");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    session.RunDefault("RETR", name);
  });
  FtpTestClient c(server.Port(), false);
  c.ftp.IdleTimeout = 5000;
  c.Open();
  TNetMemoryStream sink;
  c.ftp.Retrieve("a.bin", sink);
  EXPECT_TRUE(std::string(sink.Memory(), static_cast<size_t>(sink.Size())) == content);
  // The intruder was closed, not left waiting.
  ASSERT_TRUE(intruder);
  char byte;
  ASSERT_TRUE(WaitReadable(intruder.Get(), 5000));
  EXPECT_LE(::recv(intruder.Get(), &byte, 1, 0), 0);
}

// A multi-line reply that never ends is cut at 1000 lines or 1 MiB,
// whichever comes first; the memory used stays small and the session closes.
TEST(FtpReplies, EndlessReplyIsCut) {
  struct Case {
    const char* name;
    std::string line;
    const char* message;
  };
  const Case cases[] = {
      {"short lines", "214-Help text\r\n", "The reply is longer than 1000 lines; the connection was closed."},
      {"long lines", "214-" + std::string(16000, 'x') + "\r\n",
       "The reply is larger than 1048576 bytes; the connection was closed."},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    std::string block;  // before the server: its session thread still sends it while the server stops
    while (block.size() < 65536) block += k.line;
    ScriptedFtpServer server;
    // Up to 200 MB, until the client hangs up.
    server.SetHandler("HELP", [&](FtpSession& session, const std::string&) {
      session.Reply(FtpReply::Raw("214-The following commands are recognized.\r\n"));
      for (int i = 0; i < 3000; ++i) session.Reply(FtpReply::Raw(block));
    });
    FtpTestClient c(server.Port());
    c.Open();
    const long before = PeakKilobytes();
    EXPECT_EQ(MessageOf<ENetReplyTooLong>([&] { c.ftp.RawCommand("HELP"); }), k.message);
    EXPECT_LT(PeakKilobytes() - before, 64 * 1024);
    EXPECT_FALSE(c.ftp.IsConnected());
  }
}

// RFC 959 lets a server indent a line of a multi-line reply that begins with
// digits; that line does not end the reply, and the next command gets its
// own answer.
TEST(FtpReplies, PaddedLineInsideAReply) {
  ScriptedFtpServer server;
  server.SetReply("STAT", FtpReply::Raw("211-Status of the server:\r\n 211 connected from 127.0.0.1\r\n"
                                        "   211 and more\r\n211 End of status.\r\n"));
  FtpTestClient c(server.Port());
  c.Open();
  EXPECT_EQ(c.ftp.RawCommand("STAT"), 211);
  EXPECT_EQ(c.ftp.LastReply.Text, (TStringList{"Status of the server:", "211 connected from 127.0.0.1",
                                               "211 and more", "End of status."}));
  EXPECT_EQ(c.ftp.RawCommand("NOOP"), 200);
  EXPECT_EQ(c.ftp.CurrentDirectory(), "/");
}

// A 227 field outside 0 to 255 is refused before the transfer command: a
// port field of 256 would otherwise carry into the other byte.
TEST(FtpPassive, ReplyFieldOutOfRangeRefused) {
  struct Case {
    std::string host;
    std::string port;
  };
  const Case cases[] = {{"127,0,0,1", "256,1"}, {"127,0,0,1", "1,256"}, {"127,0,0,1", "-1,0"}, {"127,0,0,256", ""}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.host + "," + k.port);
    ScriptedFtpServer server;
    server.SetFile("a.bin", "abc");
    server.SetPasvOptions({k.host, k.port, true});
    FtpTestClient c(server.Port());
    c.Open();
    TNetMemoryStream sink;
    try {
      c.ftp.Retrieve("a.bin", sink);
      ADD_FAILURE() << "nothing raised";
    } catch (const ENetProtocolReplyError& e) {
      EXPECT_EQ(e.ReplyCode, 227);
      EXPECT_EQ(std::string(e.what()).rfind("Invalid passive mode reply (a field is out of 0 to 255): "
                                            "Entering Passive Mode (",
                                            0),
                0u)
          << e.what();
    }
    EXPECT_EQ(c.ftp.RawCommand("NOOP"), 200);
    const std::vector<std::string> commands = server.Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "RETR a.bin"), 0);
  }
}

// A download the server refuses leaves the local file as it was and creates
// none; one the server accepted but that delivered nothing removes the file
// it created, so that a later resume does not take it for a partial download.
TEST(FtpLocalFiles, RefusedDownloadLeavesTheLocalFileAlone) {
  struct Case {
    const char* name;
    const char* remote;
    bool existing;
    bool overwrite;
    bool resume;
  };
  const Case cases[] = {
      {"existing file, overwrite, refused", "missing.bin", true, true, false},
      {"new file, refused", "missing.bin", false, false, false},
      {"new file, resume, refused", "missing.bin", false, false, true},
      {"new file, accepted, nothing arrived", "empty.bin", false, false, false},
  };
  ScriptedFtpServer server;
  server.SetFile("empty.bin", "never sent");
  server.SetHandler("RETR", [](FtpSession& session, const std::string& name) {
    if (name == "missing.bin") return session.Reply("550 Failed to open file.");
    FtpTransferOptions o;
    o.DropDataAfter = 0;
    o.Final = "451 Local error in processing.";
    session.ServeDownload("never sent", o);
  });
  TempDir dir;
  FtpTestClient c(server.Port());
  c.Open();
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const std::string path = dir.File("local.bin");
    if (k.existing) WriteFile(path, "the user's old copy");
    EXPECT_THROW(c.ftp.Retrieve(k.remote, path, k.overwrite, k.resume), ENetProtocolReplyError);
    if (k.existing) {
      EXPECT_EQ(ReadFile(path), "the user's old copy");
    } else {
      EXPECT_FALSE(PathExists(path));
    }
    ::unlink(path.c_str());
  }
}
