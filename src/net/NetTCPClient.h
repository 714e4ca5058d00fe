// A TCP client: a connection that connects to Host:Port itself.
#pragma once

#include <cstdint>
#include <string>

#include "NetTCPConnection.h"

class TNetTCPClient : public TNetTCPConnection {
 public:
  explicit TNetTCPClient(TNetBaseComponent* AOwner = nullptr) : TNetTCPConnection(AOwner) {}

  std::string ClassName() const override { return "TNetTCPClient"; }

  std::string BoundIP;       // local address to bind before connecting; empty binds any
  int32_t BoundPort = 0;     // 0 lets the system choose
  int32_t BoundPortMin = 0;  // a local port range tried by the bind
  int32_t BoundPortMax = 0;
  std::string Host;
  int32_t Port = 0;
  TNotifyEvent OnConnected;

  virtual void FireConnected();
  // Connects to Host:Port. ATimeout: DefaultTimeLimit or 0 for a plain
  // blocking connect (120000 ms on a connect thread while an anti-freeze is in
  // force), NoTimeLimit for an unbounded wait that keeps the windows alive, or
  // milliseconds. Raises ENetAlreadyConnected on an open connection; on any
  // failure the socket is dropped and the failure passed on.
  virtual void OpenConnection(int32_t ATimeout = DefaultTimeLimit);
  // Connects, reads until the peer closes, closes; returns what was read.
  virtual std::string ConnectAndReadAll();

  // Sends the client's connections through a SOCKS proxy. The settings go
  // on a socket I/O handler of the client's own that outlives its sessions
  // (CloseConnection frees only a handler the connect made), so every
  // session, and each passive data connection that copies them, takes the
  // proxy. The handler reports through the OnStatus the client has now; a
  // second call reuses it. Returns the settings in use. Raises
  // ENetAlreadyConnected on an open connection.
  TNetSocksInfo& UseSocksProxy(const TNetSocksSettings& ASettings);

 protected:
  // OpenConnection to AHost:APort in place of Host:Port (an FTP session
  // through a proxy connects to the proxy); Host and Port are left as they are.
  void OpenConnectionTo(const std::string& AHost, int32_t APort, int32_t ATimeout);
  // The socket handler that UseSocksProxy makes, owned by the client. A
  // client that may run TLS over the proxy makes a TLS handler here.
  virtual TNetIOHandlerSocket* CreateSocksHandler() { return CreateComponent<TNetIOHandlerSocket>(); }
};
