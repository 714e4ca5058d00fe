// Byte streams with 64-bit sizes and positions: the abstract stream, a
// growable memory stream and a file stream over a POSIX descriptor.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

enum TSeekOrigin : int { soBeginning, soCurrent, soEnd };

class TNetStream {
 public:
  virtual ~TNetStream() = default;

  // Reads up to Count bytes; returns how many were read (0 at the end).
  virtual int64_t Read(void* Buffer, int64_t Count) = 0;
  // Writes Count bytes and returns Count; a failure raises.
  virtual int64_t Write(const void* Buffer, int64_t Count) = 0;
  // Moves the position and returns the new one.
  virtual int64_t Seek(int64_t Offset, TSeekOrigin Origin) = 0;
  virtual int64_t Size();
  virtual void SetSize(int64_t NewSize) = 0;

  int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(int64_t Pos) { Seek(Pos, soBeginning); }

  // Read or write exactly Count bytes, raising EInOutError when that fails.
  void ReadBuffer(void* Buffer, int64_t Count);
  void WriteBuffer(const void* Buffer, int64_t Count);
};

// A stream held in one growable block of memory. The block grows
// geometrically, so appending chunk by chunk stays linear.
class TNetMemoryStream : public TNetStream {
 public:
  TNetMemoryStream() = default;
  ~TNetMemoryStream() override;
  TNetMemoryStream(const TNetMemoryStream&) = delete;
  TNetMemoryStream& operator=(const TNetMemoryStream&) = delete;

  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
  int64_t Size() override { return FSize; }
  void SetSize(int64_t NewSize) override;

  // The first byte of the stream's content.
  virtual char* Memory() { return FMemory; }
  // Empties the stream and releases its memory.
  virtual void Clear();
  // The stream's content as text.
  std::string DataString();

  int64_t Capacity() const { return FCapacity; }

 protected:
  // Makes room for at least NewCapacity bytes, keeping the content.
  void Reserve(int64_t NewCapacity);

  char* FMemory = nullptr;
  int64_t FSize = 0;
  int64_t FPosition = 0;
  int64_t FCapacity = 0;
};

// Open modes. POSIX has no sharing modes; the flags that name them are
// accepted so that callers can state their intent.
enum TNetFileMode : unsigned {
  fmOpenRead = 0x0000,
  fmOpenWrite = 0x0001,
  fmOpenReadWrite = 0x0002,
  fmShareExclusive = 0x0010,
  fmShareDenyWrite = 0x0020,
  fmShareDenyNone = 0x0040,
  fmCreate = 0xFF00,  // create, or truncate an existing file; opened for reading and writing
};

class TNetFileStream : public TNetStream {
 public:
  // Raises EFCreateError (fmCreate) or EFOpenError with the system's reason.
  TNetFileStream(const std::string& FileName, unsigned Mode);
  ~TNetFileStream() override;
  TNetFileStream(const TNetFileStream&) = delete;
  TNetFileStream& operator=(const TNetFileStream&) = delete;

  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
  int64_t Size() override;
  void SetSize(int64_t NewSize) override;

  int Handle() const { return FHandle; }
  const std::string& FileName() const { return FFileName; }

 private:
  std::string FFileName;
  int FHandle = -1;
};
