// A scripted SOCKS proxy (SOCKS 4, its 4A extension, and SOCKS 5 with RFC 1928
// and RFC 1929 user/password) on 127.0.0.1 with an ephemeral port. It records
// every handshake byte and parsed request, answers with the chosen codes, and
// then relays to the requested destination (or to a fixed redirect target).
//
//   ScriptedSocksProxy proxy;                       // grants everything
//   ... client connects through 127.0.0.1:proxy.Port() with SOCKS 4A ...
//   ASSERT_TRUE(proxy.WaitForRequests(1));
//   EXPECT_EQ(proxy.Requests()[0].Host, "localhost");
//   EXPECT_EQ(proxy.Requests()[0].Bytes, std::string("\x04\x01\x00\x15\0\0\0\x01\0localhost\0", 18));
//
// For byte-level scripts of your own, ServeSocks() is the same logic as one step.
#pragma once

#include "ScriptedServer.h"

#include <mutex>
#include <string>
#include <vector>

struct SocksRequest {
  int Version = 0;          // 4 (also for 4A) or 5
  int Command = 0;          // 1 = CONNECT
  std::string Host;         // dotted address, or the name that 4A / 5 carried
  int Port = 0;
  bool Socks4A = false;     // the 4A form (address 0.0.0.x followed by a host name)
  std::string UserId;       // SOCKS 4 user id
  std::string Methods;      // SOCKS 5 offered methods, raw bytes
  std::string Username;     // SOCKS 5 user/password sub-negotiation
  std::string Password;
  int AddressType = 0;      // SOCKS 5 ATYP: 1 IPv4, 3 name, 4 IPv6
  std::string Bytes;        // every handshake byte the client sent, in order
};

struct SocksProxyOptions {
  // Non-empty: SOCKS 5 clients must choose method 2 and send these.
  std::string Username;
  std::string Password;
  // -1: choose the method normally; otherwise answer the offer with this byte (e.g. 255).
  int Socks5Method = -1;
  int Socks4Result = 90;   // 90 granted, 91..93 refusals, or anything else
  int Socks5Reply = 0;     // REP: 0 succeeded, 1..8 failures, or anything else
  int Socks5BoundType = 1; // ATYP of the bound address in the reply: 1, 3 ("localhost") or 4
  // Port > 0: connect there instead of the requested destination.
  std::string RedirectHost = "127.0.0.1";
  int RedirectPort = 0;
};

// Serves one SOCKS handshake on the connection and then relays. The parsed
// request is handed to onRequest before the answer is sent.
void ServeSocks(ScriptedConnection& connection, const SocksProxyOptions& options,
                const std::function<void(const SocksRequest&)>& onRequest);

class ScriptedSocksProxy {
public:
  explicit ScriptedSocksProxy(SocksProxyOptions options = {});

  std::string Host() const { return "127.0.0.1"; }
  int Port() const { return FServer.Port(); }
  std::vector<SocksRequest> Requests() const;
  bool WaitForRequests(size_t count, int timeoutMs = 5000);
  std::string ErrorText() const { return FServer.ErrorText(); }
  ScriptedServer& Server() { return FServer; }

private:
  SocksProxyOptions FOptions;
  mutable std::mutex FMutex;
  std::condition_variable FChanged;
  std::vector<SocksRequest> FRequests;
  ScriptedServer FServer;  // last: its threads use the members above
};
