// The bulk data path of the TCP connection: receives that take what has
// arrived without a readiness wait, downloads written to their stream in
// blocks, uploads from a file in large blocks.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>
#include <vector>

#include "ConnectedClient.h"
#include "LoopbackPeer.h"
#include "NetExceptions.h"
#include "NetTCPClient.h"

namespace {

using Clock = std::chrono::steady_clock;

// A memory stream that notes when each write came and how large it was.
class TRecordingStream : public TNetMemoryStream {
 public:
  int64_t Write(const void* Buffer, int64_t Count) override {
    Writes.push_back({Clock::now(), Count});
    return TNetMemoryStream::Write(Buffer, Count);
  }
  struct TWrite {
    Clock::time_point At;
    int64_t Count;
  };
  std::vector<TWrite> Writes;
};

// A file in /tmp with the given content, removed at the end of the test.
struct TempFile {
  explicit TempFile(const std::string& content) {
    char pattern[] = "/tmp/remessa-datapath-XXXXXX";
    const int fd = ::mkstemp(pattern);
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    ::close(fd);
    name = pattern;
    std::ofstream(name, std::ios::binary) << content;
  }
  ~TempFile() { std::remove(name.c_str()); }
  std::string name;
};

}  // namespace

TEST(ReceiveReady, TakesOnlyWhatHasArrived) {
  LoopbackPeer peer([](int fd) {
    ReceiveLine(fd, kNoLimitMs);
    SendAll(fd, "data");
    ReceiveLine(fd, kNoLimitMs);
  });
  Connected c(peer);
  TNetIOHandler& handler = *c.client.IOHandler();
  ASSERT_TRUE(handler.ReceivesWithoutWait());
  char buffer[16];
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(handler.ReceiveReady(buffer, sizeof buffer), ReceiveNotReady);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));  // it did not wait
  c.client.WriteLine("send");
  ASSERT_TRUE(handler.WaitReadable(5000));
  ASSERT_EQ(handler.ReceiveReady(buffer, sizeof buffer), 4);
  EXPECT_EQ(std::string(buffer, 4), "data");
  c.client.WriteLine("close");
  ASSERT_TRUE(handler.WaitReadable(5000));
  EXPECT_EQ(handler.ReceiveReady(buffer, sizeof buffer), 0);  // the peer closed
}

// Small receive chunks reach the stream in larger writes, and the work
// events still come chunk by chunk with the running total.
TEST(ReadToStream, SmallChunksAreWrittenInBlocks) {
  const std::string data = Pattern(4 * 1024 * 1024);
  LoopbackPeer peer([&](int fd) { SendAll(fd, data); });
  Connected c(peer);
  c.client.RecvBufferSize = 8192;
  int events = 0;
  int64_t last = 0;
  c.client.OnWork = [&](TNetBaseComponent*, TWorkMode, int64_t count) {
    EXPECT_GT(count, last);
    EXPECT_LE(count - last, 8192);
    last = count;
    ++events;
  };
  TRecordingStream stream;
  c.client.ReadToStream(stream, -1, true);
  ASSERT_EQ(stream.DataString(), data);
  EXPECT_EQ(last, static_cast<int64_t>(data.size()));
  EXPECT_GE(events, 512);  // one per receive of at most 8 KiB
  // Blocks, not one write per chunk: far fewer writes than receives.
  EXPECT_LT(stream.Writes.size() * 4, static_cast<size_t>(events));
}

// A slow link gets its bytes into the stream as they come, not once a block
// has piled up: the first part is written while the peer still holds back
// the second.
TEST(ReadToStream, AQuietLinkGetsWhatArrivedWritten) {
  LoopbackPeer peer([&](int fd) {
    SendAll(fd, "first part");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    SendAll(fd, "second part");
  });
  Connected c(peer);
  TRecordingStream stream;
  c.client.ReadToStream(stream, -1, true);
  EXPECT_EQ(stream.DataString(), "first partsecond part");
  ASSERT_GE(stream.Writes.size(), 2u);
  EXPECT_EQ(stream.Writes[0].Count, 10);
  EXPECT_LT(stream.Writes[0].At, stream.Writes.back().At - std::chrono::milliseconds(150));
}

// Bytes counted in work events are in the stream even when a work handler
// fails: a later resume starts after what the progress showed.
TEST(ReadToStream, CountedBytesReachTheStreamWhenAWorkHandlerFails) {
  const std::string data = Pattern(64 * 1024);
  LoopbackPeer peer([&](int fd) {
    SendAll(fd, data);
    ReceiveLine(fd, kNoLimitMs);
  });
  Connected c(peer);
  c.client.RecvBufferSize = 4096;
  int64_t counted = 0;
  c.client.OnWork = [&](TNetBaseComponent*, TWorkMode, int64_t count) {
    counted = count;
    if (count >= 20000) throw std::runtime_error("handler failed");
  };
  TNetMemoryStream stream;
  EXPECT_THROW(c.client.ReadToStream(stream, -1, true), std::runtime_error);
  EXPECT_EQ(stream.Size(), counted);
  EXPECT_EQ(stream.DataString(), data.substr(0, static_cast<size_t>(counted)));
}

// A stream write that fails half done (a full disk) ends the read, and the
// bytes are not written a second time on the way out.
TEST(ReadToStream, AFailedStreamWriteIsNotTriedAgain) {
  class THalfWritingStream : public TNetMemoryStream {
   public:
    int64_t Write(const void* Buffer, int64_t Count) override {
      if (++Calls > 1) return TNetMemoryStream::Write(Buffer, Count);
      TNetMemoryStream::Write(Buffer, Count / 2);
      throw std::runtime_error("disk full");
    }
    int Calls = 0;
  };
  const std::string data = Pattern(64 * 1024);
  LoopbackPeer peer([&](int fd) {
    SendAll(fd, data);
    ReceiveLine(fd, kNoLimitMs);
  });
  Connected c(peer);
  THalfWritingStream stream;
  EXPECT_THROW(c.client.ReadToStream(stream, -1, true), std::runtime_error);
  EXPECT_EQ(stream.Calls, 1);
  EXPECT_EQ(stream.DataString(), data.substr(0, static_cast<size_t>(stream.Size())));
}

// A work handler that closes the link (an abort from the window) ends a
// send from a file at once: the next block is never sent, not even to
// whatever now holds the old descriptor number.
TEST(WriteFromStream, LinkClosedByAWorkHandlerEndsTheSendFromAFile) {
  const std::string data = Pattern(8 * 1024 * 1024);
  TempFile file(data);
  std::string received;
  int pieces = 0;
  {
    LoopbackPeer peer([&](int fd) { received = ReceiveAll(fd, 10000); });
    Connected c(peer);
    c.client.SendBufferSize = 65536;
    c.client.OnWork = [&](TNetBaseComponent*, TWorkMode, int64_t) {
      if (++pieces == 3) c.client.DropSocket();
    };
    TNetFileStream stream(file.name, fmOpenRead | fmShareDenyNone);
    EXPECT_THROW(c.client.WriteFromStream(stream, true, false, 0), ENetConnClosedGracefully);
  }
  EXPECT_EQ(pieces, 3);
  EXPECT_LE(received.size(), 3u * 65536);
  EXPECT_EQ(received, data.substr(0, received.size()));
}
