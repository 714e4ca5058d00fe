// The platform-neutral part of the socket stack: error texts, result checks,
// socket creation, IPv4 text forms and host resolution.
#include "NetStack.h"

#include <algorithm>
#include <cstring>

#include "NetExceptions.h"

namespace {

struct TErrorTextRow {
  int32_t Code;
  const char* Text;
};

// The stack's error table. The texts are what the user reads under
// "Socket Error # <code>"; 10035 keeps its trailing blank and 10066 has no
// full stop, as they always had.
constexpr TErrorTextRow ErrorTexts[] = {
    {10004, "Interrupted system call."},
    {10009, "Bad file number."},
    {10013, "Access denied."},
    {10014, "Bad address."},
    {10022, "Invalid argument."},
    {10024, "Too many open files."},
    {10035, "Operation would block. "},
    {10036, "Operation now in progress."},
    {10037, "Operation already in progress."},
    {10038, "Socket operation on non-socket."},
    {10039, "Destination address required."},
    {10040, "Message too long."},
    {10041, "Protocol wrong type for socket."},
    {10042, "Bad protocol option."},
    {10043, "Protocol not supported."},
    {10044, "Socket type not supported."},
    {10045, "Operation not supported on socket."},
    {10046, "Protocol family not supported."},
    {10047, "Address family not supported by protocol family."},
    {10048, "Address already in use."},
    {10049, "Cannot assign requested address."},
    {10050, "Network is down."},
    {10051, "Network is unreachable."},
    {10052, "Net dropped connection or reset."},
    {10053, "Software caused connection abort."},
    {10054, "Connection reset by peer."},
    {10055, "No buffer space available."},
    {10056, "Socket is already connected."},
    {10057, "Socket is not connected."},
    {10058, "Cannot send or receive after socket is closed."},
    {10059, "Too many references, cannot splice."},
    {10060, "Connection timed out."},
    {10061, "Connection refused."},
    {10062, "Too many levels of symbolic links."},
    {10063, "File name too long."},
    {10064, "Host is down."},
    {10065, "No route to host."},
    {10066, "Directory not empty"},
};

// One part of an address text, read with the standard integer conversion
// (blanks, sign, "$"/"x"/"0x" hexadecimal); a part that does not convert
// counts as -1 and so fails every range check.
int64_t PartValue(const std::string& Part) {
  int64_t value = 0;
  return TryStrToInt64(Part, value) ? value : -1;
}

bool InRange(int64_t Value, int64_t Max) { return Value >= 0 && Value <= Max; }

}  // namespace

std::string SocketErrorMessage(int32_t ErrorCode, const char* Text) {
  return "Socket Error # " + std::to_string(ErrorCode) + "\r\n" + (Text ? Text : "");
}

std::string NetTableErrorText(int32_t ErrorCode) {
  const auto* row = std::find_if(std::begin(ErrorTexts), std::end(ErrorTexts),
                                 [ErrorCode](const TErrorTextRow& r) { return r.Code == ErrorCode; });
  return SocketErrorMessage(ErrorCode, row == std::end(ErrorTexts) ? nullptr : row->Text);
}

std::string TNetStack::SockErrorText(int32_t ErrorCode) { return NetTableErrorText(ErrorCode); }

bool TNetStack::CheckSocketResult(int32_t Result, std::initializer_list<int32_t> Ignore) {
  if (Result != SocketError) return false;
  const int32_t code = SockLastError();
  LastSocketError.store(code);
  if (std::find(Ignore.begin(), Ignore.end(), code) != Ignore.end()) return true;
  RaiseSocketFailure(code);
}

void TNetStack::RaiseSocketFailure(int32_t ErrorCode) { throw ENetSocketError(ErrorCode, SockErrorText(ErrorCode)); }

TNetSocket TNetStack::NewSocket(int32_t SocketType, int32_t Protocol) {
  return NewSocket(Id_PF_INET4, SocketType, Protocol);
}

TNetSocket TNetStack::NewSocket(int32_t Family, int32_t SocketType, int32_t Protocol) {
  // The platform's reason is not read: the failure has one message of its own.
  const TNetSocket s = SockCreate(Family, SocketType, Protocol);
  if (s == InvalidSocket) throw ENetInvalidSocket();
  return s;
}

std::string TNetStack::ResolveHostName(const std::string& Host) {
  if (SameText(Host, "LOCALHOST")) return "127.0.0.1";
  // A short form (10.1, a single number) stays as it is and becomes four
  // bytes only when it is used.
  if (IsIPAddress(Host)) return Host;
  return SockHostByName(Host);
}

bool TNetStack::IsIPAddress(const std::string& Text) { return IPKind(Text) != ipInvalid; }

bool TNetStack::IsIPv6Address(const std::string& Text) { return ParseIPv6(Text, nullptr); }

int32_t TNetStack::AddressFamily(const std::string& IP) {
  return IP.find(':') != std::string::npos ? Id_PF_INET6 : Id_PF_INET4;
}

std::string TNetStack::UnbracketHost(const std::string& Host) {
  if (Host.size() >= 2 && Host.front() == '[' && Host.back() == ']') return Host.substr(1, Host.size() - 2);
  return Host;
}

TStringList TNetStack::ResolveHostAddresses(const std::string& Host) {
  const std::string host = UnbracketHost(Host);
  if (SameText(host, "LOCALHOST") || IsIPAddress(host)) return {ResolveHostName(host)};
  if (IsIPv6Address(host)) return {host};
  return SockHostAddresses(host);
}

// Both sides become sixteen bytes, an IPv4 address in its mapped form
// (::ffff:a.b.c.d), so that the two spellings of one address compare equal.
bool TNetStack::SameAddress(const std::string& A, const std::string& B) {
  auto bytesOf = [this](const std::string& Text, TNetIPv6Bytes& Bytes) {
    const std::string text = UnbracketHost(Text);
    if (ParseIPv6(text, &Bytes)) return true;
    TNetIPv4Bytes v4{};
    if (!ParseIPv4(text, &v4, nullptr, nullptr)) return false;
    Bytes.fill(0);
    Bytes[10] = 0xFF;
    Bytes[11] = 0xFF;
    std::copy(v4.begin(), v4.end(), Bytes.begin() + 12);
    return true;
  };
  TNetIPv6Bytes a{}, b{};
  if (!bytesOf(A, a) || !bytesOf(B, b)) return A == B;
  return a == b;
}

IPTextKind TNetStack::IPKind(const std::string& Text) {
  IPTextKind kind = ipInvalid;
  ParseIPv4(Text, nullptr, &kind, nullptr);
  return kind;
}

// The text is cut at "." three times from the left into parts 1 to 3 and a
// remainder (which may still hold dots). The first empty piece decides the
// form:
//   n          one number, the whole 32-bit address (kind numeric)
//   a.n        a, then the three low bytes of n (class A)
//   a.b.n      a, b, then the two bytes of n (class B)
//   a.b.c.d    four bytes; the class follows from the first one
// A trailing dot is accepted ("1.2.3." is 1.2.0.3), but an empty piece
// followed by a non-empty one ("1..3") is not an address: nothing may be
// silently dropped from the text.
bool TNetStack::ParseIPv4(const std::string& Text, TNetIPv4Bytes* Bytes, IPTextKind* Kind, IPAddressClass* Class) {
  std::string rest = Text;
  std::string parts[4];
  parts[0] = CutToken(rest, ".");
  parts[1] = CutToken(rest, ".");
  parts[2] = CutToken(rest, ".");
  parts[3] = rest;

  int used = 4;
  for (int i = 1; i < 4; ++i) {
    if (parts[i].empty()) {
      used = i;
      break;
    }
  }
  bool valid = true;
  for (int i = used; i < 4; ++i) valid = valid && parts[i].empty();

  int64_t v[4] = {-1, -1, -1, -1};
  for (int i = 0; i < used; ++i) v[i] = PartValue(parts[i]);

  uint32_t address = 0;  // host order while it is assembled
  IPTextKind kind = ipDotted;
  IPAddressClass cls = ipClassUnknown;
  if (valid) {
    switch (used) {
      case 1:
        valid = InRange(v[0], 0xFFFFFFFFLL);
        address = static_cast<uint32_t>(v[0]);
        kind = ipNumeric;
        break;
      case 2:
        valid = InRange(v[0], 255) && InRange(v[1], 0xFFFFFF);
        address = static_cast<uint32_t>(v[0] << 24 | v[1]);
        cls = ipClassA;
        break;
      case 3:
        valid = InRange(v[0], 255) && InRange(v[1], 255) && InRange(v[2], 0xFFFF);
        address = static_cast<uint32_t>(v[0] << 24 | v[1] << 16 | v[2]);
        cls = ipClassB;
        break;
      default:
        valid = InRange(v[0], 255) && InRange(v[1], 255) && InRange(v[2], 255) && InRange(v[3], 255);
        address = static_cast<uint32_t>(v[0] << 24 | v[1] << 16 | v[2] << 8 | v[3]);
        if (v[0] < 128)
          cls = ipClassA;
        else if (v[0] < 192)
          cls = ipClassB;
        else if (v[0] < 224)
          cls = ipClassC;
        else if (v[0] < 240)
          cls = ipClassD;
        else
          cls = ipClassE;
        break;
    }
  }

  if (!valid) {
    if (Kind) *Kind = ipInvalid;
    if (Class) *Class = ipClassUnknown;
    return false;  // the bytes are left as they were
  }
  if (Bytes) {
    (*Bytes)[0] = static_cast<uint8_t>(address >> 24);
    (*Bytes)[1] = static_cast<uint8_t>(address >> 16);
    (*Bytes)[2] = static_cast<uint8_t>(address >> 8);
    (*Bytes)[3] = static_cast<uint8_t>(address);
  }
  if (Kind) *Kind = kind;
  if (Class) *Class = cls;
  return true;
}

uint32_t TNetStack::TextToAddr(const std::string& IP) {
  TNetIPv4Bytes bytes{};
  TextToAddrBytes(IP, bytes);
  uint32_t value;
  std::memcpy(&value, bytes.data(), sizeof value);  // keeps network order in memory
  return value;
}
