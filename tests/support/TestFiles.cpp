#include "TestFiles.h"

#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

static_assert(std::endian::native == std::endian::little, "the pattern's fast path assumes little-endian words");

[[noreturn]] void ThrowFileError(const std::string& what, const std::string& path) {
  throw std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

// splitmix64 of the word index: cheap, and every 8-byte word is independent.
inline uint64_t PatternWord(uint64_t seed, uint64_t index) {
  uint64_t z = seed * 0x9e3779b97f4a7c15ULL + index * 0xbf58476d1ce4e5b9ULL + 0x632be59bd9b4e019ULL;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// Fills buffer with the pattern starting at offset.
void FillPattern(uint64_t seed, int64_t offset, char* buffer, size_t count) {
  size_t done = 0;
  uint64_t index = static_cast<uint64_t>(offset) / 8;
  size_t skip = static_cast<size_t>(offset % 8);
  while (done < count) {
    uint64_t word = PatternWord(seed, index++);
    if (skip == 0 && count - done >= 8) {
      std::memcpy(buffer + done, &word, 8);
      done += 8;
      continue;
    }
    for (size_t b = skip; b < 8 && done < count; ++b)
      buffer[done++] = static_cast<char>(word >> (8 * b));
    skip = 0;
  }
}

class FileHandle {
public:
  FileHandle(const std::string& path, int flags) : FPath(path), FFd(::open(path.c_str(), flags | O_CLOEXEC, 0644)) {
    if (FFd < 0)
      ThrowFileError("cannot open", path);
  }
  ~FileHandle() {
    if (FFd >= 0)
      ::close(FFd);
  }
  void WriteAll(const char* data, size_t size) {
    while (size > 0) {
      ssize_t n = ::write(FFd, data, size);
      if (n < 0) {
        if (errno == EINTR)
          continue;
        ThrowFileError("cannot write", FPath);
      }
      data += n;
      size -= static_cast<size_t>(n);
    }
  }
  // Reads up to size bytes, fewer only at the end of the file.
  size_t ReadFull(char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
      ssize_t n = ::read(FFd, data + done, size - done);
      if (n < 0) {
        if (errno == EINTR)
          continue;
        ThrowFileError("cannot read", FPath);
      }
      if (n == 0)
        break;
      done += static_cast<size_t>(n);
    }
    return done;
  }
  void Close() {
    int fd = FFd;
    FFd = -1;
    if (::close(fd) != 0)
      ThrowFileError("cannot close", FPath);
  }
  int Fd() const { return FFd; }

private:
  std::string FPath;
  int FFd;
};

constexpr size_t ChunkSize = 1 << 20;

}  // namespace

TempDir::TempDir(const std::string& prefix) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (!::mkdtemp(name.data()))
    ThrowFileError("cannot create temporary folder", pattern);
  FPath = name.data();
  // Servers that drop their privileges must be able to walk through it.
  ::chmod(FPath.c_str(), 0755);
}

TempDir::~TempDir() {
  const char* keep = std::getenv("REMESSA_KEEP_TEMP");
  if (keep && *keep && std::string(keep) != "0")
    return;
  std::error_code ignored;
  std::filesystem::remove_all(FPath, ignored);
}

std::string PatternBytes(uint64_t seed, int64_t offset, size_t count) {
  std::string bytes(count, '\0');
  FillPattern(seed, offset, bytes.data(), count);
  return bytes;
}

void WritePatternFile(const std::string& path, int64_t size, uint64_t seed) {
  FileHandle file(path, O_WRONLY | O_CREAT | O_TRUNC);
  std::vector<char> buffer(ChunkSize);
  for (int64_t offset = 0; offset < size;) {
    size_t count = static_cast<size_t>(std::min<int64_t>(size - offset, ChunkSize));
    FillPattern(seed, offset, buffer.data(), count);
    file.WriteAll(buffer.data(), count);
    offset += static_cast<int64_t>(count);
  }
  file.Close();
}

int64_t FindPatternMismatch(const std::string& path, int64_t size, uint64_t seed) {
  FileHandle file(path, O_RDONLY);
  std::vector<char> expected(ChunkSize), actual(ChunkSize);
  int64_t offset = 0;
  for (;;) {
    size_t got = file.ReadFull(actual.data(), ChunkSize);
    size_t want = static_cast<size_t>(std::min<int64_t>(size - offset, ChunkSize));
    FillPattern(seed, offset, expected.data(), want);
    size_t same = std::min(got, want);
    if (std::memcmp(expected.data(), actual.data(), same) != 0) {
      size_t i = 0;
      while (expected[i] == actual[i])
        ++i;
      return offset + static_cast<int64_t>(i);
    }
    if (got != want)
      return offset + static_cast<int64_t>(same);
    offset += static_cast<int64_t>(got);
    if (got < ChunkSize)
      return -1;
  }
}

void WriteSparseFile(const std::string& path, int64_t size, std::string_view tail) {
  if (static_cast<int64_t>(tail.size()) > size)
    throw std::runtime_error("sparse file tail longer than the file");
  FileHandle file(path, O_WRONLY | O_CREAT | O_TRUNC);
  if (::ftruncate(file.Fd(), size) != 0)
    ThrowFileError("cannot size", path);
  if (!tail.empty()) {
    if (::lseek(file.Fd(), size - static_cast<int64_t>(tail.size()), SEEK_SET) < 0)
      ThrowFileError("cannot seek in", path);
    file.WriteAll(tail.data(), tail.size());
  }
  file.Close();
}

void WriteFile(const std::string& path, std::string_view bytes) {
  FileHandle file(path, O_WRONLY | O_CREAT | O_TRUNC);
  file.WriteAll(bytes.data(), bytes.size());
  file.Close();
}

std::string ReadFile(const std::string& path) {
  FileHandle file(path, O_RDONLY);
  std::string bytes;
  std::vector<char> buffer(ChunkSize);
  for (;;) {
    size_t got = file.ReadFull(buffer.data(), buffer.size());
    bytes.append(buffer.data(), got);
    if (got < buffer.size())
      return bytes;
  }
}

int64_t FileSize(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0)
    ThrowFileError("cannot stat", path);
  return st.st_size;
}

bool PathExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}
