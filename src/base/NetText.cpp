#include "NetText.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "NetExceptions.h"

namespace {

char UpperChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
char LowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = UpperChar(c);
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string CutToken(std::string& Text, std::string_view Delim) {
  size_t at = Delim.empty() ? std::string::npos : Text.find(Delim);
  if (at == std::string::npos) {
    std::string token;
    token.swap(Text);
    return token;
  }
  std::string token = Text.substr(0, at);
  Text.erase(0, at + Delim.size());
  return token;
}

int64_t ReversePos(std::string_view Sub, std::string_view Text, int64_t Start) {
  const int64_t subLen = static_cast<int64_t>(Sub.size());
  const int64_t textLen = static_cast<int64_t>(Text.size());
  if (subLen == 0 || subLen > textLen) return 0;
  const int64_t last = textLen - subLen + 1;
  if (Start < 0 || Start > last) Start = last;
  for (int64_t pos = Start; pos >= 1; --pos) {
    bool match = true;
    for (int64_t k = 0; k < subLen; ++k) {
      if (UpperChar(Text[pos - 1 + k]) != UpperChar(Sub[k])) {
        match = false;
        break;
      }
    }
    if (match) return pos;
  }
  return 0;
}

int64_t FindInBuffer(std::string_view Sub, const char* Buffer, int64_t Size) {
  if (Sub.empty() || Buffer == nullptr || static_cast<int64_t>(Sub.size()) > Size) return 0;
  std::string_view hay(Buffer, static_cast<size_t>(Size));
  size_t at = hay.find(Sub);
  return at == std::string_view::npos ? 0 : static_cast<int64_t>(at) + 1;
}

int IndexOfText(std::string_view Text, const TStringList& List, bool CaseSensitive) {
  for (size_t i = 0; i < List.size(); ++i) {
    if (CaseSensitive ? List[i] == Text : SameText(List[i], Text)) return static_cast<int>(i);
  }
  return -1;
}

int MonthNumber(std::string_view Text) {
  static const char* const kMonths[12] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                          "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
  const std::string upper = UpperCase(Text);
  for (int i = 0; i < 12; ++i)
    if (upper == kMonths[i]) return i + 1;
  return 0;
}

std::string Trim(std::string_view Text) {
  size_t b = 0, e = Text.size();
  while (b < e && IsBlank(Text[b])) ++b;
  while (e > b && IsBlank(Text[e - 1])) --e;
  return std::string(Text.substr(b, e - b));
}

std::string TrimLeft(std::string_view Text) {
  size_t b = 0;
  while (b < Text.size() && IsBlank(Text[b])) ++b;
  return std::string(Text.substr(b));
}

std::string TrimRight(std::string_view Text) {
  size_t e = Text.size();
  while (e > 0 && IsBlank(Text[e - 1])) --e;
  return std::string(Text.substr(0, e));
}

std::string UpperCase(std::string_view Text) {
  std::string out(Text);
  for (char& c : out) c = UpperChar(c);
  return out;
}

std::string LowerCase(std::string_view Text) {
  std::string out(Text);
  for (char& c : out) c = LowerChar(c);
  return out;
}

bool SameText(std::string_view A, std::string_view B) {
  if (A.size() != B.size()) return false;
  for (size_t i = 0; i < A.size(); ++i)
    if (UpperChar(A[i]) != UpperChar(B[i])) return false;
  return true;
}

bool StartsText(std::string_view Prefix, std::string_view Text) {
  return Text.size() >= Prefix.size() && SameText(Text.substr(0, Prefix.size()), Prefix);
}

std::string ReplaceAll(std::string_view Text, std::string_view From, std::string_view To) {
  if (From.empty()) return std::string(Text);
  std::string out;
  out.reserve(Text.size());
  size_t pos = 0;
  for (;;) {
    size_t at = Text.find(From, pos);
    if (at == std::string_view::npos) break;
    out.append(Text.substr(pos, at - pos));
    out.append(To);
    pos = at + From.size();
  }
  out.append(Text.substr(pos));
  return out;
}

bool TryStrToInt64(std::string_view Text, int64_t& Value) {
  size_t i = 0;
  while (i < Text.size() && Text[i] == ' ') ++i;
  bool negative = false;
  if (i < Text.size() && (Text[i] == '+' || Text[i] == '-')) {
    negative = Text[i] == '-';
    ++i;
  }
  bool hex = false;
  if (i < Text.size() && Text[i] == '$') {
    hex = true;
    ++i;
  } else if (i < Text.size() && (Text[i] == 'x' || Text[i] == 'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < Text.size() && Text[i] == '0' && (Text[i + 1] == 'x' || Text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= Text.size()) return false;
  // Accumulate as an unsigned magnitude; hexadecimal may use the full 64 bits
  // (so $FFFFFFFFFFFFFFFF reads as -1), decimal must fit the signed range.
  uint64_t magnitude = 0;
  const uint64_t base = hex ? 16 : 10;
  for (; i < Text.size(); ++i) {
    int digit = hex ? HexValue(Text[i]) : (IsDigitChar(Text[i]) ? Text[i] - '0' : -1);
    if (digit < 0) return false;
    if (magnitude > (std::numeric_limits<uint64_t>::max() - static_cast<uint64_t>(digit)) / base) return false;
    magnitude = magnitude * base + static_cast<uint64_t>(digit);
  }
  if (hex) {
    int64_t v = static_cast<int64_t>(magnitude);
    Value = negative ? static_cast<int64_t>(0 - magnitude) : v;
    return true;
  }
  const uint64_t limit = negative ? static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1
                                  : static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (magnitude > limit) return false;
  Value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

bool TryStrToInt(std::string_view Text, int32_t& Value) {
  int64_t v = 0;
  if (!TryStrToInt64(Text, v)) return false;
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) {
    // Hexadecimal texts of eight digits wrap into the signed range ($FFFFFFFF is -1).
    if (v > std::numeric_limits<int32_t>::max() && v <= 0xFFFFFFFFLL && Text.find_first_of("$xX") != std::string_view::npos) {
      Value = static_cast<int32_t>(static_cast<uint32_t>(v));
      return true;
    }
    return false;
  }
  Value = static_cast<int32_t>(v);
  return true;
}

int64_t StrToInt64Def(std::string_view Text, int64_t Default) {
  int64_t v;
  return TryStrToInt64(Text, v) ? v : Default;
}

int32_t StrToIntDef(std::string_view Text, int32_t Default) {
  int32_t v;
  return TryStrToInt(Text, v) ? v : Default;
}

int32_t StrToInt(std::string_view Text) {
  int32_t v;
  if (!TryStrToInt(Text, v))
    throw EConvertError(FormatMessage("'%s' is not a valid integer value", {std::string(Text)}));
  return v;
}

int64_t StrToInt64(std::string_view Text) {
  int64_t v;
  if (!TryStrToInt64(Text, v))
    throw EConvertError(FormatMessage("'%s' is not a valid integer value", {std::string(Text)}));
  return v;
}

TStringList SplitLines(std::string_view Text) {
  TStringList lines;
  size_t start = 0;
  for (size_t i = 0; i < Text.size(); ++i) {
    char c = Text[i];
    if (c == '\r' || c == '\n') {
      lines.emplace_back(Text.substr(start, i - start));
      if (c == '\r' && i + 1 < Text.size() && Text[i + 1] == '\n') ++i;
      start = i + 1;
    }
  }
  if (start < Text.size()) lines.emplace_back(Text.substr(start));
  return lines;
}

bool FileExists(const std::string& FileName) {
  struct stat st;
  return !FileName.empty() && ::stat(FileName.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

int64_t FileSizeOf(const std::string& FileName) {
  int fd = ::open(FileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw EFOpenError(FileName, std::strerror(errno));
  struct stat st;
  int rc = ::fstat(fd, &st);
  int err = errno;
  ::close(fd);
  if (rc != 0) throw EFOpenError(FileName, std::strerror(err));
  return static_cast<int64_t>(st.st_size);
}

namespace {

// Asked on every wait and send, so both ids are cached: the process id once
// (again in a forked child), the thread id once per thread.
pid_t GMainThreadId = ::getpid();
thread_local pid_t TThreadId = 0;

struct ForkWatch {
  ForkWatch() {
    ::pthread_atfork(nullptr, nullptr, [] {
      GMainThreadId = ::getpid();
      TThreadId = 0;
    });
  }
} GForkWatch;

}  // namespace

bool OnMainThread() {
  // On Linux the main thread's id is the process id.
  if (TThreadId == 0) TThreadId = static_cast<pid_t>(::syscall(SYS_gettid));
  return TThreadId == GMainThreadId;
}
