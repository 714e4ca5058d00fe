// Buffered reading and writing of the TCP connection against a loopback peer.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "ConnectedClient.h"
#include "LoopbackPeer.h"
#include "NetExceptions.h"
#include "NetLog.h"
#include "NetTCPClient.h"

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

TEST(ReadLine, TerminatorsAndCarriageReturns) {
  LoopbackPeer peer([](int fd) {
    SendAll(fd, "abc\r\nabc\n\r\na\rb\nx|y|");
    ReceiveLine(fd, kNoLimitMs);  // hold the link open until the client is done
  });
  Connected c(peer);
  EXPECT_EQ(c.client.ReadLine(), "abc");
  EXPECT_EQ(c.client.ReadLine(), "abc");
  EXPECT_EQ(c.client.ReadLine(), "");
  EXPECT_EQ(c.client.ReadLine(), "a\rb");  // a CR ends a line only before the LF
  EXPECT_EQ(c.client.ReadLine("|"), "x");  // an explicit terminator is removed, nothing else
  EXPECT_EQ(c.client.ReadLine("|"), "y");
  c.client.WriteLine("done");
}

TEST(ReadLine, CrLfTerminatorSplitAcrossChunks) {
  LoopbackPeer peer([](int fd) {
    SendAll(fd, "first\r");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    SendAll(fd, "\nsecond\r\n");
    ReceiveLine(fd, kNoLimitMs);
  });
  Connected c(peer);
  EXPECT_EQ(c.client.ReadLine("\r\n"), "first");
  EXPECT_EQ(c.client.ReadLine("\r\n"), "second");
  c.client.WriteLine("done");
}

// A line of exactly the longest length whose two-byte terminator arrives
// split over two chunks is as acceptable as when it arrives whole: the CR
// alone may still be the start of the terminator.
TEST(ReadLine, LongestLineWithItsTerminatorSplitAcrossChunks) {
  LoopbackPeer peer([](int fd) {
    for (int i = 0; i < 2; ++i) {
      SendAll(fd, "0123456789\r");
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      SendAll(fd, "\n");
    }
    ReceiveLine(fd, kNoLimitMs);
  });
  Connected c(peer);
  c.client.MaxLineLength = 10;
  EXPECT_EQ(c.client.ReadLine("\r\n"), "0123456789");
  c.client.MaxLineAction = maSplit;
  EXPECT_EQ(c.client.ReadLine("\r\n"), "0123456789");
  EXPECT_FALSE(c.client.LastLineSplit);
  c.client.WriteLine("done");
}

TEST(ReadLine, MaxLineLengthBothActions) {
  const std::string exact(16384, 'a');
  LoopbackPeer peer([&](int fd) {
    SendAll(fd, exact + "\n" + exact + "\r\n" + std::string(10, 'b') + "\n");
    ReceiveLine(fd, kNoLimitMs);
  });
  Connected c(peer);
  EXPECT_EQ(c.client.ReadLine(), exact);  // 16384 bytes plus LF is accepted
  // With the CR it is one byte too long, and stays queued.
  EXPECT_THROW(c.client.ReadLine(), ENetReadLnMaxLineLengthExceeded);
  c.client.MaxLineAction = maSplit;
  c.client.MaxLineLength = 5000;
  size_t total = 0;
  int pieces = 0;
  std::string piece;
  do {
    piece = c.client.ReadLine();
    total += piece.size();
    ++pieces;
  } while (c.client.LastLineSplit);
  EXPECT_EQ(total, 16384u);
  EXPECT_EQ(pieces, 4);  // 3 full pieces of 5000, then the 1384-byte end of the line
  c.client.MaxLineLength = 0;
  EXPECT_EQ(c.client.ReadLine(), std::string(10, 'b'));
  c.client.WriteLine("done");
}

TEST(ReadLine, ExplicitTimeOutThenCompletion) {
  LoopbackPeer peer([](int fd) {
    SendAll(fd, "par");
    ReceiveLine(fd, kNoLimitMs);  // wait for the client's go
    SendAll(fd, "tial\n");
    ReceiveLine(fd, kNoLimitMs);
  });
  Connected c(peer);
  EXPECT_EQ(c.client.ReadLine("\n", 200), "");
  EXPECT_TRUE(c.client.LastLineTimedOut);
  c.client.WriteLine("go");
  EXPECT_EQ(c.client.ReadLine("\n", 5000), "partial");
  EXPECT_FALSE(c.client.LastLineTimedOut);
  c.client.WriteLine("done");
}

TEST(ReadLine, ReadTimeoutRaises) {
  LoopbackPeer peer([](int fd) { ReceiveLine(fd, kNoLimitMs); });
  Connected c(peer);
  c.client.ReadTimeout = 300;
  const auto start = Clock::now();
  try {
    c.client.ReadLine();
    FAIL() << "no time-out";
  } catch (const ENetReadTimeout& e) {
    EXPECT_STREQ(e.what(), "Read Timeout");
  }
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(250));
  c.client.WriteLine("done");
}

TEST(ReadLine, NonEmptySkipsBlankLines) {
  LoopbackPeer peer([](int fd) {
    SendAll(fd, "\r\n  \t\r\n\x01\n  text  \r\n");
    ReceiveLine(fd, kNoLimitMs);
  });
  Connected c(peer);
  EXPECT_EQ(c.client.ReadNonEmptyLine(), "text");
  c.client.WriteLine("done");
}

TEST(ReadToStream, UntilDisconnectIsByteExact) {
  const std::string data = Pattern(100000);
  LoopbackPeer peer([&](int fd) {
    // Odd-sized chunks with pauses, so the reads see every kind of boundary.
    size_t pos = 0, size = 1;
    while (pos < data.size()) {
      size_t n = std::min(size, data.size() - pos);
      SendAll(fd, data.substr(pos, n));
      pos += n;
      size = size * 7 % 9973 + 1;
      if (pos % 5 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  Connected c(peer);
  std::vector<int64_t> begins;
  int64_t lastWork = 0;
  int ends = 0;
  c.client.OnWorkBegin = [&](TNetBaseComponent*, TWorkMode mode, int64_t max) {
    EXPECT_EQ(mode, wmRead);
    begins.push_back(max);
  };
  c.client.OnWork = [&](TNetBaseComponent*, TWorkMode, int64_t count) {
    EXPECT_GE(count, lastWork);
    lastWork = count;
  };
  c.client.OnWorkEnd = [&](TNetBaseComponent*, TWorkMode) { ++ends; };
  TNetMemoryStream stream;
  EXPECT_NO_THROW(c.client.ReadToStream(stream, -1, true));
  EXPECT_EQ(stream.DataString(), data);
  ASSERT_EQ(begins.size(), 1u);
  EXPECT_EQ(begins[0], 0);
  EXPECT_EQ(ends, 1);
  EXPECT_EQ(lastWork, 100000);  // the last partial chunk is counted too
  EXPECT_FALSE(c.client.IsConnected());
}

TEST(ReadToStream, ByteCountLeavesSurplusQueued) {
  LoopbackPeer peer([](int fd) {
    SendAll(fd, std::string(1000, 'x') + "rest\n");
    ReceiveLine(fd, kNoLimitMs);
  });
  Connected c(peer);
  TNetMemoryStream stream;
  c.client.ReadToStream(stream, 1000);
  EXPECT_EQ(stream.Size(), 1000);
  EXPECT_EQ(c.client.ReadLine(), "rest");
  c.client.WriteLine("done");
}

TEST(ReadToStream, LengthPrefixAndInt32) {
  LoopbackPeer peer([](int fd) {
    SendAll(fd, std::string("\x00\x00\x00\x05hello\x01\x02\x03\x04", 13));
    ReceiveLine(fd, kNoLimitMs);
  });
  Connected c(peer);
  TNetMemoryStream stream;
  c.client.ReadToStream(stream);  // the length comes first, in network order
  EXPECT_EQ(stream.DataString(), "hello");
  EXPECT_EQ(c.client.ReadInt32(), 0x01020304);
  c.client.WriteLine("done");
}

TEST(LinkState, PeerCloseNotifiesOnce) {
  LoopbackPeer peer([](int fd) { SendAll(fd, "bye\n"); });
  Connected c(peer);
  std::vector<std::string> events;
  c.client.OnStatus = [&](TNetBaseComponent*, TNetStatus, const std::string& text) { events.push_back(text); };
  c.client.OnDisconnected = [&](TNetBaseComponent*) { events.push_back("OnDisconnected"); };
  EXPECT_EQ(c.client.ReadLine(), "bye");
  // The receive that sees the close drops the link and tells once.
  while (!c.client.PeerClosed) c.client.ProbeDisconnect(false);
  EXPECT_FALSE(c.client.IsConnected());
  EXPECT_FALSE(c.client.IsConnected());
  EXPECT_EQ(events, (std::vector<std::string>{"Disconnected.", "OnDisconnected"}));
  EXPECT_THROW(c.client.ReadLine(), ENetConnClosedGracefully);
}

TEST(LinkState, FirstIsConnectedAfterPeerClosedNotifies) {
  LoopbackPeer peer([](int fd) { ReceiveLine(fd, kNoLimitMs); });
  Connected c(peer);
  int statuses = 0, disconnects = 0;
  c.client.OnStatus = [&](TNetBaseComponent*, TNetStatus status, const std::string&) {
    if (status == hsDisconnected) ++statuses;
  };
  c.client.OnDisconnected = [&](TNetBaseComponent*) { ++disconnects; };
  c.client.PeerClosed = true;  // as a receive of 0 bytes leaves it
  EXPECT_FALSE(c.client.IsConnected());
  EXPECT_FALSE(c.client.IsConnected());
  EXPECT_EQ(statuses, 1);
  EXPECT_EQ(disconnects, 1);
}

TEST(LinkState, QueuedBytesOutliveThePeersClose) {
  LoopbackPeer peer([](int fd) { SendAll(fd, "one\ntwo\n"); });
  Connected c(peer);
  EXPECT_EQ(c.client.ReadLine(), "one");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(c.client.ReadLine(), "two");
  EXPECT_THROW(c.client.ReadLine(), ENetConnClosedGracefully);
}

TEST(LinkState, CloseConnectionOrderAndOwnedHandler) {
  LoopbackPeer peer([](int fd) { ReceiveLine(fd, kNoLimitMs); });
  Connected c(peer);
  std::vector<std::string> events;
  c.client.OnStatus = [&](TNetBaseComponent*, TNetStatus, const std::string& text) { events.push_back(text); };
  c.client.OnDisconnected = [&](TNetBaseComponent*) { events.push_back("OnDisconnected"); };
  EXPECT_TRUE(c.client.OwnsIOHandler);
  c.client.CloseConnection();
  EXPECT_EQ(events, (std::vector<std::string>{"Disconnecting.", "OnDisconnected", "Disconnected."}));
  EXPECT_EQ(c.client.IOHandler(), nullptr);
  EXPECT_THROW(c.client.WriteLine("x"), ENetNotConnected);
}

TEST(Writing, LinesBlocksAndStreams) {
  std::string received;
  LoopbackPeer peer([&](int fd) {
    char buf[4096];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) received.append(buf, static_cast<size_t>(n));
  });
  {
    Connected c(peer);
    TNetLogEvent log;
    log.LogTime = false;
    log.ReplaceCRLF = false;
    std::vector<std::string> sent;
    log.OnSent = [&](TNetBaseComponent*, const std::string&, const std::string& data) { sent.push_back(data); };
    log.SetActive(true);
    c.client.SetIntercept(&log);
    c.client.WriteLine("QUIT");
    ASSERT_EQ(sent.size(), 1u);  // one block of six bytes
    EXPECT_EQ(sent[0], "QUIT\r\n");
    c.client.SetIntercept(nullptr);

    TNetMemoryStream stream;
    stream.WriteBuffer("0123456789", 10);
    stream.SetPosition(4);
    c.client.WriteFromStream(stream, false, true, 0);  // from the position, count first
    c.client.WriteInt32(0x41424344);
    c.client.CloseConnection();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(received, std::string("QUIT\r\n\x00\x00\x00\x06" "456789ABCD", 20));
}

TEST(Reading, InterceptRewritesAndAsciiFilter) {
  LoopbackPeer peer([](int fd) {
    SendAll(fd, "\xC1hello\n");
    ReceiveLine(fd, kNoLimitMs);
  });
  Connected c(peer);
  TNetConnectionIntercept intercept;
  intercept.OnReceive = [](TNetConnectionIntercept*, TNetMemoryStream& block) {
    // Rewrites the block: what the connection buffers is the new content.
    std::string text = block.DataString();
    for (char& ch : text)
      if (ch == 'l') ch = 'L';
    block.SetSize(0);
    block.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
  };
  c.client.SetIntercept(&intercept);
  c.client.ASCIIFilter = true;
  EXPECT_EQ(c.client.ReadLine(), "AheLLo");
  c.client.SetIntercept(nullptr);
  c.client.WriteLine("done");
}

TEST(Reading, FreeingTheInterceptClearsTheReference) {
  TNetTCPClient client;
  {
    TNetConnectionIntercept intercept;
    client.SetIntercept(&intercept);
    EXPECT_EQ(client.Intercept(), &intercept);
  }
  EXPECT_EQ(client.Intercept(), nullptr);
}

TEST(Buffers, ManagedBufferConsumesWithoutMoving) {
  int64_t consumed = 0;
  TNetManagedBuffer queue([&](TNetSimpleBuffer*, int64_t n) { consumed += n; });
  std::string data = Pattern(50000);
  queue.Append(data.data(), static_cast<int64_t>(data.size()));
  const char* start = queue.Memory();
  EXPECT_EQ(queue.TakeString(100), data.substr(0, 100));
  EXPECT_EQ(queue.Memory(), start + 100);  // no move below the threshold
  queue.Discard(40000);                     // crosses 32768: compacted
  EXPECT_EQ(queue.ConsumedOffset(), 0);
  EXPECT_EQ(queue.Size(), 9900);
  EXPECT_EQ(std::string(queue.Memory(), 10), data.substr(40100, 10));
  EXPECT_THROW(queue.Discard(9901), ENetNotEnoughDataInBuffer);
  queue.Discard(9900);
  EXPECT_EQ(queue.Size(), 0);
  EXPECT_EQ(consumed, 50000);
}

// After the link has gone the socket handle still remembers its old
// descriptor number, which the system hands out again to the next socket or
// file. A whole-file send must not reach whatever holds that number now.
TEST(Writing, WholeFileSendAfterTheLinkHasGone) {
  char name[] = "/tmp/remessa-wholefile-XXXXXX";
  const int file = ::mkstemp(name);
  ASSERT_GE(file, 0);
  ASSERT_EQ(::write(file, "secret", 6), 6);
  ::close(file);
  int other[2];  // made first, so that neither end takes the number freed below
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, other), 0);

  LoopbackPeer peer([](int) {});  // accepts and closes at once
  Connected c(peer);
  while (!c.client.PeerClosed) c.client.ProbeDisconnect(false);
  ASSERT_FALSE(c.client.IsConnected());
  ASSERT_NE(c.client.SocketHandler(), nullptr);
  const int stale = c.client.SocketHandler()->SocketHandle()->OsHandle;

  ASSERT_EQ(::dup2(other[0], stale), stale);  // the old number now names another socket

  // The same failure as a send through the stream.
  EXPECT_THROW(c.client.WriteFileContents(name, true), ENetConnClosedGracefully);
  EXPECT_THROW(c.client.WriteFileContents(name, false), ENetConnClosedGracefully);
  char buffer[16];
  EXPECT_EQ(::recv(other[1], buffer, sizeof buffer, MSG_DONTWAIT), -1);  // nothing arrived there
  ::close(stale);
  ::close(other[0]);
  ::close(other[1]);
  ::unlink(name);
}

// A failing handler of the intercept still lets the socket go: the failure
// reaches the caller, the peer sees the close, and the client can connect
// again.
TEST(LinkState, AFailingDetachHandlerStillClosesTheSocket) {
  TNetConnectionIntercept intercept;
  intercept.OnDisconnect = [](TNetConnectionIntercept*) { throw std::runtime_error("trace failed"); };
  std::promise<bool> sawEnd;
  LoopbackPeer peer([&](int fd) {
    char byte;
    sawEnd.set_value(::recv(fd, &byte, 1, 0) == 0);
  });
  Connected c(peer);
  c.client.SetIntercept(&intercept);
  EXPECT_THROW(c.client.CloseConnection(), std::runtime_error);
  EXPECT_FALSE(c.client.IsConnected());
  std::future<bool> end = sawEnd.get_future();
  ASSERT_EQ(end.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_TRUE(end.get());

  c.client.SetIntercept(nullptr);
  LoopbackPeer second([](int fd) { SendAll(fd, "again\n"); });
  c.client.Port = second.Port();
  c.client.OpenConnection();
  EXPECT_EQ(c.client.ReadLine(), "again");
}

// Nobody is left to catch what a handler raises while a connection is being
// destroyed: its socket still goes, and the program goes on.
TEST(LinkState, DestroyingAClientWhoseInterceptFails) {
  TNetConnectionIntercept intercept;
  intercept.OnDisconnect = [](TNetConnectionIntercept*) { throw std::runtime_error("trace failed"); };
  std::promise<bool> sawEnd;
  LoopbackPeer peer([&](int fd) {
    char byte;
    sawEnd.set_value(::recv(fd, &byte, 1, 0) == 0);
  });
  auto c = std::make_unique<Connected>(peer);
  c->client.SetIntercept(&intercept);
  c.reset();
  std::future<bool> end = sawEnd.get_future();
  ASSERT_EQ(end.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_TRUE(end.get());
}

// A work-begin handler that fails leaves no phase open behind it: the next
// transfer announces itself again and ends with its own work-end.
TEST(ReadToStream, AFailingWorkBeginLeavesNoPhaseOpen) {
  LoopbackPeer peer([](int fd) {
    SendAll(fd, "0123456789");
    ReceiveLine(fd, kNoLimitMs);
  });
  Connected c(peer);
  int begins = 0, ends = 0;
  c.client.OnWorkBegin = [&](TNetBaseComponent*, TWorkMode, int64_t) {
    if (++begins == 1) throw std::runtime_error("window failed");
  };
  c.client.OnWorkEnd = [&](TNetBaseComponent*, TWorkMode) { ++ends; };
  TNetMemoryStream stream;
  EXPECT_THROW(c.client.ReadToStream(stream, 5), std::runtime_error);
  EXPECT_EQ(c.client.WorkLevel(wmRead), 0);
  c.client.ReadToStream(stream, 5);
  EXPECT_EQ(begins, 2);
  EXPECT_EQ(ends, 1);
  EXPECT_EQ(c.client.WorkLevel(wmRead), 0);
  c.client.WriteLine("done");
}

namespace {

// A stream that keeps what is written and reserves nothing for an announced
// size, and may claim a size it does not hold.
class TextSink : public TNetStream {
 public:
  explicit TextSink(int64_t claimedSize = 0) : claimed_(claimedSize) {}
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* buffer, int64_t count) override {
    text.append(static_cast<const char*>(buffer), static_cast<size_t>(count));
    pos_ += count;
    return count;
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    pos_ = origin == soBeginning ? offset : origin == soCurrent ? pos_ + offset : Size() + offset;
    return pos_;
  }
  int64_t Size() override { return std::max<int64_t>(claimed_, static_cast<int64_t>(text.size())); }
  void SetSize(int64_t) override {}

  std::string text;

 private:
  int64_t claimed_;
  int64_t pos_ = 0;
};

}  // namespace

// The 4-byte length before a stream counts up to 4 GiB - 1: a length with the
// top bit set announces more than 2 GiB, not "nothing".
TEST(ReadToStream, LengthPrefixAboveTwoGiB) {
  LoopbackPeer peer([](int fd) { SendAll(fd, std::string("\x80\x00\x00\x05hello", 9)); });
  Connected c(peer);
  TextSink sink;
  // The peer closes long before 2 GiB + 5 bytes have come.
  EXPECT_THROW(c.client.ReadToStream(sink), ENetConnClosedGracefully);
  EXPECT_EQ(sink.text, "hello");
}

// A stream whose size does not fit the 4-byte length is refused before a
// single byte goes out, instead of announcing a cut-down count.
TEST(Writing, StreamTooLongForItsLengthPrefix) {
  std::promise<std::string> got;
  LoopbackPeer peer([&](int fd) {
    std::string all;
    char buffer[256];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) all.append(buffer, static_cast<size_t>(n));
    got.set_value(all);
  });
  Connected c(peer);
  TextSink source((int64_t{4} << 30) + 6);
  try {
    c.client.WriteFromStream(source, true, true);
    FAIL() << "sent";
  } catch (const ENetTCPConnectionError& e) {
    EXPECT_STREQ(e.what(), "Stream too large for a 4-byte length.");
  }
  EXPECT_EQ(c.client.WorkLevel(wmWrite), 0);
  c.client.CloseConnection();
  std::future<std::string> received = got.get_future();
  ASSERT_EQ(received.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(received.get(), "");
}
