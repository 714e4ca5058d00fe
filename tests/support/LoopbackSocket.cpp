#include "LoopbackSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <system_error>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// std::system_error (a std::runtime_error) carries errno for callers that
// tell a vanished peer apart from other failures.
[[noreturn]] void ThrowErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

sockaddr_in MakeAddress(const std::string& host, int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) == 1)
    return addr;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found)
    throw std::runtime_error("cannot resolve host '" + host + "'");
  addr.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return addr;
}

sockaddr_in SocketName(int fd, bool peer) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  int rc = peer ? getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len)
                : getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  if (rc != 0)
    ThrowErrno(peer ? "getpeername" : "getsockname");
  return addr;
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other)
    Reset(other.Release());
  return *this;
}

int UniqueFd::Release() {
  int fd = FFd;
  FFd = -1;
  return fd;
}

void UniqueFd::Reset(int fd) {
  if (FFd >= 0)
    ::close(FFd);
  FFd = fd;
}

WakeEvent::WakeEvent() : FEvent(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!FEvent)
    ThrowErrno("eventfd");
}

void WakeEvent::Signal() {
  uint64_t one = 1;
  // The counter only grows and is never read, so the event stays readable.
  [[maybe_unused]] ssize_t n = ::write(FEvent.Get(), &one, sizeof one);
}

bool WakeEvent::IsSignaled() const {
  pollfd p{FEvent.Get(), POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

Deadline::Deadline(int timeoutMs)
    : FUnlimited(timeoutMs < 0),
      FEnd(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs)) {}

int Deadline::RemainingMs() const {
  if (FUnlimited)
    return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(FEnd - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

UniqueFd ListenTcp(const std::string& host, int port, int backlog) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd)
    ThrowErrno("socket");
  int on = 1;
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr = MakeAddress(host, port);
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    ThrowErrno("bind " + host + ":" + std::to_string(port));
  if (::listen(fd.Get(), backlog) != 0)
    ThrowErrno("listen");
  return fd;
}

int LocalPort(int fd) { return ntohs(SocketName(fd, false).sin_port); }

std::string LocalAddress(int fd) {
  sockaddr_in addr = SocketName(fd, false);
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
  return text;
}

int PeerPort(int fd) { return ntohs(SocketName(fd, true).sin_port); }

UniqueFd ConnectTcp(const std::string& host, int port, int timeoutMs) {
  sockaddr_in addr = MakeAddress(host, port);
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd)
    ThrowErrno("socket");
  const std::string where = host + ":" + std::to_string(port);
  if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINPROGRESS)
      ThrowErrno("connect " + where);
    pollfd p{fd.Get(), POLLOUT, 0};
    int rc = ::poll(&p, 1, timeoutMs);
    if (rc == 0)
      throw std::runtime_error("connect " + where + ": timed out");
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) {
      errno = err;
      ThrowErrno("connect " + where);
    }
  }
  int flags = ::fcntl(fd.Get(), F_GETFL);
  ::fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK);
  int on = 1;
  ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

UniqueFd AcceptWithin(int listenFd, int timeoutMs, int wakeFd) {
  if (!WaitReadable(listenFd, timeoutMs, wakeFd))
    return UniqueFd();
  UniqueFd fd(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC));
  if (!fd)
    ThrowErrno("accept");
  int on = 1;
  ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

void AcceptUntilStopped(int listenFd, int stopFd, const std::function<void(UniqueFd)>& onAccept,
                        const std::function<void(const std::string&)>& onError) {
  for (;;) {
    UniqueFd fd;
    try {
      fd = AcceptWithin(listenFd, -1, stopFd);
    } catch (const std::exception& e) {
      onError(std::string("accept failed: ") + e.what());
      return;
    }
    if (!fd)
      return;  // stopped
    onAccept(std::move(fd));
  }
}

void SendAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      ThrowErrno("send");
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
}

bool SendAllWithin(int fd, std::string_view data, int timeoutMs, int wakeFd) {
  Deadline deadline(timeoutMs);
  while (!data.empty()) {
    ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      data.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (errno == EINTR)
      continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK)
      ThrowErrno("send");
    pollfd p[2] = {{fd, POLLOUT, 0}, {wakeFd, POLLIN, 0}};
    int rc = ::poll(p, wakeFd >= 0 ? 2 : 1, deadline.RemainingMs());
    if (rc < 0 && errno != EINTR)
      ThrowErrno("poll");
    if (rc == 0 || (rc > 0 && p[0].revents == 0))
      return false;
  }
  return true;
}

bool WaitReadable(int fd, int timeoutMs, int wakeFd) {
  pollfd p[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
  Deadline deadline(timeoutMs);
  int rc;
  while ((rc = ::poll(p, wakeFd >= 0 ? 2 : 1, deadline.RemainingMs())) < 0) {
    if (errno != EINTR)
      ThrowErrno("poll");
  }
  // Data already waiting wins over a wake-up, so nothing sent before a stop is lost.
  return rc > 0 && p[0].revents != 0;
}

std::string ReceiveSome(int fd, size_t max) {
  std::string buffer(max, '\0');
  for (;;) {
    ssize_t n = ::recv(fd, buffer.data(), max, 0);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      ThrowErrno("recv");
    }
    buffer.resize(static_cast<size_t>(n));
    return buffer;
  }
}

std::string ReceiveExactly(int fd, size_t n, int timeoutMs) {
  std::string result;
  Deadline deadline(timeoutMs);
  while (result.size() < n) {
    if (!WaitReadable(fd, deadline.RemainingMs()))
      throw std::runtime_error("timed out after " + std::to_string(result.size()) + " of " +
                               std::to_string(n) + " bytes");
    std::string chunk = ReceiveSome(fd, n - result.size());
    if (chunk.empty())
      throw std::runtime_error("peer closed after " + std::to_string(result.size()) + " of " +
                               std::to_string(n) + " bytes");
    result += chunk;
  }
  return result;
}

std::string ReceiveLine(int fd, int timeoutMs) {
  // Byte by byte, so nothing after the line is taken from the socket.
  std::string line;
  Deadline deadline(timeoutMs);
  while (line.empty() || line.back() != '\n') {
    if (!WaitReadable(fd, deadline.RemainingMs()))
      throw std::runtime_error("timed out reading a line, got '" + line + "'");
    std::string one = ReceiveSome(fd, 1);
    if (one.empty())
      throw std::runtime_error("peer closed in the middle of a line, got '" + line + "'");
    line += one;
  }
  return line;
}

std::string ReceiveAll(int fd, int timeoutMs) {
  std::string result;
  Deadline deadline(timeoutMs);
  for (;;) {
    if (!WaitReadable(fd, deadline.RemainingMs()))
      throw std::runtime_error("timed out waiting for the peer to close, got " +
                               std::to_string(result.size()) + " bytes");
    std::string chunk = ReceiveSome(fd);
    if (chunk.empty())
      return result;
    result += chunk;
  }
}

void SetLingerZero(int fd) {
  linger l{1, 0};
  if (::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0)
    ThrowErrno("setsockopt SO_LINGER");
}

int FindFreePort() {
  UniqueFd fd = ListenTcp("127.0.0.1", 0, 1);
  return LocalPort(fd.Get());
}

HostPort ParseFtpHostPort(std::string_view text) {
  int fields[6];
  int count = 0;
  std::string_view rest = text;
  while (count < 6) {
    size_t comma = rest.find(',');
    std::string_view field = rest.substr(0, comma);
    if (field.empty() || field.size() > 3 || field.find_first_not_of("0123456789") != std::string_view::npos)
      break;
    fields[count] = std::stoi(std::string(field));
    if (fields[count] > 255)
      break;
    ++count;
    if (comma == std::string_view::npos) {
      rest = {};
      break;
    }
    rest.remove_prefix(comma + 1);
  }
  if (count != 6 || !rest.empty())
    throw std::runtime_error("malformed FTP address '" + std::string(text) + "'");
  HostPort result;
  result.Host = std::to_string(fields[0]) + "." + std::to_string(fields[1]) + "." +
                std::to_string(fields[2]) + "." + std::to_string(fields[3]);
  result.Port = fields[4] * 256 + fields[5];
  return result;
}

std::string FtpHostPortText(const std::string& host, int port) {
  std::string text = host;
  for (char& c : text)
    if (c == '.')
      c = ',';
  return text + "," + std::to_string(port / 256) + "," + std::to_string(port % 256);
}

std::string HexBytes(std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char c : bytes) {
    if (!text.empty())
      text += ' ';
    text += digits[c >> 4];
    text += digits[c & 15];
  }
  return text;
}
