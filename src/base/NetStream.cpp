#include "NetStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "NetExceptions.h"

int64_t TNetStream::Size() {
  const int64_t pos = Seek(0, soCurrent);
  const int64_t end = Seek(0, soEnd);
  Seek(pos, soBeginning);
  return end;
}

void TNetStream::ReadBuffer(void* Buffer, int64_t Count) {
  char* p = static_cast<char*>(Buffer);
  while (Count > 0) {
    int64_t n = Read(p, Count);
    if (n <= 0) throw EInOutError("Stream read error");
    p += n;
    Count -= n;
  }
}

void TNetStream::WriteBuffer(const void* Buffer, int64_t Count) {
  if (Count > 0 && Write(Buffer, Count) != Count) throw EInOutError("Stream write error");
}

// ---------------------------------------------------------------------------

TNetMemoryStream::~TNetMemoryStream() { std::free(FMemory); }

void TNetMemoryStream::Reserve(int64_t NewCapacity) {
  if (NewCapacity <= FCapacity) return;
  // Grow by half again at least, in whole 8 KiB steps.
  int64_t target = std::max(NewCapacity, FCapacity + FCapacity / 2);
  target = (target + 8191) & ~static_cast<int64_t>(8191);
  void* p = std::realloc(FMemory, static_cast<size_t>(target));
  if (!p) throw std::bad_alloc();
  FMemory = static_cast<char*>(p);
  FCapacity = target;
}

int64_t TNetMemoryStream::Read(void* Buffer, int64_t Count) {
  if (Count <= 0 || FPosition >= FSize) return 0;
  const int64_t n = std::min(Count, FSize - FPosition);
  std::memcpy(Buffer, FMemory + FPosition, static_cast<size_t>(n));
  FPosition += n;
  return n;
}

int64_t TNetMemoryStream::Write(const void* Buffer, int64_t Count) {
  if (Count <= 0) return 0;
  const int64_t end = FPosition + Count;
  if (end > FCapacity) Reserve(end);
  std::memcpy(FMemory + FPosition, Buffer, static_cast<size_t>(Count));
  FPosition = end;
  if (end > FSize) FSize = end;
  return Count;
}

int64_t TNetMemoryStream::Seek(int64_t Offset, TSeekOrigin Origin) {
  switch (Origin) {
    case soBeginning: FPosition = Offset; break;
    case soCurrent: FPosition += Offset; break;
    case soEnd: FPosition = FSize + Offset; break;
  }
  if (FPosition < 0) FPosition = 0;
  return FPosition;
}

void TNetMemoryStream::SetSize(int64_t NewSize) {
  if (NewSize < 0) NewSize = 0;
  if (NewSize > FCapacity) Reserve(NewSize);
  FSize = NewSize;
  if (FPosition > FSize) FPosition = FSize;
}

void TNetMemoryStream::Clear() {
  std::free(FMemory);
  FMemory = nullptr;
  FSize = FPosition = FCapacity = 0;
}

std::string TNetMemoryStream::DataString() { return std::string(Memory(), static_cast<size_t>(Size())); }

// ---------------------------------------------------------------------------

TNetFileStream::TNetFileStream(const std::string& FileName, unsigned Mode) : FFileName(FileName) {
  if (Mode == fmCreate || (Mode & 0xFF00) == fmCreate) {
    FHandle = ::open(FileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (FHandle < 0) throw EFCreateError(FileName, std::strerror(errno));
    return;
  }
  int flags = O_CLOEXEC;
  switch (Mode & 0x3) {
    case fmOpenWrite: flags |= O_WRONLY; break;
    case fmOpenReadWrite: flags |= O_RDWR; break;
    default: flags |= O_RDONLY; break;
  }
  FHandle = ::open(FileName.c_str(), flags);
  if (FHandle < 0) throw EFOpenError(FileName, std::strerror(errno));
  struct stat st;
  if (::fstat(FHandle, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(FHandle);
    FHandle = -1;
    throw EFOpenError(FileName, std::strerror(EISDIR));
  }
}

TNetFileStream::~TNetFileStream() {
  if (FHandle >= 0) ::close(FHandle);
}

int64_t TNetFileStream::Read(void* Buffer, int64_t Count) {
  if (Count <= 0) return 0;
  for (;;) {
    ssize_t n = ::read(FHandle, Buffer, static_cast<size_t>(Count));
    if (n >= 0) return n;
    if (errno != EINTR) throw EInOutError(FFileName + ": " + std::strerror(errno));
  }
}

int64_t TNetFileStream::Write(const void* Buffer, int64_t Count) {
  const char* p = static_cast<const char*>(Buffer);
  int64_t left = Count;
  while (left > 0) {
    ssize_t n = ::write(FHandle, p, static_cast<size_t>(left));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EInOutError(FFileName + ": " + std::strerror(errno));
    }
    p += n;
    left -= n;
  }
  return Count;
}

int64_t TNetFileStream::Seek(int64_t Offset, TSeekOrigin Origin) {
  int whence = Origin == soBeginning ? SEEK_SET : Origin == soCurrent ? SEEK_CUR : SEEK_END;
  off_t pos = ::lseek(FHandle, static_cast<off_t>(Offset), whence);
  if (pos < 0) throw EInOutError(FFileName + ": " + std::strerror(errno));
  return pos;
}

int64_t TNetFileStream::Size() {
  struct stat st;
  if (::fstat(FHandle, &st) != 0) throw EInOutError(FFileName + ": " + std::strerror(errno));
  return st.st_size;
}

void TNetFileStream::SetSize(int64_t NewSize) {
  if (::ftruncate(FHandle, static_cast<off_t>(NewSize)) != 0)
    throw EInOutError(FFileName + ": " + std::strerror(errno));
}
