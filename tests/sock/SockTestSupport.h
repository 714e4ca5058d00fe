// Helpers of the socket layer's tests: keeping the stack alive, and loopback
// socket pairs made through the stack itself.
#pragma once

#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "NetComponent.h"
#include "NetStack.h"

// The stack exists while a counted component does.
class TStackFixture : public ::testing::Test {
 protected:
  TNetStack& Stack() { return *StackInstance; }
  std::unique_ptr<TNetComponent> FKeeper = std::make_unique<TNetComponent>();
};

// A descriptor closed when it goes out of scope.
class TFd {
 public:
  explicit TFd(int Fd = -1) : FFd(Fd) {}
  ~TFd() { Reset(); }
  TFd(TFd&& Other) noexcept : FFd(Other.Release()) {}
  TFd& operator=(TFd&& Other) noexcept {
    Reset(Other.Release());
    return *this;
  }
  int Get() const { return FFd; }
  int Release() {
    int fd = FFd;
    FFd = -1;
    return fd;
  }
  void Reset(int Fd = -1) {
    if (FFd >= 0) ::close(FFd);
    FFd = Fd;
  }

 private:
  int FFd;
};

// A listening socket on 127.0.0.1 with a port the system chose.
inline TFd Listener(TNetStack& Stack, int32_t& Port, int Backlog = 8) {
  TFd s(Stack.NewSocket(Id_SOCK_STREAM, 0));
  Stack.CheckSocketResult(Stack.SockBind(s.Get(), Id_PF_INET4, "127.0.0.1", 0));
  Stack.CheckSocketResult(Stack.SockListen(s.Get(), Backlog));
  int32_t family;
  std::string ip;
  Stack.SockLocalName(s.Get(), family, Port, ip);
  return s;
}

// A connected pair: Client and the accepted Server end.
struct TLoopbackPair {
  TFd Client;
  TFd Server;
};

inline TLoopbackPair ConnectedPair(TNetStack& Stack) {
  int32_t port = 0;
  TFd listening = Listener(Stack, port);
  TLoopbackPair pair;
  pair.Client = TFd(Stack.NewSocket(Id_SOCK_STREAM, 0));
  Stack.CheckSocketResult(Stack.SockConnect(pair.Client.Get(), Id_PF_INET4, "127.0.0.1", port));
  std::string ip;
  int32_t peerPort;
  pair.Server = TFd(Stack.SockAccept(listening.Get(), ip, peerPort));
  Stack.CheckSocketResult(pair.Server.Get());
  return pair;
}

// A loopback port with nothing listening on it (bound, then closed).
inline int32_t ClosedPort(TNetStack& Stack) {
  TFd s(Stack.NewSocket(Id_SOCK_STREAM, 0));
  Stack.CheckSocketResult(Stack.SockBind(s.Get(), Id_PF_INET4, "127.0.0.1", 0));
  int32_t family, port;
  std::string ip;
  Stack.SockLocalName(s.Get(), family, port, ip);
  return port;
}

inline int64_t MillisSince(std::chrono::steady_clock::time_point Start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - Start).count();
}
