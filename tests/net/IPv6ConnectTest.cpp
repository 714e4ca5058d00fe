// Client connects to IPv6 literals ("::1" and the bracketed "[::1]" of a host
// field), with and without a time limit, and SOCKS handshakes for an IPv6
// destination.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "IPv6Loopback.h"
#include "NetExceptions.h"
#include "NetTCPClient.h"
#include "ScriptedServer.h"

namespace {

using namespace std::string_literals;

// A listener on ::1 that accepts one client and reads one line from it.
class V6Peer {
 public:
  explicit V6Peer(int APort = 0) {
    FListen = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_addr = in6addr_loopback;
    sa.sin6_port = htons(static_cast<uint16_t>(APort));
    if (::bind(FListen, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(FListen, 4) != 0)
      throw std::runtime_error("V6Peer: cannot listen on ::1");
    socklen_t len = sizeof sa;
    ::getsockname(FListen, reinterpret_cast<sockaddr*>(&sa), &len);
    FPort = ntohs(sa.sin6_port);
  }
  ~V6Peer() { ::close(FListen); }
  int Port() const { return FPort; }
  // The first line the next client sends, up to its LF.
  std::string AcceptAndReadLine() {
    const int fd = ::accept(FListen, nullptr, nullptr);
    std::string line;
    char c;
    while (fd >= 0 && ::recv(fd, &c, 1, 0) == 1 && c != '\n') line += c;
    if (fd >= 0) ::close(fd);
    return line;
  }

 private:
  int FListen = -1;
  int FPort = 0;
};

// The stack of this platform with one name of the test's own that stands for
// the given addresses, as a dual-stack name in the resolver would.
class TDualNameStack : public TNetStackPosix {
 public:
  static inline TStringList Addresses;
  TStringList SockHostAddresses(const std::string& HostName) override {
    if (HostName == "dual.test") return Addresses;
    return TNetStackPosix::SockHostAddresses(HostName);
  }
};

struct UseDualNameStack {
  TNetStackFactory saved = StackClass;
  UseDualNameStack() {
    StackClass = [] { return std::unique_ptr<TNetStack>(std::make_unique<TDualNameStack>()); };
  }
  ~UseDualNameStack() { StackClass = saved; }
};

}  // namespace

// A name with an IPv4 address that does not answer and an IPv6 one that does:
// after the attempt delay the second one is tried and its socket becomes the
// client's; the first one's attempt is dropped.
TEST(IPv6Connect, ANameTriesItsAddressesWithStaggeredStarts) {
  SKIP_WITHOUT_IPV6_LOOPBACK();
  UseDualNameStack use;
  ASSERT_EQ(StackInstance, nullptr);
  // 127.0.0.1:port takes one connection and then lets connects hang; ::1:port answers.
  const int v4 = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(v4, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(::listen(v4, 0), 0);
  socklen_t len = sizeof sa;
  ::getsockname(v4, reinterpret_cast<sockaddr*>(&sa), &len);
  const int port = ntohs(sa.sin_port);
  const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  V6Peer peer(port);

  TDualNameStack::Addresses = {"127.0.0.1", "::1"};
  for (int32_t timeout : {DefaultTimeLimit, 5000}) {
    SCOPED_TRACE("time-out " + std::to_string(timeout));
    TNetTCPClient client;
    std::vector<std::string> texts;
    client.OnStatus = [&](TNetBaseComponent*, TNetStatus, const std::string& text) { texts.push_back(text); };
    client.Host = "dual.test";
    client.Port = port;
    const auto start = std::chrono::steady_clock::now();
    client.OpenConnection(timeout);
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(took, ConnectAttemptDelay - 20);
    EXPECT_LT(took, 3000);
    EXPECT_EQ(texts, (std::vector<std::string>{"Resolving hostname dual.test.", "Connecting to 127.0.0.1.",
                                               "Connected."}));
    TNetSocketHandle* handle = client.SocketHandler()->SocketHandle();
    EXPECT_EQ(handle->Family, Id_PF_INET6);
    EXPECT_EQ(handle->RemoteIP, "::1");
    client.WriteLine("won");
    EXPECT_EQ(peer.AcceptAndReadLine(), "won\r");
    client.CloseConnection();
  }
  ::close(filler);
  ::close(v4);
}

TEST(IPv6Connect, LiteralAddressesWithAndWithoutBrackets) {
  SKIP_WITHOUT_IPV6_LOOPBACK();
  for (const char* host : {"::1", "[::1]"}) {
    for (int32_t timeout : {DefaultTimeLimit, 5000}) {
      SCOPED_TRACE(std::string(host) + " with time-out " + std::to_string(timeout));
      V6Peer peer;
      TNetTCPClient client;
      std::vector<std::string> texts;
      client.OnStatus = [&](TNetBaseComponent*, TNetStatus, const std::string& text) { texts.push_back(text); };
      client.Host = host;
      client.Port = peer.Port();
      client.OpenConnection(timeout);
      // An address: nothing resolved, and the text shows it without brackets.
      EXPECT_EQ(texts, (std::vector<std::string>{"Connecting to ::1.", "Connected."}));
      TNetSocketHandle* handle = client.SocketHandler()->SocketHandle();
      EXPECT_EQ(handle->Family, Id_PF_INET6);
      EXPECT_EQ(handle->RemoteIP, "::1");
      EXPECT_EQ(handle->IP, "::1");
      client.WriteLine("hello over IPv6");
      EXPECT_EQ(peer.AcceptAndReadLine(), "hello over IPv6\r");
      client.CloseConnection();
    }
  }
}

TEST(IPv6Connect, RefusedLiteralRaisesTheSocketError) {
  SKIP_WITHOUT_IPV6_LOOPBACK();
  int port;
  { V6Peer gone; port = gone.Port(); }
  TNetTCPClient client;
  client.Host = "::1";
  client.Port = port;
  try {
    client.OpenConnection();
    FAIL() << "no exception";
  } catch (const ENetSocketError& e) {
    EXPECT_EQ(e.SocketErrorCode, 10061);
  }
}

// SOCKS 5 carries an IPv6 destination as address type 4 (16 bytes), with or
// without the brackets of the host field; SOCKS 4 and 4A cannot carry it.
TEST(IPv6Connect, SocksForAnIPv6Destination) {
  const std::string request = "\x05\x01\x00\x04"s + std::string(15, '\0') + "\x01" + "\x00\x15"s;
  const std::string reply = "\x05\x00\x00\x04"s + std::string(16, '\0') + "\x00\x15"s;
  for (const char* host : {"::1", "[::1]"}) {
    ScriptedServer proxy(Script().ReadBytes(3).Send("\x05\x00"s).ReadBytes(request.size()).Send(reply + "220 hi\r\n"));
    TNetTCPClient client;
    auto* handler = client.CreateComponent<TNetIOHandlerSocket>();
    client.SetIOHandler(handler);
    handler->SocksInfo()->Version = svSocks5;
    handler->SocksInfo()->Host = "127.0.0.1";
    handler->SocksInfo()->Port = proxy.Port();
    client.Host = host;
    client.Port = 21;
    client.ReadTimeout = 5000;
    client.OpenConnection();
    EXPECT_EQ(client.ReadLine(), "220 hi");
    ASSERT_TRUE(proxy.WaitDone());
    EXPECT_EQ(proxy.ErrorText(), "");
    EXPECT_EQ(proxy.Reads(0).at(1), request) << host;
  }

  for (TSocksVersion version : {svSocks4, svSocks4A}) {
    ScriptedServer proxy(Script().ExpectEof());
    TNetTCPClient client;
    auto* handler = client.CreateComponent<TNetIOHandlerSocket>();
    client.SetIOHandler(handler);
    handler->SocksInfo()->Version = version;
    handler->SocksInfo()->Host = "127.0.0.1";
    handler->SocksInfo()->Port = proxy.Port();
    client.Host = "::1";
    client.Port = 21;
    try {
      client.OpenConnection();
      FAIL() << "no exception";
    } catch (const ENetSocksError& e) {
      EXPECT_STREQ(e.what(), "SOCKS 4 cannot carry the IPv6 address ::1.");
    }
    ASSERT_TRUE(proxy.WaitForConnections(1));
    ASSERT_TRUE(proxy.WaitDone());
    EXPECT_EQ(proxy.ErrorText(), "");
    EXPECT_EQ(proxy.Received(0), "");  // refused before a byte was sent
  }
}
