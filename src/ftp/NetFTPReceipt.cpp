#include "NetFTPReceipt.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "NetExceptions.h"
#include "NetFTPDigest.h"
#include "NetScope.h"
#include "NetStream.h"
#include "NetText.h"

namespace {

// The length of the valid UTF-8 sequence at ABytes[i], 0 when none starts
// there (stray continuation bytes, overlong forms, surrogates, beyond
// U+10FFFF, cut-off sequences).
size_t Utf8SequenceAt(std::string_view ABytes, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(ABytes[k]); };
  const unsigned char lead = byte(i);
  size_t length;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > ABytes.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (size_t k = 2; k < length; ++k)
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  return length;
}

std::string Escape4(unsigned AValue) {
  char text[8];
  std::snprintf(text, sizeof text, "\\u%04x", AValue);
  return text;
}

std::string TextOrNull(const std::string& AText) { return AText.empty() ? "null" : JSONString(AText); }
std::string NumberOrNull(int64_t AValue) { return AValue < 0 ? "null" : std::to_string(AValue); }

}  // namespace

std::string JSONString(std::string_view ABytes) {
  std::string out = "\"";
  out.reserve(ABytes.size() + 2);
  for (size_t i = 0; i < ABytes.size();) {
    const auto c = static_cast<unsigned char>(ABytes[i]);
    if (c >= 0x80) {
      if (const size_t n = Utf8SequenceAt(ABytes, i)) {
        out.append(ABytes.substr(i, n));
        i += n;
      } else {
        out += Escape4(0xDC00 + c);  // a byte that is no UTF-8
        ++i;
      }
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) out += Escape4(c);
        else out += static_cast<char>(c);
    }
    ++i;
  }
  return out + "\"";
}

std::string ReceiptLine(const TNetFTPReceipt& AReceipt) {
  std::string line = "{\"time\": " + JSONString(AReceipt.Time);
  line += ", \"direction\": ";
  line += AReceipt.Download ? "\"download\"" : "\"upload\"";
  line += ", \"company\": " + (AReceipt.Company ? JSONString(*AReceipt.Company) : std::string("null"));
  line += ", \"server\": " + JSONString(AReceipt.Server);
  line += ", \"remote_path\": " + JSONString(AReceipt.RemotePath);
  line += ", \"local_path\": " + JSONString(AReceipt.LocalPath);
  line += ", \"bytes\": " + NumberOrNull(AReceipt.Bytes);
  line += ", \"sha256\": " + TextOrNull(AReceipt.Sha256);
  line += ", \"remote_size\": " + NumberOrNull(AReceipt.RemoteSize);
  line += ", \"remote_mtime\": " + TextOrNull(AReceipt.RemoteModified);
  line += ", \"server_digest\": ";
  if (AReceipt.ServerDigest) {
    line += "{\"algorithm\": " + JSONString(AReceipt.ServerDigest->Algorithm) +
            ", \"command\": " + JSONString(AReceipt.ServerDigest->Command) +
            ", \"value\": " + JSONString(AReceipt.ServerDigest->Value) + "}";
  } else {
    line += "null";
  }
  line += ", \"result\": ";
  line += AReceipt.Ok ? "\"ok\"" : "\"failed\"";
  line += ", \"error\": " + (AReceipt.Ok ? std::string("null") : JSONString(AReceipt.Error));
  return line + "}";
}

std::string ServerOfReceipt(const std::string& AHost, int32_t APort) {
  const bool ipv6 = AHost.find(':') != std::string::npos && AHost.front() != '[';
  return (ipv6 ? "[" + AHost + "]" : AHost) + ":" + std::to_string(APort);
}

std::string UtcTimeText() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

void FinishReceipt(TNetFTPReceipt& AReceipt, const std::string& AError) {
  if (AReceipt.Time.empty()) AReceipt.Time = UtcTimeText();
  if (!AReceipt.Ok && AReceipt.Error.empty()) AReceipt.Error = AError.empty() ? "Transfer not completed." : AError;
  if (!AReceipt.Sha256.empty() || AReceipt.LocalPath.empty() || !FileExists(AReceipt.LocalPath)) return;
  TNetFileStream file(AReceipt.LocalPath, fmOpenRead | fmShareDenyNone);
  AReceipt.Bytes = file.Size();
  AReceipt.Sha256 = HexDigestOfStream(file, DigestSHA256);
}

void AppendReceipt(const std::string& AFileName, const TNetFTPReceipt& AReceipt) {
  const std::string line = ReceiptLine(AReceipt) + "\n";
  const int fd = ::open(AFileName.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) throw EFOpenError(AFileName, std::strerror(errno));
  TNetScopeExit close([fd] { ::close(fd); });
  // One write of the whole line: lines of receipts written at the same
  // time by several programs do not interleave.
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw EInOutError(AFileName + ": " + std::strerror(errno));
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) throw EInOutError(AFileName + ": " + std::strerror(errno));
}
