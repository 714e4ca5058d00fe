// A download of more than 4 GiB from vsftpd (a sparse file, sent from the
// page cache): every byte arrives and the work count ends at the real size.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "FtpTestClient.h"
#include "RealServers.h"
#include "TestFiles.h"

namespace {

constexpr int64_t kSize = (int64_t{4} << 30) + 12345;
const std::string kTail = "tail of the big file";

// Keeps nothing; checks that everything but the tail is zero.
class ZeroCheckingSink : public TNetStream {
 public:
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* buffer, int64_t count) override {
    static const std::string zeros(1 << 20, '\0');
    const char* p = static_cast<const char*>(buffer);
    const int64_t tailStart = kSize - static_cast<int64_t>(kTail.size());
    for (int64_t i = 0; i < count;) {
      const int64_t at = position_ + i;
      int64_t n;
      bool same;
      if (at < tailStart) {
        n = std::min({count - i, tailStart - at, static_cast<int64_t>(zeros.size())});
        same = std::memcmp(p + i, zeros.data(), static_cast<size_t>(n)) == 0;
      } else {
        n = 1;
        same = at - tailStart < static_cast<int64_t>(kTail.size()) && p[i] == kTail[at - tailStart];
      }
      if (!same && firstMismatch < 0) firstMismatch = at;
      i += n;
    }
    position_ += count;
    return count;
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    if (origin == soBeginning) position_ = offset;
    if (origin == soCurrent) position_ += offset;
    return position_;
  }
  int64_t Size() override { return position_; }
  void SetSize(int64_t) override {}

  int64_t firstMismatch = -1;

 private:
  int64_t position_ = 0;
};

// The server's folder goes to a RAM-backed file system when there is one:
// reading a 4 GiB hole from a disk file system costs seconds of system time.
std::unique_ptr<VsftpdServer> StartServerInMemory() {
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  if (::access("/dev/shm", W_OK) == 0) ::setenv("TMPDIR", "/dev/shm", 1);
  auto server = std::make_unique<VsftpdServer>();
  if (old)
    ::setenv("TMPDIR", saved.c_str(), 1);
  else
    ::unsetenv("TMPDIR");
  return server;
}

}  // namespace

TEST(FtpLargeTransfer, DownloadOver4GiB) {
  std::unique_ptr<VsftpdServer> started = StartServerInMemory();
  VsftpdServer& server = *started;
  WriteSparseFile(server.Root() + "/huge.bin", kSize, kTail);
  FtpTestClient c(server.Port(), true, "anonymous", "test@example.org");
  c.ftp.RecvBufferSize = 1 << 20;
  int64_t previous = 0;
  bool monotonic = true;
  c.onWork = [&](int64_t count) {
    monotonic = monotonic && count > previous;
    previous = count;
  };
  c.Open();
  EXPECT_EQ(c.ftp.FileSize("huge.bin"), kSize);
  ZeroCheckingSink sink;
  c.ftp.Retrieve("huge.bin", sink);
  EXPECT_EQ(sink.Size(), kSize);
  EXPECT_EQ(sink.firstMismatch, -1);
  EXPECT_EQ(c.lastWork, kSize);
  EXPECT_TRUE(monotonic);
  EXPECT_EQ(c.work, (std::vector<std::string>{"begin read 0", "end read"}));
  EXPECT_EQ(c.ftp.LastReply.NumericCode(), 226);
  c.ftp.Quit();
}
