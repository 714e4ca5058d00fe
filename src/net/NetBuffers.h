// The byte buffers of a connection: a simple buffer that consumes from the
// front, and the connection's input queue, which consumes from the front
// without moving memory each time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "NetStream.h"

class TNetSimpleBuffer : public TNetMemoryStream {
 public:
  using TConsumedEvent = std::function<void(TNetSimpleBuffer* ASender, int64_t ACount)>;

  explicit TNetSimpleBuffer(TConsumedEvent AOnConsumed = nullptr) : OnConsumed(std::move(AOnConsumed)) {}

  // Fired after bytes were removed from the front.
  TConsumedEvent OnConsumed;

  // The first Count bytes as text, then Discard(Count). Raises
  // ENetNotEnoughDataInBuffer when fewer bytes are held.
  virtual std::string TakeString(int64_t Count);
  // Removes Count bytes from the front (all of them releases the memory).
  // Raises ENetNotEnoughDataInBuffer when fewer bytes are held.
  virtual void Discard(int64_t Count);
};

// The input queue. Bytes are appended at the end and consumed from the front
// by advancing ConsumedOffset; memory moves only when CompactThreshold bytes
// have been consumed (or when the queue empties). Through the stream
// interface the buffer shows only the unread bytes.
class TNetManagedBuffer : public TNetSimpleBuffer {
 public:
  using TNetSimpleBuffer::TNetSimpleBuffer;

  int64_t CompactThreshold = 32768;
  int64_t ConsumedOffset() const { return FConsumedOffset; }

  char* Memory() override { return FMemory + FConsumedOffset; }
  int64_t Size() override { return FSize - FConsumedOffset; }
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
  void SetSize(int64_t NewSize) override;
  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;

  void Discard(int64_t Count) override;
  // Removes Count bytes from the front like Discard, without the consume
  // notification (bytes whose work was counted as they arrived); an emptied
  // queue keeps its block for the next receive.
  void DiscardCounted(int64_t Count);
  // Moves the unread bytes to the start of the block.
  void Compact();
  // Empties the queue without a consume notification.
  void Clear() override;

  // Appending straight into the queue: PrepareAppend returns room for at
  // least Count more bytes at the end, CommitAppend makes Count of them part of
  // the queue. This lets a receive land in place, without a scratch copy.
  char* PrepareAppend(int64_t Count);
  void CommitAppend(int64_t Count);
  void Append(const void* Buffer, int64_t Count);

 private:
  int64_t FConsumedOffset = 0;
};
