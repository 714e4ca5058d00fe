#include "ScriptedSocks.h"

#include <arpa/inet.h>
#include <stdexcept>

namespace {

int Byte(const std::string& bytes, size_t at) { return static_cast<unsigned char>(bytes.at(at)); }

int Port16(const std::string& two) { return Byte(two, 0) * 256 + Byte(two, 1); }

std::string PortBytes(int port) {
  return std::string{static_cast<char>((port >> 8) & 0xff), static_cast<char>(port & 0xff)};
}

// Reads up to and including a zero byte; returns what stood before it.
std::string ReadZeroTerminated(ScriptedConnection& c) {
  std::string text;
  for (;;) {
    std::string one = c.ReadBytes(1);
    if (one[0] == '\0')
      return text;
    if (text.size() > 1024)
      throw std::runtime_error("SOCKS 4 field without its zero byte");
    text += one;
  }
}

UniqueFd ConnectOnward(const SocksRequest& request, const SocksProxyOptions& options, int timeoutMs) {
  try {
    if (options.RedirectPort > 0)
      return ConnectTcp(options.RedirectHost, options.RedirectPort, timeoutMs);
    return ConnectTcp(request.Host, request.Port, timeoutMs);
  } catch (const std::exception&) {
    return UniqueFd();
  }
}

void ServeSocks4(ScriptedConnection& c, const SocksProxyOptions& options,
                 const std::function<void(const SocksRequest&)>& onRequest, SocksRequest request) {
  std::string head = c.ReadBytes(7);  // command, port, address
  request.Version = 4;
  request.Command = Byte(head, 0);
  request.Port = Port16(head.substr(1, 2));
  request.Host = std::to_string(Byte(head, 3)) + "." + std::to_string(Byte(head, 4)) + "." +
                 std::to_string(Byte(head, 5)) + "." + std::to_string(Byte(head, 6));
  request.UserId = ReadZeroTerminated(c);
  // 4A: an address of 0.0.0.x with x != 0 announces a host name after the user id.
  if (Byte(head, 3) == 0 && Byte(head, 4) == 0 && Byte(head, 5) == 0 && Byte(head, 6) != 0) {
    request.Socks4A = true;
    request.Host = ReadZeroTerminated(c);
  }
  request.Bytes = c.Received();
  onRequest(request);
  int result = options.Socks4Result;
  UniqueFd target;
  if (result == 90) {
    target = ConnectOnward(request, options, 5000);
    if (!target)
      result = 91;
  }
  // Reply: version 0, result code, then port and address (ignored by clients).
  c.Send(std::string{0, static_cast<char>(result)} + head.substr(1, 6));
  if (target)
    c.RelayTo(std::move(target));
}

void ServeSocks5(ScriptedConnection& c, const SocksProxyOptions& options,
                 const std::function<void(const SocksRequest&)>& onRequest, SocksRequest request) {
  request.Version = 5;
  int count = Byte(c.ReadBytes(1), 0);
  request.Methods = c.ReadBytes(static_cast<size_t>(count));
  const bool wantAuth = !options.Username.empty();
  int method = options.Socks5Method;
  if (method < 0) {
    char wanted = wantAuth ? 2 : 0;
    method = request.Methods.find(wanted) != std::string::npos ? wanted : 0xff;
  }
  c.Send(std::string{5, static_cast<char>(method)});
  if (method == 0xff) {
    request.Bytes = c.Received();
    onRequest(request);
    return;
  }
  if (method == 2) {
    // RFC 1929: version 1, user, password; status 0 means success.
    c.ReadBytes(1);
    request.Username = c.ReadBytes(static_cast<size_t>(Byte(c.ReadBytes(1), 0)));
    request.Password = c.ReadBytes(static_cast<size_t>(Byte(c.ReadBytes(1), 0)));
    bool ok = !wantAuth || (request.Username == options.Username && request.Password == options.Password);
    c.Send(std::string{1, static_cast<char>(ok ? 0 : 1)});
    if (!ok) {
      request.Bytes = c.Received();
      onRequest(request);
      return;
    }
  }
  std::string head = c.ReadBytes(4);  // version, command, reserved, address type
  request.Command = Byte(head, 1);
  request.AddressType = Byte(head, 3);
  if (request.AddressType == 1) {
    std::string a = c.ReadBytes(4);
    request.Host = std::to_string(Byte(a, 0)) + "." + std::to_string(Byte(a, 1)) + "." +
                   std::to_string(Byte(a, 2)) + "." + std::to_string(Byte(a, 3));
  } else if (request.AddressType == 3) {
    request.Host = c.ReadBytes(static_cast<size_t>(Byte(c.ReadBytes(1), 0)));
  } else if (request.AddressType == 4) {
    std::string a = c.ReadBytes(16);
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, a.data(), text, sizeof text);
    request.Host = text;
  } else {
    throw std::runtime_error("SOCKS 5 request with address type " + std::to_string(request.AddressType));
  }
  request.Port = Port16(c.ReadBytes(2));
  request.Bytes = c.Received();
  onRequest(request);
  int reply = options.Socks5Reply;
  UniqueFd target;
  if (reply == 0) {
    target = ConnectOnward(request, options, 5000);
    if (!target)
      reply = 5;  // connection refused
  }
  int boundPort = target ? LocalPort(target.Get()) : 0;
  std::string answer{5, static_cast<char>(reply), 0, static_cast<char>(options.Socks5BoundType)};
  if (options.Socks5BoundType == 3)
    answer += std::string{9} + "localhost";
  else if (options.Socks5BoundType == 4)
    answer += std::string(16, '\0');
  else
    answer += std::string{127, 0, 0, 1};
  c.Send(answer + PortBytes(boundPort));
  if (target)
    c.RelayTo(std::move(target));
}

}  // namespace

void ServeSocks(ScriptedConnection& connection, const SocksProxyOptions& options,
                const std::function<void(const SocksRequest&)>& onRequest) {
  SocksRequest request;
  int version = Byte(connection.ReadBytes(1), 0);
  if (version == 4)
    ServeSocks4(connection, options, onRequest, request);
  else if (version == 5)
    ServeSocks5(connection, options, onRequest, request);
  else
    throw std::runtime_error("not a SOCKS request: first byte " + std::to_string(version));
}

ScriptedSocksProxy::ScriptedSocksProxy(SocksProxyOptions options)
    : FOptions(std::move(options)), FServer([this](ScriptedConnection& c) {
        ServeSocks(c, FOptions, [this](const SocksRequest& request) {
          std::lock_guard lock(FMutex);
          FRequests.push_back(request);
          FChanged.notify_all();
        });
      }) {}

std::vector<SocksRequest> ScriptedSocksProxy::Requests() const {
  std::lock_guard lock(FMutex);
  return FRequests;
}

bool ScriptedSocksProxy::WaitForRequests(size_t count, int timeoutMs) {
  std::unique_lock lock(FMutex);
  return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return FRequests.size() >= count; });
}
