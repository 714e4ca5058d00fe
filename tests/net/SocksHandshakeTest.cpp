// SOCKS 4, 4A and 5 handshakes against scripted proxies on 127.0.0.1: the
// exact request bytes, every refusal with its message, the bound address of a
// SOCKS 5 reply, proxies that close in the middle, and over-long fields.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <typeinfo>
#include <vector>

#include "NetExceptions.h"
#include "NetTCPClient.h"
#include "ScriptedServer.h"
#include "ScriptedSocks.h"

namespace {

using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

// A TCP client whose own socket handler goes through the proxy at
// 127.0.0.1:AProxyPort to AHost:APort.
struct ProxiedClient {
  ProxiedClient(TSocksVersion AVersion, int AProxyPort, const std::string& AHost = "ftp.example.invalid",
                int APort = 21) {
    handler = client.CreateComponent<TNetIOHandlerSocket>();
    client.SetIOHandler(handler);
    socks = handler->SocksInfo();
    socks->Version = AVersion;
    socks->Host = "127.0.0.1";
    socks->Port = AProxyPort;
    client.Host = AHost;
    client.Port = APort;
    client.ReadTimeout = 5000;
    auto record = [this](TNetBaseComponent*, TNetStatus, const std::string& text) { statuses.push_back(text); };
    client.OnStatus = record;
    handler->OnStatus = record;
  }

  TNetTCPClient client;
  TNetIOHandlerSocket* handler;
  TNetSocksInfo* socks;
  std::vector<std::string> statuses;
};

const std::string kGranted4 = "\0\x5a\0\0\0\0\0\0"s;
const std::string kMethodNone = "\x05\x00"s;
const std::string kReplyIPv4 = "\x05\x00\x00\x01\x7f\x00\x00\x01\x04\x00"s;
// SOCKS 5 CONNECT for ftp.example.invalid:21, as address type 3.
const std::string kConnect5 = "\x05\x01\x00\x03\x13" "ftp.example.invalid" "\x00\x15"s;

// Runs the connect and returns the exception it raised (its class and text).
struct Failure {
  const std::type_info* type = nullptr;
  std::string text;
  bool socksFamily = false;
};

Failure ConnectFailure(ProxiedClient& AClient) {
  try {
    AClient.client.OpenConnection();
  } catch (const ENetSocksError& e) {
    return {&typeid(e), e.what(), true};
  } catch (const std::exception& e) {
    return {&typeid(e), e.what(), false};
  }
  return {};
}

}  // namespace

TEST(SocksHandshake, Socks4RequestBytes) {
  // Empty user id: exactly 9 bytes, the reply may come in pieces.
  ScriptedServer proxy(Script().ReadBytes(9).SendByteByByte(kGranted4, 2).Send("220 hi\r\n").ReadLine());
  ProxiedClient c(svSocks4, proxy.Port(), "127.0.0.1", 21);
  c.client.OpenConnection();
  EXPECT_EQ(c.client.ReadLine(), "220 hi");
  c.client.WriteLine("bye");
  ASSERT_TRUE(proxy.WaitDone());
  EXPECT_EQ(proxy.ErrorText(), "");
  EXPECT_EQ(proxy.Reads(0).at(0), "\x04\x01\x00\x15\x7f\x00\x00\x01\x00"s);
  EXPECT_EQ(proxy.Reads(0).at(1), "bye\r\n");
  // The link went to the proxy; the destination is no status of its own.
  EXPECT_EQ(c.statuses, (std::vector<std::string>{"Connecting to 127.0.0.1.", "Connected."}));

  // A user id, and a destination name resolved here.
  ScriptedServer second(Script().ReadBytes(14).Send(kGranted4 + "220 hi\r\n"));
  ProxiedClient d(svSocks4, second.Port(), "localhost", 2121);
  d.socks->Username = "alice";
  d.client.OpenConnection();
  EXPECT_EQ(d.client.ReadLine(), "220 hi");
  ASSERT_TRUE(second.WaitDone());
  EXPECT_EQ(second.Received(0), "\x04\x01\x08\x49\x7f\x00\x00\x01" "alice\0"s);
}

TEST(SocksHandshake, Socks4AAddressAndHostAfterUserId) {
  // The name is not resolved here: an .invalid name still reaches the proxy.
  ScriptedServer proxy(Script().ReadBytes(32).Send(kGranted4 + "220 hi\r\n"));
  ProxiedClient c(svSocks4A, proxy.Port());
  c.socks->Username = "bob";
  c.client.OpenConnection();
  EXPECT_EQ(c.client.ReadLine(), "220 hi");
  ASSERT_TRUE(proxy.WaitDone());
  EXPECT_EQ(proxy.ErrorText(), "");
  EXPECT_EQ(proxy.Received(0), "\x04\x01\x00\x15\x00\x00\x00\x01" "bob\0" "ftp.example.invalid\0"s);
}

TEST(SocksHandshake, Socks5RequestBytes) {
  ScriptedServer proxy(Script().ReadBytes(3).Send(kMethodNone).ReadBytes(kConnect5.size()).Send(kReplyIPv4 +
                                                                                                "220 hi\r\n"));
  ProxiedClient c(svSocks5, proxy.Port());
  c.socks->Username = "ignored";  // no authentication asked for: not sent
  c.client.OpenConnection();
  EXPECT_EQ(c.client.ReadLine(), "220 hi");
  ASSERT_TRUE(proxy.WaitDone());
  EXPECT_EQ(proxy.ErrorText(), "");
  EXPECT_EQ(proxy.Reads(0), (std::vector<std::string>{"\x05\x01\x00"s, kConnect5}));

  // User name and password (RFC 1929), every answer byte by byte.
  ScriptedServer auth(Script()
                          .ReadBytes(3)
                          .SendByteByByte("\x05\x02"s, 2)
                          .ReadBytes(14)
                          .SendByteByByte("\x01\x00"s, 2)
                          .ReadBytes(kConnect5.size())
                          .SendByteByByte(kReplyIPv4 + "220 hi\r\n", 1));
  ProxiedClient d(svSocks5, auth.Port());
  d.socks->Authentication = saUsernamePassword;
  d.socks->Username = "alice";
  d.socks->Password = "secret";
  d.client.OpenConnection();
  EXPECT_EQ(d.client.ReadLine(), "220 hi");
  ASSERT_TRUE(auth.WaitDone());
  EXPECT_EQ(auth.ErrorText(), "");
  EXPECT_EQ(auth.Reads(0), (std::vector<std::string>{"\x05\x01\x02"s, "\x01\x05" "alice\x06" "secret"s, kConnect5}));
}

// The bound address of the reply is read exactly, so the application's first
// byte survives, whatever the address type.
TEST(SocksHandshake, Socks5BoundAddressConsumedExactly) {
  const std::vector<std::string> replies = {
      "\x05\x00\x00\x01\x0a\x00\x00\x01\x04\x00"s,                                // IPv4
      "\x05\x00\x00\x03\x10" "proxy.bound.name" "\x04\x00"s,                       // domain name, length 16
      "\x05\x00\x00\x04"s + std::string(15, '\0') + "\x01" "\x04\x00"s,             // IPv6 ::1
  };
  for (const std::string& reply : replies) {
    SCOPED_TRACE(testing::PrintToString(reply));
    ScriptedServer proxy(
        Script().ReadBytes(3).Send(kMethodNone).ReadBytes(kConnect5.size()).SendByteByByte(reply + "220 hi\r\n", 0));
    ProxiedClient c(svSocks5, proxy.Port());
    c.client.OpenConnection();
    EXPECT_EQ(c.client.ReadLine(), "220 hi");
    ASSERT_TRUE(proxy.WaitDone());
  }
}

TEST(SocksHandshake, Socks4Refusals) {
  struct Case {
    int code;
    const std::type_info& type;
    const char* text;
  };
  const Case cases[] = {
      {91, typeid(ENetSocksRequestFailed), "Request rejected or failed."},
      {92, typeid(ENetSocksRequestServerFailed), "Request rejected because SOCKS server cannot connect."},
      {93, typeid(ENetSocksRequestIdentFailed),
       "Request rejected because the client program and identd report different user-ids."},
      {0, typeid(ENetSocksUnknownError), "Unknown socks error."},
      {95, typeid(ENetSocksUnknownError), "Unknown socks error."},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.code);
    SocksProxyOptions o;
    o.Socks4Result = k.code;
    ScriptedSocksProxy proxy(o);
    ProxiedClient c(k.code == 93 ? svSocks4A : svSocks4, proxy.Port(), "127.0.0.1", 21);
    const Failure f = ConnectFailure(c);
    ASSERT_NE(f.type, nullptr);
    EXPECT_EQ(*f.type, k.type);
    EXPECT_EQ(f.text, k.text);
    EXPECT_FALSE(c.client.IsConnected());
    ASSERT_TRUE(proxy.WaitForRequests(1));
  }
}

TEST(SocksHandshake, Socks5Refusals) {
  struct Case {
    int reply;
    const std::type_info& type;
    const char* text;
  };
  const Case cases[] = {
      {1, typeid(ENetSocksServerGeneralError), "General SOCKS server failure."},
      {2, typeid(ENetSocksServerPermissionError), "Connection not allowed by ruleset."},
      {3, typeid(ENetSocksServerNetUnreachableError), "Network unreachable."},
      {4, typeid(ENetSocksServerHostUnreachableError), "Host unreachable."},
      {5, typeid(ENetSocksServerConnectionRefusedError), "Connection refused."},
      {6, typeid(ENetSocksServerTTLExpiredError), "TTL expired."},
      {7, typeid(ENetSocksServerCommandError), "Command not supported."},
      {8, typeid(ENetSocksServerAddressError), "Address type not supported."},
      {9, typeid(ENetSocksUnknownError), "Unknown socks error."},
      {255, typeid(ENetSocksUnknownError), "Unknown socks error."},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.reply);
    SocksProxyOptions o;
    o.Socks5Reply = k.reply;
    ScriptedSocksProxy proxy(o);
    ProxiedClient c(svSocks5, proxy.Port());
    const Failure f = ConnectFailure(c);
    ASSERT_NE(f.type, nullptr);
    EXPECT_EQ(*f.type, k.type);
    EXPECT_EQ(f.text, k.text);
    EXPECT_FALSE(c.client.IsConnected());
  }
}

TEST(SocksHandshake, Socks5MethodAndAuthenticationRefusals) {
  struct Case {
    int method;  // the proxy's answer to the offer
    bool offerPassword;
    const std::type_info& type;
    const char* text;
  };
  const Case cases[] = {
      {255, false, typeid(ENetSocksAuthMethodError), "Invalid socks authentication method."},
      {255, true, typeid(ENetSocksAuthMethodError), "Invalid socks authentication method."},
      {2, false, typeid(ENetSocksAuthMethodError), "Invalid socks authentication method."},
      {0, true, typeid(ENetSocksAuthMethodError), "Invalid socks authentication method."},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.method);
    SocksProxyOptions o;
    o.Socks5Method = k.method;
    ScriptedSocksProxy proxy(o);
    ProxiedClient c(svSocks5, proxy.Port());
    if (k.offerPassword) c.socks->Authentication = saUsernamePassword;
    const Failure f = ConnectFailure(c);
    ASSERT_NE(f.type, nullptr);
    EXPECT_EQ(*f.type, k.type);
    EXPECT_EQ(f.text, k.text);
  }

  SocksProxyOptions o;
  o.Username = "alice";
  o.Password = "right";
  ScriptedSocksProxy proxy(o);
  ProxiedClient c(svSocks5, proxy.Port());
  c.socks->Authentication = saUsernamePassword;
  c.socks->Username = "alice";
  c.socks->Password = "wrong";
  const Failure f = ConnectFailure(c);
  ASSERT_NE(f.type, nullptr);
  EXPECT_EQ(*f.type, typeid(ENetSocksAuthError));
  EXPECT_EQ(f.text, "Authentication error to socks server.");
  ASSERT_TRUE(proxy.WaitForRequests(1));
  EXPECT_EQ(proxy.Requests()[0].Password, "wrong");

  // The same client gets through once the password is right.
  c.socks->Password = "right";
  ScriptedServer ftp(Script().Send("220 through\r\n"));
  c.client.Port = ftp.Port();
  c.client.Host = "127.0.0.1";
  c.client.OpenConnection();
  EXPECT_EQ(c.client.ReadLine(), "220 through");
}

// A proxy that goes away mid-handshake gives "did not respond" at once,
// never a hang, and never a half-read reply taken as granted.
TEST(SocksHandshake, ProxyClosesMidHandshake) {
  struct Case {
    const char* what;
    TSocksVersion version;
    Script script;
  };
  const std::vector<Case> cases = {
      {"SOCKS 4, no reply", svSocks4, Script().ReadBytes(9).Close()},
      {"SOCKS 4, reply cut after the code", svSocks4, Script().ReadBytes(9).Send("\0\x5a"s).Sleep(50).Close()},
      {"SOCKS 4, reset", svSocks4, Script().ReadBytes(9).Reset()},
      {"SOCKS 5, no method answer", svSocks5, Script().ReadBytes(3).Close()},
      {"SOCKS 5, reset", svSocks5, Script().ReadBytes(3).Reset()},
      {"SOCKS 5, reply cut", svSocks5,
       Script().ReadBytes(3).Send(kMethodNone).ReadBytes(kConnect5.size()).Send("\x05\x00\x00"s).Sleep(50).Close()},
      {"SOCKS 5, bound name cut", svSocks5,
       Script().ReadBytes(3).Send(kMethodNone).ReadBytes(kConnect5.size()).Send("\x05\x00\x00\x03\x10prox"s).Close()},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    ScriptedServer proxy(k.script);
    // SOCKS 4 resolves the destination here; SOCKS 5 sends the name.
    ProxiedClient c(k.version, proxy.Port(), k.version == svSocks5 ? "ftp.example.invalid" : "127.0.0.1", 21);
    const auto start = Clock::now();
    const Failure f = ConnectFailure(c);
    ASSERT_NE(f.type, nullptr);
    EXPECT_EQ(*f.type, typeid(ENetSocksServerRespondError));
    EXPECT_EQ(f.text, "Socks server did not respond.");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_FALSE(c.client.IsConnected());
  }
}

// A proxy that takes the connection and then says nothing, at any step of
// the handshake, is given up on after the connect time-out.
TEST(SocksHandshake, SilentProxyBoundedByConnectTimeout) {
  struct Case {
    const char* what;
    TSocksVersion version;
    Script script;
  };
  const std::vector<Case> cases = {
      {"SOCKS 4, no reply", svSocks4, Script().ReadBytes(9).Sleep(4000)},
      {"SOCKS 5, no method answer", svSocks5, Script().ReadBytes(3).Sleep(4000)},
      {"SOCKS 5, reply cut", svSocks5,
       Script().ReadBytes(3).Send(kMethodNone).ReadBytes(kConnect5.size()).Send("\x05\x00"s).Sleep(4000)},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    ScriptedServer proxy(k.script);
    ProxiedClient c(k.version, proxy.Port(), k.version == svSocks5 ? "ftp.example.invalid" : "127.0.0.1", 21);
    const auto start = Clock::now();
    try {
      c.client.OpenConnection(1000);
      ADD_FAILURE() << "nothing raised";
    } catch (const ENetSocksServerRespondError& e) {
      EXPECT_STREQ(e.what(), "Socks server did not respond.");
    }
    const auto took = Clock::now() - start;
    EXPECT_GT(took, std::chrono::milliseconds(800));
    EXPECT_LT(took, std::chrono::milliseconds(3000));
    EXPECT_FALSE(c.client.IsConnected());
  }
}

// A SOCKS 5 success reply with an address type of no known length is
// refused: guessing its length would eat the first bytes of the greeting.
TEST(SocksHandshake, Socks5UnknownAddressTypeRefused) {
  for (const int type : {0, 2, 5, 9, 255}) {
    SCOPED_TRACE(type);
    const std::string reply = "\x05\x00\x00"s + static_cast<char>(type) + "\x00\x04\x00" "220 hi\r\n"s;
    ScriptedServer proxy(Script().ReadBytes(3).Send(kMethodNone).ReadBytes(kConnect5.size()).Send(reply));
    ProxiedClient c(svSocks5, proxy.Port());
    const Failure f = ConnectFailure(c);
    ASSERT_NE(f.type, nullptr);
    EXPECT_TRUE(f.socksFamily);
    EXPECT_EQ(f.text, "The SOCKS server answered with an unknown address type (" + std::to_string(type) + ").");
    EXPECT_FALSE(c.client.IsConnected());
  }
}

// What cannot travel in a one-byte length field is refused before a single
// byte goes to the proxy; 255 bytes still travel.
TEST(SocksHandshake, OverlongFieldsRefusedBeforeSending) {
  const std::string long256(256, 'n');
  struct Case {
    TSocksVersion version;
    std::string host, user, password;
    const char* text;
  };
  const std::vector<Case> cases = {
      {svSocks5, long256, "", "", "The SOCKS host name is longer than 255 bytes."},
      {svSocks5, "h", long256, "pw", "The SOCKS user name is longer than 255 bytes."},
      {svSocks5, "h", "u", long256, "The SOCKS password is longer than 255 bytes."},
      {svSocks4, "127.0.0.1", long256, "", "The SOCKS user name is longer than 255 bytes."},
      {svSocks4A, long256, "", "", "The SOCKS host name is longer than 255 bytes."},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.text);
    ScriptedServer proxy(Script().ExpectEof());
    ProxiedClient c(k.version, proxy.Port(), k.host, 21);
    c.socks->Username = k.user;
    c.socks->Password = k.password;
    if (!k.password.empty()) c.socks->Authentication = saUsernamePassword;
    const Failure f = ConnectFailure(c);
    ASSERT_NE(f.type, nullptr);
    EXPECT_TRUE(f.socksFamily);
    EXPECT_EQ(f.text, k.text);
    ASSERT_TRUE(proxy.WaitForConnections(1));
    ASSERT_TRUE(proxy.WaitDone());
    EXPECT_EQ(proxy.ErrorText(), "");
    EXPECT_EQ(proxy.Received(0), "");
  }
  // SOCKS 4 ends its user id and the 4A host name with a zero byte: one
  // inside would let the rest pass as a host name or as application data.
  const std::vector<Case> zeroCases = {
      {svSocks4A, "ftp.example.invalid", "a\0evil.example"s, "", "The SOCKS user name must not contain a zero byte."},
      {svSocks4, "127.0.0.1", "a\0b"s, "", "The SOCKS user name must not contain a zero byte."},
      {svSocks4A, "good.example\0evil.example"s, "", "", "The SOCKS host name must not contain a zero byte."},
  };
  for (const Case& k : zeroCases) {
    SCOPED_TRACE(k.text);
    ScriptedServer proxy(Script().ExpectEof());
    ProxiedClient c(k.version, proxy.Port(), k.host, 21);
    c.socks->Username = k.user;
    const Failure f = ConnectFailure(c);
    ASSERT_NE(f.type, nullptr);
    EXPECT_TRUE(f.socksFamily);
    EXPECT_EQ(f.text, k.text);
    ASSERT_TRUE(proxy.WaitForConnections(1));
    ASSERT_TRUE(proxy.WaitDone());
    EXPECT_EQ(proxy.Received(0), "");
  }

  // Exactly 255 bytes of each: sent behind the length 255.
  const std::string name255(255, 'h');
  const std::string user255(255, 'u');
  const std::string pass255(255, 'p');
  const std::string auth = "\x01\xff"s + user255 + "\xff"s + pass255;
  const std::string connect = "\x05\x01\x00\x03\xff"s + name255 + "\x00\x15"s;
  ScriptedServer proxy(Script()
                           .ReadBytes(3)
                           .Send("\x05\x02"s)
                           .ReadBytes(auth.size())
                           .Send("\x01\x00"s)
                           .ReadBytes(connect.size())
                           .Send(kReplyIPv4 + "220 hi\r\n"));
  ProxiedClient c(svSocks5, proxy.Port(), name255, 21);
  c.socks->Authentication = saUsernamePassword;
  c.socks->Username = user255;
  c.socks->Password = pass255;
  c.client.OpenConnection();
  EXPECT_EQ(c.client.ReadLine(), "220 hi");
  ASSERT_TRUE(proxy.WaitDone());
  EXPECT_EQ(proxy.Reads(0).at(1), auth);
  EXPECT_EQ(proxy.Reads(0).at(2), connect);
}

// One settings component placed on a window and given to two handlers: the
// handshake runs over the handler that connects, not over the one that took
// the settings last.
TEST(SocksHandshake, SharedSettingsNegotiateOverTheConnectingHandler) {
  class TWindowStub : public TNetComponent {};
  TWindowStub window;
  auto* shared = window.CreateComponent<TNetSocksInfo>();
  ScriptedSocksProxy proxy;
  ScriptedServer server(std::vector<ScriptedServer::Handler>{Script().Send("220 first\r\n"),
                                                             Script().Send("220 second\r\n")});
  shared->Version = svSocks5;
  shared->Host = "127.0.0.1";
  shared->Port = proxy.Port();

  TNetTCPClient first, second;
  for (TNetTCPClient* client : {&first, &second}) {
    auto* handler = client->CreateComponent<TNetIOHandlerSocket>();
    client->SetIOHandler(handler);
    handler->SetSocksInfo(shared);
    client->Host = "127.0.0.1";
    client->Port = server.Port();
  }
  first.OpenConnection();
  EXPECT_EQ(first.ReadLine(), "220 first");
  second.OpenConnection();
  EXPECT_EQ(second.ReadLine(), "220 second");
  ASSERT_TRUE(proxy.WaitForRequests(2));
}
