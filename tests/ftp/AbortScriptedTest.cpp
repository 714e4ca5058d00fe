// Aborting transfers against a scripted loopback server: from a work event
// (as the client window does) and from inside a message pump of the
// anti-freeze, downloads and uploads in both modes, a server that finished
// before "ABOR" arrived, one that never answers "ABOR", and a listener still
// waiting for the server.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "FtpTestClient.h"
#include "ScriptedFtpServer.h"
#include "TestFiles.h"

namespace {

using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

Lines Normalized(Lines log) {
  for (std::string& line : log)
    if (line.rfind(">PORT ", 0) == 0) line = ">PORT";
  return log;
}

struct Mode {
  const char* name;
  bool passive;
  const char* dataLine;
};
const Mode kModes[] = {{"passive", true, ">PASV"}, {"active", false, ">PORT"}};

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

// The window's way: AbortTransfer from the first work event of a slow
// download. The server answers 426 and then 226 to "ABOR"; the download
// returns normally, reports "Transfer aborted" and the session goes on.
TEST(FtpAbort, DownloadFromWorkEventInBothModes) {
  ScriptedFtpServer server;
  FtpTransferOptions slow;
  slow.ChunkSize = 16384;
  slow.ChunkPauseMs = 20;
  server.SetTransferOptions(slow);
  server.SetPatternFile("big.bin", 4 << 20, 7);
  for (const Mode& m : kModes) {
    SCOPED_TRACE(m.name);
    FtpTestClient c(server.Port(), m.passive);
    c.Open();
    c.ClearLog();
    int aborts = 0;
    c.onWork = [&](int64_t) {
      if (aborts++ == 0) c.ftp.AbortTransfer();
    };
    TempDir dir;
    const auto start = Clock::now();
    c.ftp.Retrieve("big.bin", dir.File("big.bin"));
    EXPECT_LT(SecondsSince(start), 5.0);
    EXPECT_EQ(Normalized(c.log),
              (Lines{"*Starting FTP transfer", m.dataLine, ">RETR big.bin", ">ABOR", "*Transfer complete",
                     "*Transfer aborted"}));
    // "Transfer aborted" comes after the answer to "ABOR" was read.
    EXPECT_EQ(c.replyAtStatus.back(), 226);
    EXPECT_EQ(c.ftp.DataConnection(), nullptr);
    // What arrived stays in the file and is the file's beginning.
    const int64_t got = FileSize(dir.File("big.bin"));
    EXPECT_GT(got, 0);
    EXPECT_LT(got, 4 << 20);
    EXPECT_EQ(FindPatternMismatch(dir.File("big.bin"), got, 7), -1);
    EXPECT_EQ(c.ftp.RawCommand("NOOP"), 200);
    EXPECT_EQ(c.ftp.LastReply.Text, Lines{"NOOP ok."});
    c.ftp.Quit();
  }
}

// The transfer's own end after "ABOR" may be 426 or 450, and the answer to
// "ABOR" 226 or 225: both replies are read, and the download returns
// normally as aborted.
TEST(FtpAbort, EitherFormOfTheAnswersToAbort) {
  ScriptedFtpServer server;
  server.SetPatternFile("big.bin", 4 << 20, 7);
  const std::vector<std::vector<FtpReply>> answers = {
      {FtpReply("450 Transfer aborted."), FtpReply("226 Closing data connection.")},
      {FtpReply("426 Connection closed; transfer aborted."), FtpReply("225 ABOR done.")},
  };
  FtpTestClient c(server.Port());
  c.Open();
  for (const std::vector<FtpReply>& replies : answers) {
    SCOPED_TRACE(replies[0].Text);
    FtpTransferOptions slow;
    slow.ChunkSize = 16384;
    slow.ChunkPauseMs = 20;
    slow.AbortReplies = replies;
    server.SetTransferOptions(slow);
    c.ClearLog();
    int works = 0;
    c.onWork = [&](int64_t) {
      if (works++ == 0) c.ftp.AbortTransfer();
    };
    TNetMemoryStream sink;
    c.ftp.Retrieve("big.bin", sink);
    c.onWork = nullptr;
    EXPECT_EQ(c.log, (Lines{"*Starting FTP transfer", ">PASV", ">RETR big.bin", ">ABOR", "*Transfer complete",
                            "*Transfer aborted"}));
    EXPECT_EQ(c.ftp.LastReply.Text, Lines{replies[1].Text.substr(4)});
    EXPECT_EQ(c.ftp.RawCommand("NOOP"), 200);
  }
  c.ftp.Quit();
}

// An upload aborted from a work event: the write fails under the closed
// socket, which is the abort itself and not passed on, in both modes.
TEST(FtpAbort, UploadFromWorkEventInBothModes) {
  ScriptedFtpServer server;
  const std::string content = PatternBytes(9, 0, 32 << 20);
  for (const Mode& m : kModes) {
    SCOPED_TRACE(m.name);
    FtpTestClient c(server.Port(), m.passive);
    c.ftp.SendBufferSize = 65536;
    c.Open();
    c.ClearLog();
    int works = 0;
    c.onWork = [&](int64_t) {
      if (++works == 3) c.ftp.AbortTransfer();
    };
    TNetMemoryStream source;
    source.WriteBuffer(content.data(), static_cast<int64_t>(content.size()));
    const size_t before = server.Uploads().size();
    c.ftp.Store(source, "up.bin");
    EXPECT_EQ(Normalized(c.log), (Lines{"*Starting FTP transfer", m.dataLine, ">STOR up.bin", ">ABOR",
                                        "*Transfer complete", "*Transfer aborted"}));
    EXPECT_EQ(c.work.back(), "end write");
    const std::vector<FtpUpload> uploads = server.Uploads();
    ASSERT_EQ(uploads.size(), before + 1);
    EXPECT_TRUE(uploads.back().Aborted);
    EXPECT_LT(uploads.back().Size, static_cast<int64_t>(content.size()));
    EXPECT_EQ(c.ftp.RawCommand("NOOP"), 200);
    c.ftp.Quit();
  }
}

// The server had sent the whole file and its 226 before "ABOR" arrived: it
// answers "ABOR" on its own ("225 No transfer to abort."). That answer is
// read with the transfer, so the next command gets its own reply, and the
// transfer the client stopped is reported as aborted.
TEST(FtpAbort, ServerFinishedBeforeAbort) {
  ScriptedFtpServer server;
  server.SetFile("small.txt", "all of it");
  for (const Mode& m : kModes) {
    SCOPED_TRACE(m.name);
    FtpTestClient c(server.Port(), m.passive);
    c.Open();
    c.ClearLog();
    // Work end comes after the server closed the data connection.
    bool aborted = false;
    c.onWorkEnd = [&] {
      if (!aborted) c.ftp.AbortTransfer();
      aborted = true;
    };
    TNetMemoryStream sink;
    c.ftp.Retrieve("small.txt", sink);
    c.onWorkEnd = nullptr;
    EXPECT_EQ(sink.DataString(), "all of it");
    EXPECT_EQ(Normalized(c.log), (Lines{"*Starting FTP transfer", m.dataLine, ">RETR small.txt", ">ABOR",
                                        "*Transfer complete", "*Transfer aborted"}));
    // Reported once the answer to "ABOR" was read.
    EXPECT_EQ(c.replyAtStatus.back(), 225);
    EXPECT_EQ(c.ftp.LastReply.NumericCode(), 225);
    EXPECT_EQ(c.ftp.RawCommand("PWD"), 257);
    EXPECT_EQ(c.ftp.RawCommand("NOOP"), 200);
    c.ftp.Quit();
  }
}

// A server that never answers "ABOR" after a finished transfer: the extra
// read gives up after ReadTimeout, or after 5 s when ReadTimeout is 0.
TEST(FtpAbort, SilentServerAfterFinishedTransfer) {
  ScriptedFtpServer server;
  server.SetFile("small.txt", "all of it");
  server.SetHandler("ABOR", [](FtpSession&, const std::string&) {});
  FtpTestClient c(server.Port());
  c.Open();
  c.onWorkEnd = [&] { c.ftp.AbortTransfer(); };
  TNetMemoryStream sink;

  c.ftp.ReadTimeout = 300;
  auto start = Clock::now();
  c.ftp.Retrieve("small.txt", sink);
  EXPECT_GE(SecondsSince(start), 0.25);
  EXPECT_LT(SecondsSince(start), 3.0);
  EXPECT_EQ(c.ftp.ReadTimeout, 300);

  c.ftp.ReadTimeout = 0;
  start = Clock::now();
  c.ftp.Retrieve("small.txt", sink);
  EXPECT_GE(SecondsSince(start), 4.5);
  EXPECT_LT(SecondsSince(start), 10.0);
  EXPECT_EQ(c.ftp.ReadTimeout, 0);

  c.onWorkEnd = nullptr;
  EXPECT_EQ(c.ftp.RawCommand("NOOP"), 200);
  c.ftp.Quit();
}

// The way a window button aborts: a handler run by the anti-freeze's pump
// while the transfer waits for data calls AbortTransfer.
TEST(FtpAbort, FromInsideTheMessagePump) {
  ScriptedFtpServer server;
  FtpTransferOptions slow;
  slow.ChunkSize = 8192;
  slow.ChunkPauseMs = 100;
  server.SetTransferOptions(slow);
  server.SetPatternFile("big.bin", 1 << 20, 2);
  for (const Mode& m : kModes) {
    SCOPED_TRACE(m.name);
    FtpTestClient c(server.Port(), m.passive);
    c.Open();
    c.ClearLog();
    TestAntiFreeze antiFreeze;
    bool aborted = false;
    antiFreeze.onPump = [&] {
      if (!aborted && c.lastWork > 0) {
        aborted = true;
        c.ftp.AbortTransfer();
      }
    };
    TNetMemoryStream sink;
    const auto start = Clock::now();
    c.ftp.Retrieve("big.bin", sink);
    EXPECT_LT(SecondsSince(start), 5.0);
    EXPECT_TRUE(aborted);
    EXPECT_GT(antiFreeze.pumps, 0);
    EXPECT_EQ(c.log.back(), "*Transfer aborted");
    EXPECT_LT(sink.Size(), 1 << 20);
    EXPECT_EQ(c.ftp.RawCommand("NOOP"), 200);
    c.ftp.Quit();
  }
}

// Active mode, the server answered 150 but never connects: an abort from
// the pump makes the waiting listener give up within one poll interval.
TEST(FtpAbort, WaitingListenerGivesUp) {
  ScriptedFtpServer server;
  server.SetHandler("RETR", [](FtpSession& s, const std::string&) { s.Reply("150 Opening data connection."); });
  server.QueueReply("ABOR", "426 Transfer aborted.\n226 ABOR command successful.");
  FtpTestClient c(server.Port(), false);
  c.Open();
  c.ClearLog();
  TestAntiFreeze antiFreeze;
  Clock::time_point abortedAt{};
  antiFreeze.onPump = [&] {
    if (abortedAt == Clock::time_point{} && c.ftp.DataConnection() && c.ftp.LastReply.NumericCode() == 150) {
      abortedAt = Clock::now();
      c.ftp.AbortTransfer();
    }
  };
  TNetMemoryStream sink;
  c.ftp.Retrieve("never.bin", sink);
  ASSERT_NE(abortedAt, Clock::time_point{});
  EXPECT_LT(SecondsSince(abortedAt), 3.0);  // AcceptPollInterval is 1 s
  EXPECT_EQ(Normalized(c.log), (Lines{"*Starting FTP transfer", ">PORT", ">RETR never.bin", ">ABOR",
                                      "*Transfer complete", "*Transfer aborted"}));
  EXPECT_EQ(sink.Size(), 0);
  EXPECT_EQ(c.ftp.RawCommand("NOOP"), 200);
  c.ftp.Quit();
}

// A server that answers "ABOR" with one 225 and never ends the transfer with
// a reply of its own (pyftpdlib does so for an upload aborted early): that
// 225 is the only reply, and nothing more is waited for.
TEST(FtpAbort, SingleAnswerToAbort) {
  ScriptedFtpServer server;
  FtpTransferOptions options;
  options.AbortReplies = {FtpReply("225 ABOR command successful; data channel closed.")};
  server.SetTransferOptions(options);
  const std::string content = PatternBytes(9, 0, 16 << 20);
  for (const Mode& m : kModes) {
    SCOPED_TRACE(m.name);
    FtpTestClient c(server.Port(), m.passive);
    c.Open();
    c.ClearLog();
    int works = 0;
    c.onWork = [&](int64_t) {
      if (++works == 2) c.ftp.AbortTransfer();
    };
    TNetMemoryStream source;
    source.WriteBuffer(content.data(), static_cast<int64_t>(content.size()));
    const auto start = Clock::now();
    c.ftp.Store(source, "up.bin");
    EXPECT_LT(SecondsSince(start), 3.0);
    EXPECT_EQ(c.log.back(), "*Transfer aborted");
    EXPECT_EQ(c.ftp.LastReply.NumericCode(), 225);
    EXPECT_EQ(c.ftp.RawCommand("NOOP"), 200);
    c.ftp.Quit();
  }
}

TEST(FtpAbort, LoneAbortReplyDoesNotHang) {
  // A server that answers "ABOR" during a download with the 426 alone.
  ScriptedFtpServer server;
  FtpTransferOptions options;
  options.ChunkSize = 64 * 1024;
  options.ChunkPauseMs = 20;
  options.AbortReplies = {FtpReply("426 Transfer aborted.")};
  server.SetTransferOptions(options);
  server.SetFile("a.bin", PatternBytes(4, 0, 8 << 20));
  FtpTestClient c(server.Port());
  c.ftp.ReadTimeout = 1000;
  c.Open();
  c.ClearLog();
  int works = 0;
  c.onWork = [&](int64_t) {
    if (++works == 2) c.ftp.AbortTransfer();
  };
  TNetMemoryStream sink;
  const auto start = Clock::now();
  c.ftp.Retrieve("a.bin", sink);
  EXPECT_LT(SecondsSince(start), 5.0);  // one bounded wait, not a hang
  EXPECT_EQ(c.log.back(), "*Transfer aborted");
  c.onWork = nullptr;
  EXPECT_EQ(c.ftp.RawCommand("NOOP"), 200);
}
