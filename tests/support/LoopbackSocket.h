// Small helpers over raw POSIX sockets for the test peers and for test code.
// They deliberately do not use the project's own network stack: the peers built
// on them are the independent side that checks it.
// Every helper throws std::runtime_error with the failing call and errno text
// (std::system_error, with the errno, when a system call failed).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// Owns one file descriptor and closes it.
class UniqueFd {
public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : FFd(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : FFd(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int Get() const { return FFd; }
  int Release();
  void Reset(int fd = -1);
  explicit operator bool() const { return FFd >= 0; }

private:
  int FFd = -1;
};

// A one-shot wake-up signal (eventfd) that poll() can watch beside a socket.
class WakeEvent {
public:
  WakeEvent();
  void Signal();
  bool IsSignaled() const;
  int Fd() const { return FEvent.Get(); }

private:
  UniqueFd FEvent;
};

// The time-out of a helper below that waits as long as it takes.
constexpr int kNoLimitMs = -1;

// Remaining time towards a fixed point; negative milliseconds mean "no limit".
class Deadline {
public:
  explicit Deadline(int timeoutMs);
  int RemainingMs() const;  // -1 when unlimited, 0 when passed
  bool Passed() const { return RemainingMs() == 0; }

private:
  bool FUnlimited;
  std::chrono::steady_clock::time_point FEnd;
};

// Host text and port, e.g. parsed from an FTP "h1,h2,h3,h4,p1,p2" argument.
struct HostPort {
  std::string Host;
  int Port = 0;
};

// Listening TCP socket bound to host:port (port 0 picks a free one).
UniqueFd ListenTcp(const std::string& host = "127.0.0.1", int port = 0, int backlog = 16);
// The local port / address of a bound socket, the remote port of a connected one.
int LocalPort(int fd);
std::string LocalAddress(int fd);
int PeerPort(int fd);

// Connects to an IPv4 address or "localhost"; throws on refusal or time-out.
UniqueFd ConnectTcp(const std::string& host, int port, int timeoutMs = 5000);
// Accepts one connection within the time-out; empty result on time-out or wake-up.
UniqueFd AcceptWithin(int listenFd, int timeoutMs, int wakeFd = -1);
// The accept loop of a scripted server: hands each connection to onAccept
// until stopFd wakes it; an accept failure goes to onError and ends it.
void AcceptUntilStopped(int listenFd, int stopFd, const std::function<void(UniqueFd)>& onAccept,
                        const std::function<void(const std::string&)>& onError);

// Writes everything (MSG_NOSIGNAL); throws on any error, e.g. a reset by the peer.
void SendAll(int fd, std::string_view data);
// The same, but gives up (returns false) when the time-out passes or wakeFd fires
// while the peer is not reading.
bool SendAllWithin(int fd, std::string_view data, int timeoutMs, int wakeFd = -1);
// Waits until fd is readable (or at EOF/error); false on time-out or when wakeFd fires.
bool WaitReadable(int fd, int timeoutMs, int wakeFd = -1);
// One recv() of at most max bytes; empty at EOF; throws on errors.
std::string ReceiveSome(int fd, size_t max = 65536);
// Reads exactly n bytes; throws on EOF or time-out before that.
std::string ReceiveExactly(int fd, size_t n, int timeoutMs = 5000);
// Reads one line ending in LF and returns it with its terminator; throws on EOF or time-out.
std::string ReceiveLine(int fd, int timeoutMs = 5000);
// Reads until the peer closes; throws on time-out.
std::string ReceiveAll(int fd, int timeoutMs = 5000);

// Makes close() send RST instead of FIN.
void SetLingerZero(int fd);
// Asks the kernel for a free port on 127.0.0.1. The port is free only at that
// moment: a launcher that uses it must retry when its bind fails. Tests use
// it as a port that refuses connections, since nothing listens there.
int FindFreePort();

// "127,0,0,1,4,1" -> {"127.0.0.1", 1025}; throws on a malformed text.
HostPort ParseFtpHostPort(std::string_view text);
// {"127.0.0.1", 1025} -> "127,0,0,1,4,1".
std::string FtpHostPortText(const std::string& host, int port);
// Printable form of a byte string for messages: "04 01 00 15 ..." style hex.
std::string HexBytes(std::string_view bytes);
