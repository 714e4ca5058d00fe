// The socket stack over POSIX sockets (Linux).
//
// The library needs no loading or start-up here; the error numbers of the
// platform (errno, and the resolver's EAI_* results) are mapped onto the
// stack's code table, and the last error is kept per thread, as each thread
// sees its own errno.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "NetExceptions.h"
#include "NetStack.h"

// ---------------------------------------------------------------------------
// Process-wide state.

namespace {

std::unique_ptr<TNetStack> MakePosixStack() { return std::make_unique<TNetStackPosix>(); }

int64_t PosixSendWholeFile(TNetSocket Socket, const std::string& FileName);

}  // namespace

TNetStackFactory StackClass = MakePosixStack;
std::unique_ptr<TNetStack> StackInstance;
bool SocketLibraryStarted = false;
int SocketLibraryStartCount = 0;
TSendWholeFileFunc SendWholeFile = PosixSendWholeFile;

// ---------------------------------------------------------------------------
// Error codes.

namespace {

// The last failure of a stack call on this thread, as a code of the table.
thread_local int32_t ThreadLastError = 0;

// Records errno (or an explicit code) and hands back the call's result.
int32_t FailWithErrno() {
  ThreadLastError = NetErrorCodeFromErrno(errno);
  return SocketError;
}

int32_t Result(int Rc) { return Rc < 0 ? FailWithErrno() : Rc; }

// Resolver results. A name that does not exist is 11001 "Host not found.";
// a temporary failure (no answer from the name server) is 11002, a
// permanent one 11003; the rest fall onto the nearest socket code.
int32_t NetErrorCodeFromResolver(int Rc, int Errno) {
  switch (Rc) {
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
      return 11001;
    case EAI_AGAIN:
      return 11002;
    case EAI_MEMORY:
      return 10055;
    case EAI_FAMILY:
      return 10047;
    case EAI_SOCKTYPE:
      return 10044;
    case EAI_SERVICE:
    case EAI_BADFLAGS:
      return 10022;
    case EAI_SYSTEM:
      return NetErrorCodeFromErrno(Errno);
    default:
      return 11003;
  }
}

}  // namespace

int32_t NetErrorCodeFromErrno(int Errno) {
  switch (Errno) {
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EPERM:
    case EACCES: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case ENFILE:
    case EMFILE: return 10024;
    case EAGAIN: return 10035;  // EWOULDBLOCK is the same number here
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;  // ENOTSUP is the same number here
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET: return 10054;
    case ENOMEM:
    case ENOBUFS: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case EPIPE:  // writing after the peer has gone
    case ESHUTDOWN: return 10058;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case ENOTEMPTY: return 10066;
    default: return Errno;
  }
}

// ---------------------------------------------------------------------------
// Socket lists.

TNetSocket TNetSocketListPosix::Items(int Index) const {
  if (Index < 0 || Index >= FCount) throw ENetStackSetSizeExceeded();
  return FSockets[static_cast<size_t>(Index)];
}

void TNetSocketListPosix::Add(TNetSocket Socket) {
  if (FCount >= NetSocketSetSize) throw ENetStackSetSizeExceeded();
  FSockets[static_cast<size_t>(FCount++)] = Socket;
}

void TNetSocketListPosix::Remove(TNetSocket Socket) {
  for (int i = 0; i < FCount; ++i) {
    if (FSockets[static_cast<size_t>(i)] == Socket) {
      FSockets[static_cast<size_t>(i)] = FSockets[static_cast<size_t>(FCount - 1)];
      FSockets[static_cast<size_t>(FCount - 1)] = 0;
      --FCount;
      return;
    }
  }
}

void TNetSocketListPosix::Clear() {
  FSockets.fill(0);
  FCount = 0;
}

// ---------------------------------------------------------------------------
// Cancel signal.

TNetCancelSignal::TNetCancelSignal() {
  FFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (FFd < 0) {
    const int32_t code = NetErrorCodeFromErrno(errno);
    throw ENetSocketError(code, NetTableErrorText(code));
  }
}

TNetCancelSignal::~TNetCancelSignal() {
  if (FFd >= 0) ::close(FFd);
}

void TNetCancelSignal::Cancel() {
  FCancelled.store(true, std::memory_order_release);
  const uint64_t one = 1;
  // The counter only grows, so the descriptor stays readable from now on.
  [[maybe_unused]] ssize_t n = ::write(FFd, &one, sizeof one);
}

// ---------------------------------------------------------------------------
// The stack.

namespace {

static_assert(Id_PF_INET6 == AF_INET6, "the IPv6 family number of this platform");

// A socket address of either family, with its length.
struct TSockAddress {
  sockaddr_storage Storage{};
  socklen_t Length = sizeof(sockaddr_storage);
  sockaddr* Get() { return reinterpret_cast<sockaddr*>(&Storage); }
  const sockaddr* Get() const { return reinterpret_cast<const sockaddr*>(&Storage); }
};

// An IPv6 address text (with an optional "%zone") as a socket address;
// false when the text is none.
bool ParseIPv6Address(const std::string& Text, sockaddr_in6& Sa) {
  if (Text.find(':') == std::string::npos) return false;
  addrinfo hints{};
  hints.ai_family = AF_INET6;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* list = nullptr;
  if (::getaddrinfo(Text.c_str(), nullptr, &hints, &list) != 0 || !list) return false;
  std::memcpy(&Sa, list->ai_addr, sizeof Sa);
  ::freeaddrinfo(list);
  return true;
}

// Builds an address of the family; an empty IP text is any local address
// when AllowAny, else it fails the address check like any other bad text.
TSockAddress MakeAddress(TNetStack& Stack, int32_t Family, const std::string& IP, int32_t Port, bool AllowAny) {
  TSockAddress address;
  if (Family == AF_INET6) {
    sockaddr_in6 sa{};
    if (AllowAny && IP.empty()) {
      sa.sin6_addr = in6addr_any;
    } else if (!ParseIPv6Address(IP, sa)) {
      throw ENetInvalidIPAddress(IP);
    }
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(static_cast<uint16_t>(Port));
    std::memcpy(&address.Storage, &sa, sizeof sa);
    address.Length = sizeof sa;
    return address;
  }
  sockaddr_in sa{};
  sa.sin_family = static_cast<sa_family_t>(Family);
  sa.sin_port = htons(static_cast<uint16_t>(Port));
  sa.sin_addr.s_addr = (AllowAny && IP.empty()) ? htonl(INADDR_ANY) : Stack.TextToAddr(IP);
  std::memcpy(&address.Storage, &sa, sizeof sa);
  address.Length = sizeof sa;
  return address;
}

// The address as text of its family (an IPv6 one in its shortest form, with
// its zone when it has one) and the port in host order.
void ReadAddress(TNetStack& Stack, const sockaddr* Sa, std::string& IP, int32_t& Port) {
  if (Sa->sa_family == AF_INET6) {
    const auto* sa6 = reinterpret_cast<const sockaddr_in6*>(Sa);
    char text[NI_MAXHOST] = {};
    if (::getnameinfo(Sa, sizeof(sockaddr_in6), text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0)
      ::inet_ntop(AF_INET6, &sa6->sin6_addr, text, sizeof text);
    IP = text;
    Port = ntohs(sa6->sin6_port);
    return;
  }
  const auto* sa4 = reinterpret_cast<const sockaddr_in*>(Sa);
  TNetIPv4Bytes bytes;
  std::memcpy(bytes.data(), &sa4->sin_addr.s_addr, 4);
  IP = Stack.AddrToText(bytes);
  Port = ntohs(sa4->sin_port);
}

}  // namespace

TNetStackPosix::TNetStackPosix() {
  // The platform's sockets need no start-up; the flag still records that the
  // one-time start-up of this process has happened.
  if (!SocketLibraryStarted) {
    SocketLibraryStarted = true;
    ++SocketLibraryStartCount;
  }
}

TNetStackPosix::~TNetStackPosix() = default;

std::string TNetStackPosix::SockErrorText(int32_t ErrorCode) {
  // The resolver's codes belong to this stack; every other code goes to the table.
  switch (ErrorCode) {
    case 11001: return SocketErrorMessage(ErrorCode, "Host not found.");
    case 11002: return SocketErrorMessage(ErrorCode, "Temporary failure in name resolution.");
    case 11003: return SocketErrorMessage(ErrorCode, "Non-recoverable failure in name resolution.");
    default: return TNetStack::SockErrorText(ErrorCode);
  }
}

int32_t TNetStackPosix::SockLastError() { return ThreadLastError; }

void TNetStackPosix::FillLocalAddresses() {
  FLocalAddresses.clear();
  const std::string host = SockHostName();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;  // one entry per address
  addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
  if (rc != 0) {
    ThreadLastError = NetErrorCodeFromResolver(rc, errno);
    CheckSocketResult(SocketError);
    return;
  }
  for (addrinfo* ai = list; ai; ai = ai->ai_next) {
    std::string ip;
    int32_t port;
    ReadAddress(*this, ai->ai_addr, ip, port);
    FLocalAddresses.push_back(ip);
  }
  ::freeaddrinfo(list);
}

const TStringList& TNetStackPosix::LocalAddressList() {
  FillLocalAddresses();
  return FLocalAddresses;
}

std::string TNetStackPosix::FirstLocalAddress() {
  const TStringList& list = LocalAddressList();
  if (list.empty()) throw EListError(0);
  return list.front();
}

TNetSocket TNetStackPosix::SockAccept(TNetSocket Listening, std::string& IP, int32_t& Port) {
  TSockAddress sa;
  const int s = ::accept4(Listening, sa.Get(), &sa.Length, SOCK_CLOEXEC);
  if (s < 0) return FailWithErrno();
  ReadAddress(*this, sa.Get(), IP, Port);
  return s;
}

int32_t TNetStackPosix::SockBind(TNetSocket Socket, int32_t Family, const std::string& IP, int32_t Port) {
  const TSockAddress sa = MakeAddress(*this, Family, IP, Port, true);
  return Result(::bind(Socket, sa.Get(), sa.Length));
}

int32_t TNetStackPosix::SockClose(TNetSocket Socket) { return Result(::close(Socket)); }

int32_t TNetStackPosix::SockConnect(TNetSocket Socket, int32_t Family, const std::string& IP, int32_t Port) {
  const TSockAddress sa = MakeAddress(*this, Family, IP, Port, false);
  return Result(::connect(Socket, sa.Get(), sa.Length));
}

// A blocking connect cannot be woken from another thread (closing the
// descriptor does not end it), so this one runs non-blocking and waits for
// either the socket or the cancel signal.
int32_t TNetStackPosix::SockConnectCancellable(TNetSocket Socket, int32_t Family, const std::string& IP,
                                               int32_t Port, const TNetCancelSignal& Cancel) {
  const TSockAddress sa = MakeAddress(*this, Family, IP, Port, false);
  const int flags = ::fcntl(Socket, F_GETFL);
  if (flags < 0) return FailWithErrno();
  if (::fcntl(Socket, F_SETFL, flags | O_NONBLOCK) < 0) return FailWithErrno();

  int32_t code = 0;
  if (Cancel.Cancelled()) {
    code = ErrInterrupted;
  } else if (::connect(Socket, sa.Get(), sa.Length) != 0) {
    if (errno != EINPROGRESS) {
      code = NetErrorCodeFromErrno(errno);
    } else {
      pollfd fds[2] = {{Socket, POLLOUT, 0}, {Cancel.Fd(), POLLIN, 0}};
      int rc;
      do {
        rc = ::poll(fds, 2, -1);
      } while (rc < 0 && errno == EINTR);
      if (rc < 0) {
        code = NetErrorCodeFromErrno(errno);
      } else if (fds[1].revents != 0 || Cancel.Cancelled()) {
        code = ErrInterrupted;  // the waiting side gave up
      } else {
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(Socket, SOL_SOCKET, SO_ERROR, &err, &len) < 0) err = errno;
        if (err != 0) code = NetErrorCodeFromErrno(err);
      }
    }
  }
  ::fcntl(Socket, F_SETFL, flags);
  if (code != 0) {
    ThreadLastError = code;
    return SocketError;
  }
  return 0;
}

// The attempts run non-blocking side by side. Each waits its turn: the first
// starts at once, the next one StaggerMs after the one before it, or at once
// when every attempt started so far has failed (RFC 8305, 5). The first to
// connect wins; the sockets get their blocking mode back in every case.
int32_t TNetStackPosix::SockConnectFirst(const std::vector<TNetConnectAttempt>& Attempts, int32_t StaggerMs,
                                         const TNetCancelSignal* Cancel, size_t& Winner) {
  using Clock = std::chrono::steady_clock;
  const size_t count = Attempts.size();
  std::vector<int> savedFlags(count, -1);
  struct RestoreFlags {
    const std::vector<TNetConnectAttempt>& attempts;
    std::vector<int>& flags;
    ~RestoreFlags() {
      for (size_t i = 0; i < attempts.size(); ++i)
        if (flags[i] >= 0) ::fcntl(attempts[i].Socket, F_SETFL, flags[i]);
    }
  } restore{Attempts, savedFlags};

  enum TState { waiting, pending, failed };
  std::vector<TState> state(count, waiting);
  int32_t lastError = ErrConnectionRefused;
  size_t started = 0;
  Clock::time_point nextStart = Clock::now();

  auto fail = [&](size_t i, int32_t code) {
    state[i] = failed;
    lastError = code;
  };
  auto start = [&](size_t i) -> bool {  // true when it connected at once
    const TNetConnectAttempt& a = Attempts[i];
    TSockAddress sa;
    try {
      sa = MakeAddress(*this, a.Family, a.IP, a.Port, false);
    } catch (const ENetInvalidIPAddress&) {
      fail(i, ErrBadAddress);
      return false;
    }
    const int flags = ::fcntl(a.Socket, F_GETFL);
    if (flags < 0 || ::fcntl(a.Socket, F_SETFL, flags | O_NONBLOCK) < 0) {
      fail(i, NetErrorCodeFromErrno(errno));
      return false;
    }
    savedFlags[i] = flags;
    if (::connect(a.Socket, sa.Get(), sa.Length) == 0) return true;
    if (errno == EINPROGRESS) {
      state[i] = pending;
    } else {
      fail(i, NetErrorCodeFromErrno(errno));
    }
    return false;
  };

  for (;;) {
    if (Cancel && Cancel->Cancelled()) {
      ThreadLastError = ErrInterrupted;
      return SocketError;
    }
    const bool anyPending = std::find(state.begin(), state.end(), pending) != state.end();
    while (started < count && (!anyPending || Clock::now() >= nextStart)) {
      const size_t i = started++;
      if (start(i)) {
        Winner = i;
        return 0;
      }
      if (state[i] == pending) {
        nextStart = Clock::now() + std::chrono::milliseconds(StaggerMs);
        break;
      }
      nextStart = Clock::now();
    }
    std::vector<pollfd> fds;
    std::vector<size_t> which;
    for (size_t i = 0; i < count; ++i) {
      if (state[i] != pending) continue;
      fds.push_back(pollfd{Attempts[i].Socket, POLLOUT, 0});
      which.push_back(i);
    }
    if (fds.empty()) {
      if (started < count) continue;
      ThreadLastError = lastError;
      return SocketError;
    }
    if (Cancel) fds.push_back(pollfd{Cancel->Fd(), POLLIN, 0});
    int wait = -1;
    if (started < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(nextStart - Clock::now()).count();
      wait = left < 0 ? 0 : static_cast<int>(left);
    }
    const int rc = ::poll(fds.data(), fds.size(), wait);
    if (rc < 0) {
      if (errno == EINTR) continue;
      ThreadLastError = NetErrorCodeFromErrno(errno);
      return SocketError;
    }
    for (size_t k = 0; k < which.size(); ++k) {
      if (fds[k].revents == 0) continue;
      const size_t i = which[k];
      int err = 0;
      socklen_t len = sizeof err;
      if (::getsockopt(Attempts[i].Socket, SOL_SOCKET, SO_ERROR, &err, &len) < 0) err = errno;
      if (err == 0) {
        Winner = i;
        return 0;
      }
      fail(i, NetErrorCodeFromErrno(err));
      nextStart = Clock::now();  // a failure lets the next address start at once
    }
  }
}

std::string TNetStackPosix::SockHostByName(const std::string& HostName) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(HostName.c_str(), nullptr, &hints, &list);
  if (rc != 0 || !list) {
    ThreadLastError = rc != 0 ? NetErrorCodeFromResolver(rc, errno) : ErrHostNotFound;
    CheckSocketResult(SocketError);
    return std::string();
  }
  std::string ip;
  int32_t port;
  ReadAddress(*this, list->ai_addr, ip, port);
  ::freeaddrinfo(list);
  return ip;
}

TStringList TNetStackPosix::SockHostAddresses(const std::string& HostName) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;  // one entry per address
  addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(HostName.c_str(), nullptr, &hints, &list);
  if (rc != 0 || !list) {
    ThreadLastError = rc != 0 ? NetErrorCodeFromResolver(rc, errno) : ErrHostNotFound;
    CheckSocketResult(SocketError);
    return {};
  }
  TStringList addresses;
  for (addrinfo* ai = list; ai; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
    std::string ip;
    int32_t port;
    ReadAddress(*this, ai->ai_addr, ip, port);
    if (std::find(addresses.begin(), addresses.end(), ip) == addresses.end()) addresses.push_back(ip);
  }
  ::freeaddrinfo(list);
  if (addresses.empty()) {
    ThreadLastError = ErrHostNotFound;
    CheckSocketResult(SocketError);
  }
  return addresses;
}

std::string TNetStackPosix::SockHostName() {
  char buffer[251] = {};
  ::gethostname(buffer, 250);  // the result is not examined; a failure leaves the buffer empty
  return std::string(buffer);  // cut at the first zero
}

std::string TNetStackPosix::SockHostByAddr(const std::string& IP) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = ::inet_addr(IP.c_str());
  char host[NI_MAXHOST] = {};
  const int rc = ::getnameinfo(reinterpret_cast<const sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0,
                               NI_NAMEREQD);
  if (rc != 0) {
    ThreadLastError = NetErrorCodeFromResolver(rc, errno);
    CheckSocketResult(SocketError);
    return std::string();
  }
  return std::string(host);
}

int32_t TNetStackPosix::SockServiceByName(const std::string& ServiceName) {
  servent entry{};
  servent* found = nullptr;
  char buffer[1024];
  if (::getservbyname_r(ServiceName.c_str(), nullptr, &entry, buffer, sizeof buffer, &found) == 0 && found)
    return ntohs(static_cast<uint16_t>(found->s_port));
  int32_t port = 0;
  if (!TryStrToInt(ServiceName, port)) throw ENetInvalidServiceName(ServiceName);
  return port;
}

TStringList TNetStackPosix::SockServiceByPort(int32_t Port) {
  TStringList names;
  servent entry{};
  servent* found = nullptr;
  char buffer[1024];
  if (::getservbyport_r(htons(static_cast<uint16_t>(Port)), nullptr, &entry, buffer, sizeof buffer, &found) == 0 &&
      found) {
    names.emplace_back(found->s_name);
    for (char** alias = found->s_aliases; alias && *alias; ++alias) names.emplace_back(*alias);
  }
  return names;
}

uint16_t TNetStackPosix::HostToNet16(uint16_t Value) { return htons(Value); }
uint16_t TNetStackPosix::NetToHost16(uint16_t Value) { return ntohs(Value); }
uint32_t TNetStackPosix::HostToNet32(uint32_t Value) { return htonl(Value); }
uint32_t TNetStackPosix::NetToHost32(uint32_t Value) { return ntohl(Value); }

int32_t TNetStackPosix::SockListen(TNetSocket Socket, int32_t Backlog) { return Result(::listen(Socket, Backlog)); }

int32_t TNetStackPosix::SockRecv(TNetSocket Socket, void* Buffer, int32_t Length, int32_t Flags) {
  const ssize_t n = ::recv(Socket, Buffer, static_cast<size_t>(Length < 0 ? 0 : Length), Flags);
  return n < 0 ? FailWithErrno() : static_cast<int32_t>(n);
}

int32_t TNetStackPosix::SockRecvFrom(TNetSocket Socket, void* Buffer, int32_t Length, int32_t Flags,
                                     std::string& IP, int32_t& Port) {
  TSockAddress sa;
  const ssize_t n = ::recvfrom(Socket, Buffer, static_cast<size_t>(Length < 0 ? 0 : Length), Flags, sa.Get(),
                               &sa.Length);
  if (n < 0) return FailWithErrno();
  const sa_family_t family = sa.Storage.ss_family;
  if ((family == AF_INET && sa.Length >= sizeof(sockaddr_in)) || (family == AF_INET6 && sa.Length >= sizeof(sockaddr_in6)))
    ReadAddress(*this, sa.Get(), IP, Port);
  return static_cast<int32_t>(n);
}

// The readiness wait keeps the 64-value lists of the stack but waits with
// poll, which has no limit on descriptor numbers (a fixed select set would be
// overrun by any descriptor above 1023). Readable matches what select
// reports: data, a pending connection, the end of the stream or an error.
int32_t TNetStackPosix::SockSelect(TNetSocketList* ReadList, TNetSocketList* WriteList, TNetSocketList* ErrorList,
                                   int32_t Timeout) {
  TNetSocketList* lists[3] = {ReadList, WriteList, ErrorList};
  const short events[3] = {POLLIN, POLLOUT, POLLPRI};
  const short ready[3] = {POLLIN | POLLHUP | POLLERR, POLLOUT | POLLHUP | POLLERR, POLLPRI};
  for (TNetSocketList* list : lists)
    if (list && list->Count() > NetSocketSetSize) throw ENetStackSetSizeExceeded();

  pollfd fds[3 * NetSocketSetSize];
  int counts[3] = {0, 0, 0};
  nfds_t n = 0;
  for (int l = 0; l < 3; ++l) {
    if (!lists[l]) continue;
    counts[l] = lists[l]->Count();
    for (int i = 0; i < counts[l]; ++i) fds[n++] = pollfd{lists[l]->Items(i), events[l], 0};
  }

  if (Timeout < 0 && Timeout != NoTimeLimit) {
    ThreadLastError = ErrInvalidArgument;  // as select refuses a negative time value
    return SocketError;
  }
  // A signal must not end the wait early: resume with the time that is left.
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(Timeout < 0 ? 0 : Timeout);
  int rc;
  for (;;) {
    int wait = -1;
    if (Timeout != NoTimeLimit) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = left < 0 ? 0 : static_cast<int>(left);
    }
    rc = ::poll(fds, n, wait);
    if (rc >= 0 || errno != EINTR) break;
  }
  if (rc < 0) return FailWithErrno();
  for (nfds_t i = 0; i < n; ++i) {
    if (fds[i].revents & POLLNVAL) {
      ThreadLastError = ErrBadFile;  // a value that is not an open descriptor, as select reports it
      return SocketError;
    }
  }

  int32_t total = 0;
  nfds_t at = 0;
  for (int l = 0; l < 3; ++l) {
    if (!lists[l]) continue;
    lists[l]->Clear();
    for (int i = 0; i < counts[l]; ++i, ++at) {
      if (fds[at].revents & ready[l]) {
        lists[l]->Add(fds[at].fd);
        ++total;
      }
    }
  }
  return total;
}

int32_t TNetStackPosix::SockSend(TNetSocket Socket, const void* Buffer, int32_t Length, int32_t Flags) {
  // MSG_NOSIGNAL: a peer that has gone gives EPIPE (10058), never SIGPIPE.
  const ssize_t n = ::send(Socket, Buffer, static_cast<size_t>(Length < 0 ? 0 : Length), Flags | MSG_NOSIGNAL);
  return n < 0 ? FailWithErrno() : static_cast<int32_t>(n);
}

int32_t TNetStackPosix::SockSendTo(TNetSocket Socket, const void* Buffer, int32_t Length, int32_t Flags,
                                   const std::string& IP, int32_t Port) {
  const TSockAddress sa = MakeAddress(*this, AddressFamily(IP), IP, Port, false);
  const ssize_t n = ::sendto(Socket, Buffer, static_cast<size_t>(Length < 0 ? 0 : Length), Flags | MSG_NOSIGNAL,
                             sa.Get(), sa.Length);
  return n < 0 ? FailWithErrno() : static_cast<int32_t>(n);
}

int32_t TNetStackPosix::SockSetOption(TNetSocket Socket, int32_t Level, int32_t OptName, const void* OptVal,
                                      int32_t OptLen) {
  return Result(::setsockopt(Socket, Level, OptName, OptVal, static_cast<socklen_t>(OptLen)));
}

int32_t TNetStackPosix::SockSetSendTimeout(TNetSocket Socket, int32_t Milliseconds) {
  timeval limit{};
  if (Milliseconds > 0) {
    limit.tv_sec = Milliseconds / 1000;
    limit.tv_usec = static_cast<suseconds_t>(Milliseconds % 1000) * 1000;
  }
  return Result(::setsockopt(Socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit));
}

int32_t TNetStackPosix::SockGetOption(TNetSocket Socket, int32_t Level, int32_t OptName, void* OptVal,
                                      int32_t& OptLen) {
  socklen_t len = static_cast<socklen_t>(OptLen);
  const int rc = ::getsockopt(Socket, Level, OptName, OptVal, &len);
  if (rc < 0) return FailWithErrno();
  OptLen = static_cast<int32_t>(len);
  return rc;
}

TNetSocket TNetStackPosix::SockCreate(int32_t Family, int32_t SocketType, int32_t Protocol) {
  return Result(::socket(Family, SocketType | SOCK_CLOEXEC, Protocol));
}

int32_t TNetStackPosix::SockShutdown(TNetSocket Socket, int32_t How) { return Result(::shutdown(Socket, How)); }

void TNetStackPosix::SockPeerName(TNetSocket Socket, int32_t& Family, int32_t& Port, std::string& IP) {
  TSockAddress sa;
  CheckSocketResult(Result(::getpeername(Socket, sa.Get(), &sa.Length)));
  Family = sa.Storage.ss_family;
  ReadAddress(*this, sa.Get(), IP, Port);
}

void TNetStackPosix::SockLocalName(TNetSocket Socket, int32_t& Family, int32_t& Port, std::string& IP) {
  TSockAddress sa;
  CheckSocketResult(Result(::getsockname(Socket, sa.Get(), &sa.Length)));
  Family = sa.Storage.ss_family;
  ReadAddress(*this, sa.Get(), IP, Port);
}

std::string TNetStackPosix::AddrToText(const TNetIPv4Bytes& Addr) {
  return std::to_string(Addr[0]) + "." + std::to_string(Addr[1]) + "." + std::to_string(Addr[2]) + "." +
         std::to_string(Addr[3]);
}

void TNetStackPosix::TextToAddrBytes(const std::string& IP, TNetIPv4Bytes& Addr) {
  if (!ParseIPv4(IP, &Addr, nullptr, nullptr)) throw ENetInvalidIPAddress(IP);
}

bool TNetStackPosix::ParseIPv6(const std::string& Text, TNetIPv6Bytes* Bytes) {
  sockaddr_in6 sa{};
  if (!ParseIPv6Address(Text, sa)) return false;
  if (Bytes) std::memcpy(Bytes->data(), &sa.sin6_addr, 16);
  return true;
}

// ---------------------------------------------------------------------------
// Whole-file sending.

namespace {

// sendfile has no "no signal" flag, so SIGPIPE is blocked on this thread
// around the call and, when the send raised one that was not pending before,
// taken off again, so that the process's handling of the signal never changes.
class TSigPipeGuard {
 public:
  TSigPipeGuard() {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    FWasPending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe, &FOldMask);
  }
  ~TSigPipeGuard() {
    if (!FWasPending) {
      sigset_t pipe;
      sigemptyset(&pipe);
      sigaddset(&pipe, SIGPIPE);
      const timespec zero{0, 0};
      const int saved = errno;
      while (sigtimedwait(&pipe, nullptr, &zero) == SIGPIPE) {
      }
      errno = saved;
    }
    pthread_sigmask(SIG_SETMASK, &FOldMask, nullptr);
  }
  TSigPipeGuard(const TSigPipeGuard&) = delete;
  TSigPipeGuard& operator=(const TSigPipeGuard&) = delete;

 private:
  sigset_t FOldMask;
  bool FWasPending = false;
};

int64_t PosixSendWholeFile(TNetSocket Socket, const std::string& FileName) {
  const int fd = ::open(FileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    ThreadLastError = NetErrorCodeFromErrno(errno);
    return 0;
  }
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  struct stat st;
  int64_t result = 0;
  if (::fstat(fd, &st) < 0) {
    ThreadLastError = NetErrorCodeFromErrno(errno);
  } else {
    const int64_t size = st.st_size;
    off_t offset = 0;
    bool failed = false;
    {
      TSigPipeGuard guard;
      // One sendfile call moves at most about 2 GB; loop until all is sent.
      while (offset < size) {
        const ssize_t n = ::sendfile(Socket, fd, &offset, static_cast<size_t>(size - offset));
        if (n < 0) {
          if (errno == EINTR) continue;
          ThreadLastError = NetErrorCodeFromErrno(errno);
          failed = true;
          break;
        }
        if (n == 0) {  // the file shrank under us
          ThreadLastError = ErrSocketShutdown;
          failed = true;
          break;
        }
      }
    }
    if (!failed) result = size;
  }
  ::close(fd);
  return result;
}

}  // namespace
