// SOCKS 4 / 4A (the de-facto SOCKS 4 protocol and its 4A extension) and
// SOCKS 5 (RFC 1928) with user name and password authentication (RFC 1929).
#include "NetSocksInfo.h"

#include <cstring>

#include "NetExceptions.h"
#include "NetIOHandler.h"
#include "NetScope.h"
#include "NetStack.h"

namespace {

// A name, password or host travels behind a one-byte length (SOCKS 5) or is
// cut off by the proxy (SOCKS 4): refuse what does not fit instead of
// sending something else than asked for.
void CheckFieldLength(const std::string& Value, const char* What) {
  if (Value.size() > 255)
    throw ENetSocksError(FormatMessage("The SOCKS %s is longer than 255 bytes.", {What}));
}

// SOCKS 4 ends its user id and the 4A host name with a zero byte; one inside
// the value would end the field early and pass the rest off as the next field
// (a user id "a\0evil.example" would name the host).
void CheckZeroTerminatedField(const std::string& Value, const char* What) {
  CheckFieldLength(Value, What);
  if (Value.find('\0') != std::string::npos)
    throw ENetSocksError(FormatMessage("The SOCKS %s must not contain a zero byte.", {What}));
}

}  // namespace

TNetSocksInfo::TNetSocksInfo(TNetBaseComponent* AOwner) : TNetComponent(AOwner) {}

// The base destructor tells the handler, which then forgets these settings.
TNetSocksInfo::~TNetSocksInfo() = default;

// The handler may refer to this object too (as the settings it uses), and
// both references share one free-notification link. The link therefore stays
// until one of the two is destroyed; each side's Notification checks which of
// its references is gone.
void TNetSocksInfo::SetIOHandler(TNetIOHandler* AValue) {
  FIOHandler = AValue;
  if (FIOHandler) FIOHandler->FreeNotification(this);
}

void TNetSocksInfo::Notification(TNetBaseComponent* AComponent, TNetOperation AOperation) {
  if (AOperation == opRemove && AComponent == FIOHandler) FIOHandler = nullptr;
  TNetComponent::Notification(AComponent, AOperation);
}

void TNetSocksInfo::NegotiateProxy(const std::string& AHost, int32_t APort, int32_t ATimeout) {
  TNetScopeExit unbound([this] { FTimeLimit = NoTimeLimit; });
  FTimeLimit = ATimeout;
  FStarted = std::chrono::steady_clock::now();
  switch (Version) {
    case svSocks4:
    case svSocks4A: NegotiateSocks4(AHost, APort); break;
    case svSocks5: NegotiateSocks5(AHost, APort); break;
    case svNoSocks: break;
  }
}

void TNetSocksInfo::SendAll(const std::string& Bytes) {
  if (!FIOHandler) throw ENetClosedSocket();
  size_t sent = 0;
  while (sent < Bytes.size()) {
    const int32_t n = FIOHandler->SendSome(Bytes.data() + sent, static_cast<int32_t>(Bytes.size() - sent));
    if (n == 0) throw ENetConnClosedGracefully();
    StackInstance->CheckSocketResult(n);
    sent += static_cast<size_t>(n);
  }
}

void TNetSocksInfo::ReceiveAll(void* Buffer, int32_t Count) {
  if (!FIOHandler) throw ENetClosedSocket();
  char* p = static_cast<char*>(Buffer);
  while (Count > 0) {
    // Wait through the handler so that the windows stay alive meanwhile.
    int32_t wait = NoTimeLimit;
    if (FTimeLimit > 0) {
      const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                                FStarted).count();
      if (waited >= FTimeLimit) throw ENetReadTimeout();
      wait = static_cast<int32_t>(FTimeLimit - waited);
    }
    if (!FIOHandler->WaitReadable(wait)) throw ENetReadTimeout();
    const int32_t n = FIOHandler->ReceiveSome(p, Count);
    if (n == 0) throw ENetConnClosedGracefully();
    StackInstance->CheckSocketResult(n);
    p += n;
    Count -= n;
  }
}

void TNetSocksInfo::NegotiateSocks4(const std::string& AHost, int32_t APort) {
  // SOCKS 4 has room for an IPv4 address only; sent as a 4A host name, an
  // IPv6 address would reach a proxy that cannot read it either.
  if (StackInstance->IsIPv6Address(TNetStack::UnbracketHost(AHost)))
    throw ENetSocksError(FormatMessage("SOCKS 4 cannot carry the IPv6 address %s.", {AHost}));
  CheckZeroTerminatedField(Username, "user name");
  if (Version == svSocks4A) CheckZeroTerminatedField(AHost, "host name");
  TNetStack& stack = *StackInstance;

  std::string request;
  request += '\x04';  // protocol version
  request += '\x01';  // CONNECT
  const uint16_t port = stack.HostToNet16(static_cast<uint16_t>(APort));
  request.append(reinterpret_cast<const char*>(&port), 2);
  // SOCKS 4 needs the destination's address, resolved here; 4A sends the
  // invalid address 0.0.0.1 and the host name after the user id instead.
  const uint32_t addr =
      Version == svSocks4A ? stack.TextToAddr("0.0.0.1") : stack.TextToAddr(stack.ResolveHostName(AHost));
  request.append(reinterpret_cast<const char*>(&addr), 4);
  request += Username;
  request += '\0';
  if (Version == svSocks4A) {
    request += AHost;
    request += '\0';
  }
  SendAll(request);

  // Reply: version 0, result code, port and address (ignored).
  unsigned char reply[8] = {};
  try {
    ReceiveAll(reply, sizeof reply);
  } catch (const ENetException&) {
    throw ENetSocksServerRespondError();
  }
  switch (reply[1]) {
    case 90: return;  // request granted
    case 91: throw ENetSocksRequestFailed();
    case 92: throw ENetSocksRequestServerFailed();
    case 93: throw ENetSocksRequestIdentFailed();
    default: throw ENetSocksUnknownError();
  }
}

void TNetSocksInfo::NegotiateSocks5(const std::string& AHost, int32_t APort) {
  const bool withPassword = Authentication == saUsernamePassword;
  if (withPassword) {
    CheckFieldLength(Username, "user name");
    CheckFieldLength(Password, "password");
  }
  // An IPv6 address travels as one (address type 4), since a proxy need
  // not read "::1" as a name; a name or an IPv4 address as a domain name.
  TNetIPv6Bytes v6{};
  const bool asIPv6 = StackInstance->ParseIPv6(TNetStack::UnbracketHost(AHost), &v6);
  if (!asIPv6) CheckFieldLength(AHost, "host name");

  // Every receive failure means the same to the user: the proxy did not answer.
  auto receive = [this](void* Buffer, int32_t Count) {
    try {
      ReceiveAll(Buffer, Count);
    } catch (const std::exception&) {
      throw ENetSocksServerRespondError();
    }
  };

  // 1. Method offer: version 5, one method, either "no authentication" (0)
  //    or "user name and password" (2).
  const unsigned char method = withPassword ? 2 : 0;
  SendAll(std::string{'\x05', '\x01', static_cast<char>(method)});
  unsigned char answer[2];
  receive(answer, 2);
  if (answer[1] != method || answer[1] == 0xFF) throw ENetSocksAuthMethodError();

  // 2. Sub-negotiation (RFC 1929): version 1, user name, password.
  if (withPassword) {
    std::string auth;
    auth += '\x01';
    auth += static_cast<char>(Username.size());
    auth += Username;
    auth += static_cast<char>(Password.size());
    auth += Password;
    SendAll(auth);
    receive(answer, 2);
    if (answer[1] != 0) throw ENetSocksAuthError();
  }

  // 3. CONNECT request; the destination travels as a domain name (address
  //    type 3), resolved by the proxy, or as an IPv6 address (type 4, 16 bytes).
  std::string request{'\x05', '\x01', '\x00', asIPv6 ? '\x04' : '\x03'};
  if (asIPv6) {
    request.append(reinterpret_cast<const char*>(v6.data()), v6.size());
  } else {
    request += static_cast<char>(AHost.size());
    request += AHost;
  }
  request += static_cast<char>((APort >> 8) & 0xFF);
  request += static_cast<char>(APort & 0xFF);
  SendAll(request);

  // Reply: version, reply code, reserved, address type, first address byte.
  unsigned char reply[5];
  receive(reply, 5);
  switch (reply[1]) {
    case 0: break;
    case 1: throw ENetSocksServerGeneralError();
    case 2: throw ENetSocksServerPermissionError();
    case 3: throw ENetSocksServerNetUnreachableError();
    case 4: throw ENetSocksServerHostUnreachableError();
    case 5: throw ENetSocksServerConnectionRefusedError();
    case 6: throw ENetSocksServerTTLExpiredError();
    case 7: throw ENetSocksServerCommandError();
    case 8: throw ENetSocksServerAddressError();
    default: throw ENetSocksUnknownError();
  }

  // 4. The rest of the bound address and port, discarded. One address byte
  //    is already in: IPv4 has 3 more, a domain name (that byte was its
  //    length L) L more, IPv6 15 more; each is followed by 2 port bytes.
  //    Any other type has no known length: guessing one would eat the
  //    first bytes of the application protocol.
  int32_t rest;
  switch (reply[3]) {
    case 1: rest = 5; break;
    case 3: rest = reply[4] + 2; break;
    case 4: rest = 17; break;
    default:
      throw ENetSocksError(FormatMessage("The SOCKS server answered with an unknown address type (%d).",
                                         {std::to_string(reply[3])}));
  }
  unsigned char discard[260];
  receive(discard, rest);
}
