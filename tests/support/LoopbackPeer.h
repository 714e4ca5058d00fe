// A one-connection peer on 127.0.0.1 for the connection layer's tests: it
// accepts one client and runs the given script on the accepted descriptor on
// its own thread. Plain POSIX calls, independent of the code under test.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

class LoopbackPeer {
 public:
  using Script = std::function<void(int fd)>;

  explicit LoopbackPeer(Script script, int backlog = 1) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener_, backlog) != 0)
      throw std::runtime_error("LoopbackPeer: cannot listen");
    socklen_t len = sizeof addr;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    if (script) {
      thread_ = std::thread([this, script] {
        int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0) return;
        script(fd);
        ::close(fd);
      });
    }
  }
  ~LoopbackPeer() {
    ::shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
  }
  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;

  int port() const { return port_; }
  int listener() const { return listener_; }

  static void SendAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  }
  // Reads up to and including the next LF; empty at end of stream.
  static std::string ReadLine(int fd) {
    std::string line;
    char c;
    while (::recv(fd, &c, 1, 0) == 1) {
      line += c;
      if (c == '\n') break;
    }
    return line;
  }
  static void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};
