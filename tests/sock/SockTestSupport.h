// Helpers of the socket layer's tests: keeping the stack alive, and loopback
// socket pairs made through the stack itself (the descriptors are held and
// closed by the test support's UniqueFd; a port that refuses is its
// FindFreePort).
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "LoopbackSocket.h"
#include "NetComponent.h"
#include "NetStack.h"

// The stack exists while a counted component does.
class TStackFixture : public ::testing::Test {
 protected:
  TNetStack& Stack() { return *StackInstance; }
  std::unique_ptr<TNetComponent> FKeeper = std::make_unique<TNetComponent>();
};

// A listening socket on 127.0.0.1 with a port the system chose.
inline UniqueFd Listener(TNetStack& Stack, int32_t& Port, int Backlog = 8) {
  UniqueFd s(Stack.NewSocket(Id_SOCK_STREAM, 0));
  Stack.CheckSocketResult(Stack.SockBind(s.Get(), Id_PF_INET4, "127.0.0.1", 0));
  Stack.CheckSocketResult(Stack.SockListen(s.Get(), Backlog));
  int32_t family;
  std::string ip;
  Stack.SockLocalName(s.Get(), family, Port, ip);
  return s;
}

// A connected pair: Client and the accepted Server end.
struct TLoopbackPair {
  UniqueFd Client;
  UniqueFd Server;
};

inline TLoopbackPair ConnectedPair(TNetStack& Stack) {
  int32_t port = 0;
  UniqueFd listening = Listener(Stack, port);
  TLoopbackPair pair;
  pair.Client = UniqueFd(Stack.NewSocket(Id_SOCK_STREAM, 0));
  Stack.CheckSocketResult(Stack.SockConnect(pair.Client.Get(), Id_PF_INET4, "127.0.0.1", port));
  std::string ip;
  int32_t peerPort;
  pair.Server = UniqueFd(Stack.SockAccept(listening.Get(), ip, peerPort));
  Stack.CheckSocketResult(pair.Server.Get());
  return pair;
}

inline int64_t MillisSince(std::chrono::steady_clock::time_point Start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - Start).count();
}
