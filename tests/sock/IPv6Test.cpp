// The socket layer with IPv6: address texts of both families, sockets bound,
// accepted and named on ::1, every address of a name, and the staggered
// connect that tries several addresses one after another.
#include <chrono>
#include <thread>

#include "IPv6Loopback.h"
#include "NetExceptions.h"
#include "NetSocketHandle.h"
#include "SockTestSupport.h"

namespace {

// A listening socket on ::1 with a port the system chose.
UniqueFd ListenerV6(TNetStack& Stack, int32_t& Port) {
  UniqueFd s(Stack.NewSocket(Id_PF_INET6, Id_SOCK_STREAM, 0));
  Stack.CheckSocketResult(Stack.SockBind(s.Get(), Id_PF_INET6, "::1", 0));
  Stack.CheckSocketResult(Stack.SockListen(s.Get(), 8));
  int32_t family;
  std::string ip;
  Stack.SockLocalName(s.Get(), family, Port, ip);
  return s;
}

// A listener that takes one connection into its queue and then lets every
// further connect hang (the queue is full, so the handshakes go unanswered):
// a peer that never answers, without leaving the machine.
struct THangingPeer {
  UniqueFd Listening;
  UniqueFd Filler;
  int32_t Port = 0;
  explicit THangingPeer(TNetStack& Stack) {
    Listening = Listener(Stack, Port, 0);
    Filler = UniqueFd(Stack.NewSocket(Id_SOCK_STREAM, 0));
    Stack.CheckSocketResult(Stack.SockConnect(Filler.Get(), Id_PF_INET4, "127.0.0.1", Port));
  }
};

std::unique_ptr<TNetSocketHandle> Candidate(const std::string& AIP, int32_t APort) {
  auto handle = std::make_unique<TNetSocketHandle>();
  handle->OpenSocket(Id_SOCK_STREAM, 0, TNetStack::AddressFamily(AIP));
  handle->SetRemote(AIP, APort);
  return handle;
}

}  // namespace

using IPv6Texts = TStackFixture;

TEST_F(IPv6Texts, AddressTextsOfBothFamilies) {
  struct Row {
    const char* Text;
    bool IPv6;
    bool Literal;
    int32_t Family;
  };
  const Row rows[] = {
      {"::1", true, true, Id_PF_INET6},
      {"2001:db8::5", true, true, Id_PF_INET6},
      {"::ffff:192.0.2.1", true, true, Id_PF_INET6},
      {"fe80::1%1", true, true, Id_PF_INET6},
      {"127.0.0.1", false, true, Id_PF_INET4},
      {"10.1", false, true, Id_PF_INET4},
      {"[::1]", false, false, Id_PF_INET6},  // brackets belong to the host field, not to the address
      {"1:2:3", false, false, Id_PF_INET6},
      {"example.org", false, false, Id_PF_INET4},
      {"", false, false, Id_PF_INET4},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(Stack().IsIPv6Address(r.Text), r.IPv6) << r.Text;
    EXPECT_EQ(Stack().IsIPLiteral(r.Text), r.Literal) << r.Text;
    EXPECT_EQ(TNetStack::AddressFamily(r.Text), r.Family) << r.Text;
  }
  EXPECT_EQ(TNetStack::UnbracketHost("[::1]"), "::1");
  EXPECT_EQ(TNetStack::UnbracketHost("::1"), "::1");
  EXPECT_EQ(TNetStack::UnbracketHost("[host"), "[host");
}

TEST_F(IPv6Texts, HostsResolveToTheAddressesToTry) {
  EXPECT_EQ(Stack().ResolveHostAddresses("::1"), TStringList{"::1"});
  EXPECT_EQ(Stack().ResolveHostAddresses("[::1]"), TStringList{"::1"});
  EXPECT_EQ(Stack().ResolveHostAddresses("[2001:db8::5]"), TStringList{"2001:db8::5"});
  EXPECT_EQ(Stack().ResolveHostAddresses("127.0.0.1"), TStringList{"127.0.0.1"});
  EXPECT_EQ(Stack().ResolveHostAddresses("10.1"), TStringList{"10.1"});  // the short form stays as it is
  EXPECT_EQ(Stack().ResolveHostAddresses("LocalHost"), TStringList{"127.0.0.1"});
  // The IPv4 resolution keeps its behaviour.
  EXPECT_EQ(Stack().ResolveHostName("localhost"), "127.0.0.1");
  try {
    Stack().ResolveHostAddresses("no-such-host.invalid");
    FAIL() << "no exception";
  } catch (const ENetSocketError& e) {
    EXPECT_EQ(e.SocketErrorCode, 11001);
  }
}

TEST_F(IPv6Texts, AddressesCompareAsAddresses) {
  struct Row {
    const char* A;
    const char* B;
    bool Same;
  };
  const Row rows[] = {
      {"127.0.0.1", "127.0.0.1", true},
      {"127.0.0.1", "::ffff:127.0.0.1", true},  // IPv4-mapped equals its IPv4 address
      {"::FFFF:7f00:1", "127.0.0.1", true},
      {"::1", "0:0:0:0:0:0:0:1", true},
      {"[::1]", "::1", true},
      {"2001:DB8::5", "2001:db8::5", true},
      {"::1", "127.0.0.1", false},
      {"127.0.0.1", "127.0.0.2", false},
      {"::ffff:127.0.0.2", "127.0.0.1", false},
      {"host", "host", true},
      {"host", "HOST", false},
  };
  for (const Row& r : rows) EXPECT_EQ(Stack().SameAddress(r.A, r.B), r.Same) << r.A << " / " << r.B;
}

using IPv6Sockets = TStackFixture;

TEST_F(IPv6Sockets, BindConnectAcceptAndNamesOnTheLoopback) {
  SKIP_WITHOUT_IPV6_LOOPBACK();
  int32_t port = 0;
  UniqueFd listening = ListenerV6(Stack(), port);
  UniqueFd client(Stack().NewSocket(Id_PF_INET6, Id_SOCK_STREAM, 0));
  ASSERT_EQ(Stack().SockConnect(client.Get(), Id_PF_INET6, "::1", port), 0);
  std::string ip;
  int32_t peerPort = 0;
  UniqueFd server(Stack().SockAccept(listening.Get(), ip, peerPort));
  ASSERT_NE(server.Get(), InvalidSocket);
  EXPECT_EQ(ip, "::1");

  int32_t family = 0, localPort = 0;
  std::string local;
  Stack().SockLocalName(client.Get(), family, localPort, local);
  EXPECT_EQ(family, Id_PF_INET6);
  EXPECT_EQ(local, "::1");
  EXPECT_EQ(localPort, peerPort);
  Stack().SockPeerName(client.Get(), family, localPort, local);
  EXPECT_EQ(local, "::1");
  EXPECT_EQ(localPort, port);

  // An IPv4 text on an IPv6 socket is no address of its family.
  EXPECT_THROW(Stack().SockConnect(client.Get(), Id_PF_INET6, "127.0.0.1", port), ENetInvalidIPAddress);
}

TEST_F(IPv6Sockets, HandleBindsAndConnectsInItsFamily) {
  SKIP_WITHOUT_IPV6_LOOPBACK();
  int32_t port = 0;
  UniqueFd listening = ListenerV6(Stack(), port);
  TNetSocketHandle handle;
  handle.OpenSocket(Id_SOCK_STREAM, 0, Id_PF_INET6);
  EXPECT_EQ(handle.Family, Id_PF_INET6);
  handle.IP = "::1";
  handle.BindLocal();
  EXPECT_EQ(handle.IP, "::1");
  EXPECT_GT(handle.Port, 0);
  handle.SetRemote("::1", port);
  ASSERT_EQ(handle.ConnectPeer(handle.Family), 0);
  EXPECT_EQ(handle.RemoteIP, "::1");
  EXPECT_EQ(handle.RemotePort, port);
}

using StaggeredConnect = TStackFixture;

// The resolver's order is kept: the first address that answers wins even
// when a later one would answer too.
TEST_F(StaggeredConnect, TheFirstAddressThatAnswersWins) {
  int32_t first = 0, second = 0;
  UniqueFd a = Listener(Stack(), first);
  UniqueFd b = Listener(Stack(), second);
  auto h0 = Candidate("127.0.0.1", first);
  auto h1 = Candidate("127.0.0.1", second);
  size_t winner = 99;
  ASSERT_EQ(TNetSocketHandle::ConnectFirst({h0.get(), h1.get()}, ConnectAttemptDelay, nullptr, winner), 0);
  EXPECT_EQ(winner, 0u);
  EXPECT_EQ(h0->RemotePort, first);
}

// A refused address gives way at once; one that does not answer gives way
// after the attempt delay, and the time-out-less wait ends with the winner.
TEST_F(StaggeredConnect, ARefusedAddressGivesWayAtOnceAnUnansweredOneAfterTheDelay) {
  int32_t port = 0;
  UniqueFd good = Listener(Stack(), port);
  {
    auto refused = Candidate("127.0.0.1", FindFreePort());
    auto h1 = Candidate("127.0.0.1", port);
    size_t winner = 99;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(TNetSocketHandle::ConnectFirst({refused.get(), h1.get()}, 5000, nullptr, winner), 0);
    EXPECT_EQ(winner, 1u);
    EXPECT_LT(MillisSince(start), 2000);  // not the 5 s delay
  }
  {
    THangingPeer hanging(Stack());
    auto silent = Candidate("127.0.0.1", hanging.Port);
    auto h1 = Candidate("127.0.0.1", port);
    size_t winner = 99;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(TNetSocketHandle::ConnectFirst({silent.get(), h1.get()}, ConnectAttemptDelay, nullptr, winner), 0);
    const int64_t took = MillisSince(start);
    EXPECT_EQ(winner, 1u);
    EXPECT_GE(took, ConnectAttemptDelay - 20);
    EXPECT_LT(took, 3000);
  }
}

TEST_F(StaggeredConnect, AllRefusedGivesTheLastError) {
  auto h0 = Candidate("127.0.0.1", FindFreePort());
  auto h1 = Candidate("127.0.0.1", FindFreePort());
  size_t winner = 99;
  ASSERT_EQ(TNetSocketHandle::ConnectFirst({h0.get(), h1.get()}, ConnectAttemptDelay, nullptr, winner), SocketError);
  EXPECT_EQ(Stack().SockLastError(), 10061);
}

TEST_F(StaggeredConnect, ACancelEndsTheWait) {
  THangingPeer hanging(Stack());
  THangingPeer hanging2(Stack());
  auto h0 = Candidate("127.0.0.1", hanging.Port);
  auto h1 = Candidate("127.0.0.1", hanging2.Port);
  TNetCancelSignal cancel;
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    cancel.Cancel();
  });
  size_t winner = 99;
  const auto start = std::chrono::steady_clock::now();
  const int32_t rc = TNetSocketHandle::ConnectFirst({h0.get(), h1.get()}, ConnectAttemptDelay, &cancel, winner);
  canceller.join();
  EXPECT_EQ(rc, SocketError);
  EXPECT_EQ(Stack().SockLastError(), 10004);
  EXPECT_LT(MillisSince(start), 3000);
}

// Both families side by side: an IPv6 address that is refused, then IPv4.
TEST_F(StaggeredConnect, FamiliesMix) {
  SKIP_WITHOUT_IPV6_LOOPBACK();
  int32_t port = 0;
  UniqueFd good = Listener(Stack(), port);
  int32_t v6port = 0;
  { UniqueFd gone = ListenerV6(Stack(), v6port); }  // closed again: refused
  auto h0 = Candidate("::1", v6port);
  auto h1 = Candidate("127.0.0.1", port);
  size_t winner = 99;
  ASSERT_EQ(TNetSocketHandle::ConnectFirst({h0.get(), h1.get()}, ConnectAttemptDelay, nullptr, winner), 0);
  EXPECT_EQ(winner, 1u);
  EXPECT_EQ(h1->RemoteIP, "127.0.0.1");
  EXPECT_EQ(h1->Family, Id_PF_INET4);
}
