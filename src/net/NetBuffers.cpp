#include "NetBuffers.h"

#include <algorithm>
#include <cstring>

#include "NetExceptions.h"

namespace {
// An emptied queue keeps a block up to this size instead of giving it back,
// so that a transfer does not allocate and free once per received chunk.
constexpr int64_t kKeptCapacity = 256 * 1024;
}  // namespace

std::string TNetSimpleBuffer::TakeString(int64_t Count) {
  if (Count > Size() || Count < 0) throw ENetNotEnoughDataInBuffer();
  std::string text(Memory(), static_cast<size_t>(Count));
  Discard(Count);
  return text;
}

void TNetSimpleBuffer::Discard(int64_t Count) {
  if (Count > Size() || Count < 0) throw ENetNotEnoughDataInBuffer();
  if (Count == Size()) {
    TNetMemoryStream::Clear();
  } else if (Count > 0) {
    std::memmove(FMemory, FMemory + Count, static_cast<size_t>(FSize - Count));
    FSize -= Count;
    FPosition = std::max<int64_t>(0, FPosition - Count);
  }
  if (OnConsumed) OnConsumed(this, Count);
}

// ---------------------------------------------------------------------------

int64_t TNetManagedBuffer::Seek(int64_t Offset, TSeekOrigin Origin) {
  switch (Origin) {
    case soBeginning: FPosition = FConsumedOffset + Offset; break;
    case soCurrent: FPosition += Offset; break;
    case soEnd: FPosition = FSize + Offset; break;
  }
  if (FPosition < FConsumedOffset) FPosition = FConsumedOffset;
  return FPosition - FConsumedOffset;
}

void TNetManagedBuffer::SetSize(int64_t NewSize) {
  TNetMemoryStream::SetSize(FConsumedOffset + std::max<int64_t>(0, NewSize));
  if (FPosition < FConsumedOffset) FPosition = FConsumedOffset;
}

int64_t TNetManagedBuffer::Read(void* Buffer, int64_t Count) {
  if (FPosition < FConsumedOffset) FPosition = FConsumedOffset;
  return TNetMemoryStream::Read(Buffer, Count);
}

int64_t TNetManagedBuffer::Write(const void* Buffer, int64_t Count) {
  if (FPosition < FConsumedOffset) FPosition = FConsumedOffset;
  return TNetMemoryStream::Write(Buffer, Count);
}

void TNetManagedBuffer::Discard(int64_t Count) {
  const int64_t unread = Size();
  if (Count > unread || Count < 0) throw ENetNotEnoughDataInBuffer();
  if (Count == unread) {
    Clear();
  } else {
    FConsumedOffset += Count;
    if (FPosition < FConsumedOffset) FPosition = FConsumedOffset;
    if (FConsumedOffset >= CompactThreshold) Compact();
  }
  if (OnConsumed) OnConsumed(this, Count);
}

void TNetManagedBuffer::DiscardCounted(int64_t Count) {
  const int64_t unread = Size();
  if (Count > unread || Count < 0) throw ENetNotEnoughDataInBuffer();
  if (Count == unread) {
    FSize = FPosition = FConsumedOffset = 0;
    return;
  }
  FConsumedOffset += Count;
  if (FPosition < FConsumedOffset) FPosition = FConsumedOffset;
  if (FConsumedOffset >= CompactThreshold) Compact();
}

void TNetManagedBuffer::Compact() {
  if (FConsumedOffset <= 0) return;
  const int64_t unread = FSize - FConsumedOffset;
  std::memmove(FMemory, FMemory + FConsumedOffset, static_cast<size_t>(unread));
  FPosition = std::max<int64_t>(0, FPosition - FConsumedOffset);
  FSize = unread;
  FConsumedOffset = 0;
}

void TNetManagedBuffer::Clear() {
  if (FCapacity > kKeptCapacity) {
    TNetMemoryStream::Clear();
  } else {
    FSize = FPosition = 0;
  }
  FConsumedOffset = 0;
}

char* TNetManagedBuffer::PrepareAppend(int64_t Count) {
  if (FSize + Count > FCapacity) {
    // Before growing, reuse the consumed front of the block.
    Compact();
    if (FSize + Count > FCapacity) Reserve(FSize + Count);
  }
  return FMemory + FSize;
}

void TNetManagedBuffer::CommitAppend(int64_t Count) {
  FSize += Count;
}

void TNetManagedBuffer::Append(const void* Buffer, int64_t Count) {
  if (Count <= 0) return;
  std::memcpy(PrepareAppend(Count), Buffer, static_cast<size_t>(Count));
  CommitAppend(Count);
}
