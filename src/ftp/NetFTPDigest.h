// Digests of transferred files: the local side of the checks a server can
// make of a file it holds (SHA-256, SHA-1 and MD5 through OpenSSL's EVP, and
// the CRC-32 of zip and Ethernet), and a stream that hashes the bytes
// passing through it, so that a transfer costs no second read of the file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "NetStream.h"

// Names as the HASH command spells them (and as receipts show them).
inline constexpr const char* DigestSHA256 = "SHA-256";
inline constexpr const char* DigestSHA1 = "SHA-1";
inline constexpr const char* DigestMD5 = "MD5";
inline constexpr const char* DigestCRC32 = "CRC32";

// One running digest. Raises ENetException "Unknown digest algorithm %s."
// for a name it does not know.
class TNetDigest {
 public:
  explicit TNetDigest(const std::string& AAlgorithm);
  ~TNetDigest();
  TNetDigest(const TNetDigest&) = delete;
  TNetDigest& operator=(const TNetDigest&) = delete;

  const std::string& Algorithm() const { return FAlgorithm; }
  void Update(const void* ABuffer, int64_t ACount);
  // The digest in lower-case hex; the digest cannot be updated afterwards.
  std::string HexDigest();
  // The number of hex digits the algorithm's digest has (64 for SHA-256).
  static int HexLength(const std::string& AAlgorithm);

 private:
  struct TState;
  std::string FAlgorithm;
  std::unique_ptr<TState> FState;
};

// The digest of a whole stream, read from its start; the position is put
// back afterwards.
std::string HexDigestOfStream(TNetStream& AStream, const std::string& AAlgorithm);

// Passes every call on to the stream it wraps and keeps a digest of the
// stream's bytes from position 0 on, fed from what is written or read. A
// write or read that starts beyond the bytes hashed so far (a resumed
// download starts at the end of the part already there) first hashes the
// gap by reading it from the stream; one that goes back over hashed bytes
// makes Finish read the whole stream again. So the result always covers the
// whole stream as it ends, and a transfer that runs front to back reads
// nothing twice.
class TNetHashingStream : public TNetStream {
 public:
  TNetHashingStream(TNetStream& ATarget, const std::string& AAlgorithm = DigestSHA256);

  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override { return FTarget.Seek(Offset, Origin); }
  int64_t Size() override { return FTarget.Size(); }
  void SetSize(int64_t NewSize) override { FTarget.SetSize(NewSize); }

  // Hashes what is still missing up to the stream's size and returns the
  // digest in lower-case hex. Call once.
  std::string Finish();

 private:
  // The bytes at [APosition, APosition + ACount) have passed.
  void Passed(int64_t APosition, const void* ABuffer, int64_t ACount);
  // Hashes the stream's bytes from FHashed up to AEnd, read from the stream.
  void CatchUp(int64_t AEnd);

  TNetStream& FTarget;
  TNetDigest FDigest;
  int64_t FHashed = 0;    // bytes [0, FHashed) are in the digest
  bool FRewound = false;  // bytes were rewritten after they were hashed
};
