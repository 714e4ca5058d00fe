#include "NetFTPDigest.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "NetExceptions.h"
#include "NetScope.h"

namespace {

// CRC-32 as zip and Ethernet compute it (reflected polynomial 0xEDB88320).
const std::array<uint32_t, 256>& CrcTable() {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  return table;
}

const EVP_MD* EvpOf(const std::string& AAlgorithm) {
  if (AAlgorithm == DigestSHA256) return EVP_sha256();
  if (AAlgorithm == DigestSHA1) return EVP_sha1();
  if (AAlgorithm == DigestMD5) return EVP_md5();
  return nullptr;
}

std::string Hex(const unsigned char* ABytes, size_t ACount) {
  static const char digits[] = "0123456789abcdef";
  std::string text(ACount * 2, '0');
  for (size_t i = 0; i < ACount; ++i) {
    text[2 * i] = digits[ABytes[i] >> 4];
    text[2 * i + 1] = digits[ABytes[i] & 15];
  }
  return text;
}

constexpr int64_t ReadChunk = 1 << 16;
// The hashing thread sleeps until this much more is ready (or the end).
constexpr int64_t WakeStep = 1 << 20;
// The hashing thread's reads of the file: few system calls, a buffer that
// stays in the processor's cache.
constexpr int64_t HasherReadChunk = 256 << 10;

}  // namespace

struct TNetDigest::TState {
  EVP_MD_CTX* Context = nullptr;  // null for CRC-32
  uint32_t Crc = 0xFFFFFFFFu;
  ~TState() { EVP_MD_CTX_free(Context); }
};

TNetDigest::TNetDigest(const std::string& AAlgorithm) : FAlgorithm(AAlgorithm), FState(std::make_unique<TState>()) {
  if (AAlgorithm == DigestCRC32) return;
  const EVP_MD* md = EvpOf(AAlgorithm);
  if (!md) throw ENetException(FormatMessage("Unknown digest algorithm %s.", {AAlgorithm}));
  FState->Context = EVP_MD_CTX_new();
  if (!FState->Context || EVP_DigestInit_ex(FState->Context, md, nullptr) != 1)
    throw ENetException(FormatMessage("Unknown digest algorithm %s.", {AAlgorithm}));
}

TNetDigest::~TNetDigest() = default;

void TNetDigest::Update(const void* ABuffer, int64_t ACount) {
  if (ACount <= 0) return;
  if (FState->Context) {
    EVP_DigestUpdate(FState->Context, ABuffer, static_cast<size_t>(ACount));
    return;
  }
  const auto& table = CrcTable();
  uint32_t c = FState->Crc;
  const auto* p = static_cast<const unsigned char*>(ABuffer);
  for (int64_t i = 0; i < ACount; ++i) c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  FState->Crc = c;
}

std::string TNetDigest::HexDigest() {
  if (!FState->Context) {
    const uint32_t c = FState->Crc ^ 0xFFFFFFFFu;
    const unsigned char bytes[4] = {static_cast<unsigned char>(c >> 24), static_cast<unsigned char>(c >> 16),
                                    static_cast<unsigned char>(c >> 8), static_cast<unsigned char>(c)};
    return Hex(bytes, 4);
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(FState->Context, digest, &length);
  return Hex(digest, length);
}

int TNetDigest::HexLength(const std::string& AAlgorithm) {
  if (AAlgorithm == DigestCRC32) return 8;
  const EVP_MD* md = EvpOf(AAlgorithm);
  return md ? 2 * EVP_MD_get_size(md) : 0;
}

std::vector<std::string> HexDigestsOfStream(TNetStream& AStream, const std::vector<std::string>& AAlgorithms) {
  std::vector<std::unique_ptr<TNetDigest>> digests;
  for (const std::string& algorithm : AAlgorithms) digests.push_back(std::make_unique<TNetDigest>(algorithm));
  const int64_t saved = AStream.Position();
  TNetScopeExit restore([&] { AStream.SetPosition(saved); });
  AStream.SetPosition(0);
  std::vector<char> buffer(ReadChunk);
  for (int64_t n; (n = AStream.Read(buffer.data(), ReadChunk)) > 0;)
    for (auto& digest : digests) digest->Update(buffer.data(), n);
  std::vector<std::string> hex;
  for (auto& digest : digests) hex.push_back(digest->HexDigest());
  return hex;
}

std::string HexDigestOfStream(TNetStream& AStream, const std::string& AAlgorithm) {
  return HexDigestsOfStream(AStream, {AAlgorithm}).front();
}

// --- TNetFileHasher

TNetFileHasher::TNetFileHasher(int AHandle, const std::vector<std::string>& AAlgorithms, int64_t AReady)
    : FHandle(AHandle), FReady(AReady) {
  for (const std::string& algorithm : AAlgorithms) FDigests.push_back(std::make_unique<TNetDigest>(algorithm));
  FThread = std::thread([this] { Run(); });
}

TNetFileHasher::~TNetFileHasher() {
  if (!FThread.joinable()) return;
  FStop = true;
  {
    std::lock_guard<std::mutex> lock(FLock);
    FWake.notify_one();
  }
  FThread.join();
}

void TNetFileHasher::Ready(int64_t AEnd) {
  std::lock_guard<std::mutex> lock(FLock);
  if (AEnd <= FReady) return;
  FReady = AEnd;
  // Woken for a good piece at a time, not for every write.
  if (FWaitingAt >= 0 && FReady - FWaitingAt >= WakeStep) FWake.notify_one();
}

std::vector<std::string> TNetFileHasher::Finish(int64_t ASize) {
  {
    std::lock_guard<std::mutex> lock(FLock);
    FReady = std::max(FReady, ASize);
    FFinal = true;
    FWake.notify_one();
  }
  FThread.join();
  if (FFailure) std::rethrow_exception(FFailure);
  std::vector<std::string> hex;
  for (auto& digest : FDigests) hex.push_back(digest->HexDigest());
  return hex;
}

void TNetFileHasher::Run() {
  try {
    std::vector<char> buffer(HasherReadChunk);
    int64_t hashed = 0;
    for (;;) {
      int64_t end;
      bool last;
      {
        std::unique_lock<std::mutex> lock(FLock);
        FWaitingAt = hashed;
        FWake.wait(lock, [&] { return FStop || FFinal || FReady - hashed >= WakeStep; });
        FWaitingAt = -1;
        end = FReady;
        last = FFinal;
      }
      while (hashed < end) {
        if (FStop) return;
        const ssize_t n =
            ::pread(FHandle, buffer.data(), static_cast<size_t>(std::min(HasherReadChunk, end - hashed)), hashed);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw EInOutError(std::string("The file could not be read for its digest: ") + std::strerror(errno));
        if (n == 0) throw EInOutError("The file ended before the bytes to be hashed.");
        for (auto& digest : FDigests) digest->Update(buffer.data(), n);
        hashed += n;
      }
      if (last || FStop) return;
    }
  } catch (...) {
    // Nothing may leave the thread: the failure is handed to Finish, which
    // raises it on the transfer's thread.
    FFailure = std::current_exception();
  }
}

// --- TNetHashingStream

namespace {

// The descriptor of a regular file the stream holds open for reading, or -1:
// what a hashing thread can read with pread.
int ReadableFileHandle(TNetStream& AStream) {
  auto* file = dynamic_cast<TNetFileStream*>(&AStream);
  if (!file || file->Handle() < 0) return -1;
  struct stat status {};
  if (::fstat(file->Handle(), &status) != 0 || !S_ISREG(status.st_mode)) return -1;
  const int flags = ::fcntl(file->Handle(), F_GETFL);
  if (flags < 0 || (flags & O_ACCMODE) == O_WRONLY) return -1;
  return file->Handle();
}

}  // namespace

TNetHashingStream::TNetHashingStream(TNetStream& ATarget, const std::vector<std::string>& AAlgorithms)
    : FTarget(ATarget), FAlgorithms(AAlgorithms), FPosition(ATarget.Position()) {
  const int handle = ReadableFileHandle(ATarget);
  if (handle >= 0) {
    // What the file holds already is final unless written again.
    FHashed = ATarget.Size();
    FHasher = std::make_unique<TNetFileHasher>(handle, AAlgorithms, FHashed);
    return;
  }
  for (const std::string& algorithm : AAlgorithms) FDigests.push_back(std::make_unique<TNetDigest>(algorithm));
}

TNetHashingStream::~TNetHashingStream() = default;

int64_t TNetHashingStream::Read(void* Buffer, int64_t Count) {
  const int64_t position = FPosition;
  const int64_t n = FTarget.Read(Buffer, Count);
  FPosition = position + n;
  // The hashing thread reads the whole file by itself.
  if (!FHasher) Passed(position, Buffer, n);
  return n;
}

int64_t TNetHashingStream::Write(const void* Buffer, int64_t Count) {
  const int64_t position = FPosition;
  const int64_t n = FTarget.Write(Buffer, Count);
  FPosition = position + n;
  if (position < FHashed) FRewound = true;
  if (!FHasher) {
    Passed(position, Buffer, n);
  } else if (!FRewound) {
    FHashed = position + n;
    FHasher->Ready(FHashed);
  }
  return n;
}

int64_t TNetHashingStream::Seek(int64_t Offset, TSeekOrigin Origin) {
  FPosition = FTarget.Seek(Offset, Origin);
  return FPosition;
}

void TNetHashingStream::SetSize(int64_t NewSize) {
  FTarget.SetSize(NewSize);
  FPosition = FTarget.Position();
}

void TNetHashingStream::Passed(int64_t APosition, const void* ABuffer, int64_t ACount) {
  if (FRewound || ACount <= 0) return;
  const int64_t end = APosition + ACount;
  if (end <= FHashed) return;
  if (APosition > FHashed) {
    CatchUp(APosition);
    FTarget.SetPosition(end);
  }
  const int64_t skip = FHashed - APosition;
  for (auto& digest : FDigests) digest->Update(static_cast<const char*>(ABuffer) + skip, ACount - skip);
  FHashed = end;
}

void TNetHashingStream::CatchUp(int64_t AEnd) {
  std::vector<char> buffer(ReadChunk);
  FTarget.SetPosition(FHashed);
  while (FHashed < AEnd) {
    const int64_t n = FTarget.Read(buffer.data(), std::min(ReadChunk, AEnd - FHashed));
    if (n <= 0) throw EInOutError("The file ended before the bytes to be hashed.");
    for (auto& digest : FDigests) digest->Update(buffer.data(), n);
    FHashed += n;
  }
}

std::string TNetHashingStream::Finish() {
  const int64_t size = FTarget.Size();
  // Rewritten or cut back below what was hashed: the digests no longer fit
  // the stream; the hashing thread is stopped and the whole stream read.
  if (FRewound || size < FHashed) {
    FHasher.reset();
    FResults = HexDigestsOfStream(FTarget, FAlgorithms);
  } else if (FHasher) {
    FResults = FHasher->Finish(size);
  } else {
    const int64_t saved = FTarget.Position();
    TNetScopeExit restore([&] { FTarget.SetPosition(saved); });
    if (FHashed < size) CatchUp(size);
    for (auto& digest : FDigests) FResults.push_back(digest->HexDigest());
  }
  return FResults.front();
}

std::string TNetHashingStream::Digest(const std::string& AAlgorithm) const {
  for (size_t i = 0; i < FResults.size() && i < FAlgorithms.size(); ++i)
    if (FAlgorithms[i] == AAlgorithm) return FResults[i];
  return {};
}
