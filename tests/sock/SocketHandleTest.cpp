// Socket handles: binding (fixed port, port ranges top down, the three bind
// errors), connecting, accepting into the handle that listened, and the
// state changes of release, clear and reopen.
#include <unistd.h>

#include "NetExceptions.h"
#include "NetSocketHandle.h"
#include "SockTestSupport.h"

namespace {

// The local port a raw socket is bound to (0 when unbound).
int32_t BoundPort(TNetStack& Stack, int Fd) {
  int32_t family, port;
  std::string ip;
  Stack.SockLocalName(Fd, family, port, ip);
  return port;
}

// Three consecutive loopback ports, each held by a bound socket of ours.
// They are taken below the system's ephemeral range (32768 and up), so that
// no connect elsewhere grabs a port the test has just set free.
struct TBlockedPorts {
  int32_t Base = 0;
  std::vector<UniqueFd> Holders;
  void Free(int32_t Port) { Holders[static_cast<size_t>(Port - Base)].Reset(); }
};

TBlockedPorts BlockThreePorts(TNetStack& Stack) {
  for (int32_t base = 20000 + static_cast<int32_t>(::getpid() % 300) * 40; base < 32700; base += 7) {
    TBlockedPorts b;
    b.Base = base;
    bool ok = true;
    for (int32_t p = base; p < base + 3 && ok; ++p) {
      UniqueFd s(Stack.NewSocket(Id_SOCK_STREAM, 0));
      ok = !Stack.CheckSocketResult(Stack.SockBind(s.Get(), Id_PF_INET4, "127.0.0.1", p), {10048});
      b.Holders.push_back(std::move(s));
    }
    if (ok) return b;
  }
  ADD_FAILURE() << "no three free consecutive ports";
  return {};
}

std::unique_ptr<TNetSocketHandle> OpenHandle(const std::string& IP = "127.0.0.1") {
  auto h = std::make_unique<TNetSocketHandle>();
  h->OpenSocket();
  h->IP = IP;
  return h;
}

}  // namespace

using HandleBind = TStackFixture;

TEST_F(HandleBind, PortZeroWithoutARangeTakesThePortTheSystemChose) {
  auto h = OpenHandle();
  h->BindLocal();
  EXPECT_GT(h->Port, 0);
  EXPECT_EQ(h->IP, "127.0.0.1");
  EXPECT_EQ(BoundPort(Stack(), h->OsHandle), h->Port);

  auto any = OpenHandle("");
  any->BindLocal();
  EXPECT_EQ(any->IP, "0.0.0.0");
  EXPECT_GT(any->Port, 0);
}

TEST_F(HandleBind, ARangeIsTriedFromTheTopDown) {
  TBlockedPorts ports = BlockThreePorts(Stack());
  const int32_t lo = ports.Base, hi = ports.Base + 2;

  // All three in use: the range error names min, then max.
  auto h = OpenHandle();
  h->ClientPortMin = lo;
  h->ClientPortMax = hi;
  try {
    h->BindLocal();
    FAIL() << "no exception";
  } catch (const ENetCanNotBindPortInRange& e) {
    EXPECT_EQ(std::string(e.what()), "Can not bind in port range (" + std::to_string(lo) + " - " +
                                         std::to_string(hi) + ")");
  }
  EXPECT_EQ(h->Port, lo);  // left at the bottom of the range
  EXPECT_TRUE(h->HasOsHandle);
  EXPECT_EQ(BoundPort(Stack(), h->OsHandle), 0);  // open and unbound

  // The middle one free: only it can be taken.
  ports.Free(lo + 1);
  h->Port = 0;
  h->BindLocal();
  EXPECT_EQ(h->Port, lo + 1);

  // The top and the bottom free: the top wins.
  ports.Free(lo);
  ports.Free(hi);
  auto top = OpenHandle();
  top->ClientPortMin = lo;
  top->ClientPortMax = hi;
  top->BindLocal();
  EXPECT_EQ(top->Port, hi);
  EXPECT_EQ(BoundPort(Stack(), top->OsHandle), hi);
}

TEST_F(HandleBind, AnInvertedRangeIsRefusedWithoutBinding) {
  auto h = OpenHandle();
  h->ClientPortMin = 6000;
  h->ClientPortMax = 5000;
  try {
    h->BindLocal();
    FAIL() << "no exception";
  } catch (const ENetInvalidPortRange& e) {
    EXPECT_STREQ(e.what(), "Invalid Port Range (6000 - 5000)");
  }
  EXPECT_EQ(BoundPort(Stack(), h->OsHandle), 0);
  EXPECT_FALSE(h->BindInRange());
}

TEST_F(HandleBind, AFixedPortIgnoresTheRangeAndMayBeInUse) {
  TBlockedPorts ports = BlockThreePorts(Stack());
  const int32_t fixedPort = FindFreePort();
  auto h = OpenHandle();
  h->Port = fixedPort;
  h->ClientPortMin = ports.Base;
  h->ClientPortMax = ports.Base + 2;
  h->BindLocal();
  EXPECT_EQ(h->Port, fixedPort);

  auto taken = OpenHandle();
  taken->Port = ports.Base;
  try {
    taken->BindLocal();
    FAIL() << "no exception";
  } catch (const ENetCouldNotBindSocket& e) {
    EXPECT_STREQ(e.what(), "Could not bind socket. Address and port are already in use.");
  }

  // Half a range is no range: one attempt at port 0.
  auto half = OpenHandle();
  half->ClientPortMin = ports.Base;
  half->BindLocal();
  EXPECT_GT(half->Port, 0);
  EXPECT_NE(half->Port, ports.Base);
}

TEST_F(HandleBind, OtherBindErrorsRaiseTheSocketError) {
  auto h = OpenHandle("192.0.2.1");
  try {
    h->BindLocal();
    FAIL() << "no exception";
  } catch (const ENetSocketError& e) {
    EXPECT_EQ(e.SocketErrorCode, 10049);
  }
  auto bad = OpenHandle("not-an-address");
  EXPECT_THROW(bad->BindLocal(), ENetInvalidIPAddress);
}

// ---------------------------------------------------------------------------

using HandleConnect = TStackFixture;

TEST_F(HandleConnect, AcceptTakesOverTheListeningHandle) {
  auto handle = OpenHandle();
  handle->BindLocal();
  handle->StartListen(5);
  const TNetSocket listening = handle->OsHandle;
  const int32_t listenPort = handle->Port;

  auto client = OpenHandle("");
  client->SetRemote("127.0.0.1", listenPort);
  ASSERT_EQ(client->ConnectPeer(), 0);
  EXPECT_EQ(client->RemoteIP, "127.0.0.1");
  EXPECT_EQ(client->RemotePort, listenPort);
  EXPECT_EQ(client->IP, "127.0.0.1");
  EXPECT_GT(client->Port, 0);

  ASSERT_TRUE(handle->AcceptFrom(listening));
  EXPECT_TRUE(handle->HasOsHandle);
  EXPECT_NE(handle->OsHandle, listening);
  EXPECT_EQ(handle->IP, "127.0.0.1");  // the local end ...
  EXPECT_EQ(handle->Port, listenPort);
  EXPECT_EQ(handle->RemoteIP, "127.0.0.1");  // ... and the sender
  EXPECT_EQ(handle->RemotePort, client->Port);
  // The listening socket is the caller's to close.
  EXPECT_EQ(Stack().SockClose(listening), 0);

  EXPECT_EQ(client->SendBytes("ping", 4), 4);
  char buffer[8];
  EXPECT_EQ(handle->RecvBytes(buffer, sizeof buffer), 4);
  EXPECT_EQ(handle->SendBytes("pong", 4), 4);
  EXPECT_EQ(client->RecvBytes(buffer, sizeof buffer), 4);
  EXPECT_EQ(std::string(buffer, 4), "pong");

  const int32_t one = 1;
  client->SetOption(Id_IPPROTO_TCP, Id_TCP_NODELAY, &one, sizeof one);
  EXPECT_THROW(client->SetOption(Id_IPPROTO_TCP, 9999, &one, sizeof one), ENetSocketError);
}

TEST_F(HandleConnect, AcceptOnAClosedListenerReturnsFalse) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);  // a descriptor that is no socket (10038)
  UniqueFd r(fds[0]), w(fds[1]);
  auto handle = OpenHandle();
  handle->RemoteIP = "1.2.3.4";
  EXPECT_FALSE(handle->AcceptFrom(r.Get()));
  EXPECT_FALSE(handle->HasOsHandle);
  EXPECT_EQ(handle->OsHandle, InvalidSocket);
  EXPECT_EQ(handle->IP, "");
  EXPECT_EQ(handle->RemoteIP, "");
  EXPECT_EQ(Stack().LastSocketError.load(), 10038);
}

TEST_F(HandleConnect, ConnectResultsComeBackUnraised) {
  auto client = OpenHandle("");
  client->SetRemote("127.0.0.1", FindFreePort());
  EXPECT_EQ(client->ConnectPeer(), SocketError);
  EXPECT_EQ(Stack().SockLastError(), 10061);

  int32_t port = 0;
  UniqueFd listening = Listener(Stack(), port);
  auto cancellable = OpenHandle("");
  cancellable->SetRemote("127.0.0.1", port);
  TNetCancelSignal cancel;
  ASSERT_EQ(cancellable->ConnectPeerCancellable(Id_PF_INET4, cancel), 0);
  EXPECT_EQ(cancellable->IP, "127.0.0.1");  // refreshed like ConnectPeer
  EXPECT_GT(cancellable->Port, 0);
  EXPECT_EQ(cancellable->RemotePort, port);
}

// ---------------------------------------------------------------------------

using HandleState = TStackFixture;

TEST_F(HandleState, ReleaseClearAndReopen) {
  int32_t port = 0;
  UniqueFd listening = Listener(Stack(), port);
  auto h = OpenHandle("");
  h->SetRemote("127.0.0.1", port);
  h->ClientPortMin = 7000;
  h->ClientPortMax = 7010;
  ASSERT_EQ(h->ConnectPeer(), 0);
  std::string ip;
  int32_t peerPort;
  UniqueFd server(Stack().SockAccept(listening.Get(), ip, peerPort));

  // Reopening releases the old socket: the peer sees the end of the stream.
  h->OpenSocket();
  char c;
  EXPECT_EQ(Stack().SockRecv(server.Get(), &c, 1, 0), 0);
  EXPECT_TRUE(h->HasOsHandle);
  EXPECT_EQ(h->RemotePort, port);  // the addresses survive

  const TNetSocket old = h->OsHandle;
  h->ReleaseSocket();
  EXPECT_FALSE(h->HasOsHandle);
  EXPECT_EQ(h->OsHandle, old);  // until ClearBinding
  h->ReleaseSocket();           // released: nothing happens
  EXPECT_THROW(h->WaitReadable(0), ENetConnClosedGracefully);
  EXPECT_EQ(h->RemoteIP, "127.0.0.1");

  h->ClearBinding(false);
  EXPECT_EQ(h->OsHandle, InvalidSocket);
  EXPECT_EQ(h->IP, "127.0.0.1");
  EXPECT_EQ(h->RemoteIP, "");
  EXPECT_EQ(h->RemotePort, 0);
  h->ClearBinding(true);
  EXPECT_EQ(h->IP, "");
  EXPECT_EQ(h->Port, 0);
  EXPECT_EQ(h->ClientPortMin, 7000);
  EXPECT_EQ(h->ClientPortMax, 7010);
}

TEST_F(HandleState, DestroyingAHandleReleasesItsSocket) {
  int32_t port = 0;
  UniqueFd listening = Listener(Stack(), port);
  auto h = OpenHandle("");
  h->SetRemote("127.0.0.1", port);
  ASSERT_EQ(h->ConnectPeer(), 0);
  std::string ip;
  int32_t peerPort;
  UniqueFd server(Stack().SockAccept(listening.Get(), ip, peerPort));
  h.reset();
  char c;
  EXPECT_EQ(Stack().SockRecv(server.Get(), &c, 1, 0), 0);
}

TEST_F(HandleState, CopyBindingTakesTheFourAddressFields) {
  TNetSocketHandle a, b;
  a.IP = "10.0.0.1";
  a.Port = 1;
  a.RemoteIP = "10.0.0.2";
  a.RemotePort = 2;
  a.ClientPortMin = 5;
  b.Assign(a);
  EXPECT_EQ(b.IP, "10.0.0.1");
  EXPECT_EQ(b.Port, 1);
  EXPECT_EQ(b.RemoteIP, "10.0.0.2");
  EXPECT_EQ(b.RemotePort, 2);
  EXPECT_EQ(b.ClientPortMin, 0);
  EXPECT_FALSE(b.HasOsHandle);
  TNetPersistent other;
  try {
    b.CopyBinding(other);
    FAIL() << "no exception";
  } catch (const EAssignError& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a TNetPersistent to a TNetSocketHandle");
  }
}
