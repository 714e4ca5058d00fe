// Digests of transferred files: the local side of the checks a server can
// make of a file it holds (SHA-256, SHA-1 and MD5 through OpenSSL's EVP, and
// the CRC-32 of zip and Ethernet), and a stream that hashes the bytes
// passing through it, on a thread of its own for a file, so that the
// digests neither slow a transfer down nor cost a second read afterwards.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

// The digests of a whole stream, read once from its start, one per
// algorithm in order; the position is put back afterwards.
std::vector<std::string> HexDigestsOfStream(TNetStream& AStream, const std::vector<std::string>& AAlgorithms);

// Hashes a file on a thread of its own, so that the thread that moves the
// bytes of a transfer spends no time on digests. The thread reads the file
// with pread (from the page cache: the bytes were just written, or are being
// read by the transfer), never beyond what has been declared final, and
// sleeps while it has caught up. Only the standard library's thread.
//
// Copies of the written bytes handed to the thread, in place of reading them
// back, cost more when measured (bench/receipt): the writer then copies each
// block once more on the transfer's own thread.
class TNetFileHasher {
 public:
  // Starts the thread; bytes [0, AReady) may be hashed at once. AHandle stays
  // the caller's: it must be open for reading until Finish has returned or
  // the hasher is gone. Raises ENetException "Unknown digest algorithm %s."
  TNetFileHasher(int AHandle, const std::vector<std::string>& AAlgorithms, int64_t AReady);
  // Stops the thread without waiting for the rest of the file, and joins it.
  ~TNetFileHasher();
  TNetFileHasher(const TNetFileHasher&) = delete;
  TNetFileHasher& operator=(const TNetFileHasher&) = delete;

  // Bytes [0, AEnd) are final.
  void Ready(int64_t AEnd);
  // The file ends at ASize (at least the last Ready): waits until the thread
  // has hashed it all and returns the digests in lower-case hex, one per
  // algorithm in order. Raises what failed on the thread: EInOutError for a
  // read error or a file that ends before ASize. Call once.
  std::vector<std::string> Finish(int64_t ASize);

 private:
  void Run();

  int FHandle;
  std::vector<std::unique_ptr<TNetDigest>> FDigests;
  std::mutex FLock;
  std::condition_variable FWake;
  int64_t FReady = 0;       // guarded by FLock, as are the next two
  int64_t FWaitingAt = -1;  // where the sleeping thread has got to; -1: awake
  bool FFinal = false;      // FReady is the file's end
  std::atomic<bool> FStop = false;
  std::exception_ptr FFailure;  // written by the thread, read after the join
  std::thread FThread;
};

// Passes every call on to the stream it wraps and keeps digests (SHA-256 by
// default) of the whole stream as it ends, so that a transfer's local digest
// costs no second read of the file afterwards.
//
// Over a regular file open for reading the digests are computed by a
// TNetFileHasher: bytes already in the file when the stream is wrapped (the
// part a resumed download adds to, the source of an upload) are hashed at
// once, each written byte once its write has returned. A write that goes
// back over bytes declared final, or a file cut back below them, makes
// Finish hash the whole file again.
//
// Over any other stream the digests are fed from what is written or read. A
// write or read that starts beyond the bytes hashed so far first hashes the
// gap by reading it from the stream; one that goes back over hashed bytes
// makes Finish read the whole stream again.
class TNetHashingStream : public TNetStream {
 public:
  TNetHashingStream(TNetStream& ATarget, const std::vector<std::string>& AAlgorithms = {DigestSHA256});
  ~TNetHashingStream() override;

  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
  int64_t Size() override { return FTarget.Size(); }
  void SetSize(int64_t NewSize) override;

  // Hashes what is still missing up to the stream's size and returns the
  // first algorithm's digest in lower-case hex (Digest gives the others).
  // Raises the hashing thread's failure. Call once.
  std::string Finish();
  // After Finish: the digest of AAlgorithm, empty when it was not kept.
  std::string Digest(const std::string& AAlgorithm) const;
  // The digests run on a thread of their own.
  bool Threaded() const { return FHasher != nullptr; }

 private:
  // The bytes at [APosition, APosition + ACount) have passed.
  void Passed(int64_t APosition, const void* ABuffer, int64_t ACount);
  // Hashes the stream's bytes from FHashed up to AEnd, read from the stream.
  void CatchUp(int64_t AEnd);

  TNetStream& FTarget;
  std::vector<std::string> FAlgorithms;
  std::vector<std::unique_ptr<TNetDigest>> FDigests;  // fed here, without a hasher
  std::unique_ptr<TNetFileHasher> FHasher;
  std::vector<std::string> FResults;
  int64_t FPosition;      // the target's, kept here: no system call per write to ask it
  int64_t FHashed = 0;    // bytes [0, FHashed) are in the digests (or, threaded, final)
  bool FRewound = false;  // bytes were rewritten after they were hashed
};
