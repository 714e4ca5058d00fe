// Temporary folders and test files with known contents.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it by the
// destructor. Set REMESSA_KEEP_TEMP=1 in the environment to keep it for a look.
//   TempDir dir;  WriteFile(dir.File("a.txt"), "hello");
class TempDir {
public:
  explicit TempDir(const std::string& prefix = "remessa-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return FPath; }
  // Path of an entry inside the folder (the entry itself is not created).
  std::string File(const std::string& name) const { return FPath + "/" + name; }

private:
  std::string FPath;
};

// Deterministic pseudo-random bytes: the byte at offset i depends only on
// (seed, i), so any slice can be recomputed, e.g. to check a resumed download.
std::string PatternBytes(uint64_t seed, int64_t offset, size_t count);
// Writes a file of size bytes of PatternBytes(seed, 0, size); about 1 GiB/s.
void WritePatternFile(const std::string& path, int64_t size, uint64_t seed = 1);
// Offset of the first byte of the file that differs from the pattern (a file
// shorter or longer than size counts as different at its end), or -1 when equal.
int64_t FindPatternMismatch(const std::string& path, int64_t size, uint64_t seed = 1);
// A file of size bytes that takes no disk space: all zeros, except that the
// given bytes, when not empty, are written at its end (to tell it apart).
void WriteSparseFile(const std::string& path, int64_t size, std::string_view tail = {});

// Whole-file helpers; they throw std::runtime_error on failure.
void WriteFile(const std::string& path, std::string_view bytes);
std::string ReadFile(const std::string& path);
int64_t FileSize(const std::string& path);
// True when anything (a file or a folder) is there. Not "FileExists": the
// network stack has one, and tests link both.
bool PathExists(const std::string& path);
