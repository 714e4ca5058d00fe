#include "NetFTPDigest.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
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

std::string HexDigestOfStream(TNetStream& AStream, const std::string& AAlgorithm) {
  TNetDigest digest(AAlgorithm);
  const int64_t saved = AStream.Position();
  TNetScopeExit restore([&] { AStream.SetPosition(saved); });
  AStream.SetPosition(0);
  std::vector<char> buffer(ReadChunk);
  for (int64_t n; (n = AStream.Read(buffer.data(), ReadChunk)) > 0;) digest.Update(buffer.data(), n);
  return digest.HexDigest();
}

TNetHashingStream::TNetHashingStream(TNetStream& ATarget, const std::string& AAlgorithm)
    : FTarget(ATarget), FDigest(AAlgorithm) {}

int64_t TNetHashingStream::Read(void* Buffer, int64_t Count) {
  const int64_t position = FTarget.Position();
  const int64_t n = FTarget.Read(Buffer, Count);
  Passed(position, Buffer, n);
  return n;
}

int64_t TNetHashingStream::Write(const void* Buffer, int64_t Count) {
  const int64_t position = FTarget.Position();
  const int64_t n = FTarget.Write(Buffer, Count);
  if (position < FHashed) FRewound = true;
  Passed(position, Buffer, n);
  return n;
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
  FDigest.Update(static_cast<const char*>(ABuffer) + skip, ACount - skip);
  FHashed = end;
}

void TNetHashingStream::CatchUp(int64_t AEnd) {
  std::vector<char> buffer(ReadChunk);
  FTarget.SetPosition(FHashed);
  while (FHashed < AEnd) {
    const int64_t n = FTarget.Read(buffer.data(), std::min(ReadChunk, AEnd - FHashed));
    if (n <= 0) throw EInOutError("The file ended before the bytes to be hashed.");
    FDigest.Update(buffer.data(), n);
    FHashed += n;
  }
}

std::string TNetHashingStream::Finish() {
  if (FRewound) return HexDigestOfStream(FTarget, FDigest.Algorithm());
  const int64_t saved = FTarget.Position();
  TNetScopeExit restore([&] { FTarget.SetPosition(saved); });
  const int64_t size = FTarget.Size();
  // Cut back below what was hashed: the digest no longer fits the stream.
  if (size < FHashed) return HexDigestOfStream(FTarget, FDigest.Algorithm());
  if (FHashed < size) CatchUp(size);
  return FDigest.HexDigest();
}
