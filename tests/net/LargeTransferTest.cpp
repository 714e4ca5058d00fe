// More than 4 GiB through one read-until-close: counts and sizes are 64-bit.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <cstring>
#include <vector>

#include "LoopbackPeer.h"
#include "NetTCPClient.h"

namespace {

constexpr int64_t kPeriod = 251;  // a prime, so the pattern never lines up with a chunk
constexpr int64_t kTotal = (int64_t{4} << 30) + 123457;

// A stream that keeps nothing but checks every byte against the pattern.
class CheckingSink : public TNetStream {
 public:
  CheckingSink() : pattern_(static_cast<size_t>(kPeriod + 65536)) {
    for (size_t i = 0; i < pattern_.size(); ++i) pattern_[i] = static_cast<char>(i % kPeriod);
  }
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* buffer, int64_t count) override {
    const char* p = static_cast<const char*>(buffer);
    int64_t left = count;
    while (left > 0) {
      const int64_t n = std::min<int64_t>(left, 65536);
      if (std::memcmp(p, pattern_.data() + pos_ % kPeriod, static_cast<size_t>(n)) != 0) ++mismatches;
      last = static_cast<unsigned char>(p[n - 1]);
      p += n;
      pos_ += n;
      left -= n;
    }
    return count;
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    if (origin == soBeginning) pos_ = offset;
    return pos_;
  }
  int64_t Size() override { return pos_; }
  void SetSize(int64_t) override {}

  int mismatches = 0;
  int last = -1;

 private:
  std::vector<char> pattern_;
  int64_t pos_ = 0;
};

}  // namespace

TEST(LargeTransfer, MoreThanFourGiBUntilClose) {
  LoopbackPeer peer([](int fd) {
    std::vector<char> block(static_cast<size_t>(kPeriod * 4096));
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i % kPeriod);
    int64_t sent = 0;
    while (sent < kTotal) {
      const size_t n = static_cast<size_t>(std::min<int64_t>(kTotal - sent, static_cast<int64_t>(block.size())));
      ssize_t r = ::send(fd, block.data(), n, MSG_NOSIGNAL);
      if (r <= 0) return;
      sent += r;
      // Keep the period aligned: resend from where the block left off.
      if (static_cast<size_t>(r) != n) {
        const size_t rest = n - static_cast<size_t>(r);
        SendAll(fd, std::string(block.data() + r, rest));
        sent += static_cast<int64_t>(rest);
      }
    }
  });
  TNetTCPClient client;
  client.Host = "127.0.0.1";
  client.Port = peer.Port();
  client.OpenConnection();
  int64_t maxWork = 0;
  client.OnWork = [&](TNetBaseComponent*, TWorkMode, int64_t count) { maxWork = count; };
  CheckingSink sink;
  client.ReadToStream(sink, -1, true);
  EXPECT_EQ(sink.Size(), kTotal);
  EXPECT_EQ(sink.mismatches, 0);
  EXPECT_EQ(sink.last, static_cast<int>((kTotal - 1) % kPeriod));
  EXPECT_GT(maxWork, int64_t{4} << 30);  // the progress count went past 32 bits too
}
