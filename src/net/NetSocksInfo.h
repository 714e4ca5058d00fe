// SOCKS proxy settings and the client handshakes that ask the proxy to
// connect onward to the real destination: SOCKS 4 and its 4A extension, and
// SOCKS 5 (RFC 1928) with user name and password authentication (RFC 1929).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "NetComponent.h"
#include "NetStack.h"

class TNetIOHandler;

enum TSocksVersion : int { svNoSocks = 0, svSocks4 = 1, svSocks4A = 2, svSocks5 = 3 };
enum TSocksAuthentication : int { saNoAuthentication = 0, saUsernamePassword = 1 };

// The proxy and the account at it: what one TNetSocksInfo copies to another.
struct TNetSocksSettings {
  TSocksAuthentication Authentication = saNoAuthentication;
  std::string Host;      // proxy host name or address
  std::string Password;  // SOCKS 5 password
  int32_t Port = 1080;   // proxy port
  std::string Username;  // SOCKS 4 user id, SOCKS 5 user name
  TSocksVersion Version = svNoSocks;
};

class TNetSocksInfo : public TNetComponent, public TNetSocksSettings {
 public:
  explicit TNetSocksInfo(TNetBaseComponent* AOwner = nullptr);
  ~TNetSocksInfo() override;

  std::string ClassName() const override { return "TNetSocksInfo"; }

  // The handler through which the handshake bytes travel; set by the handler.
  TNetIOHandler* IOHandler() const { return FIOHandler; }
  void SetIOHandler(TNetIOHandler* AValue);

  // Copies the settings (not the handler) from another TNetSocksInfo.
  void Assign(const TNetPersistent& Source) override { AssignValues<TNetSocksInfo, TNetSocksSettings>(Source); }

  // Runs the handshake that Version selects over the connected proxy link,
  // asking for a connection to AHost:APort (the final destination). A proxy
  // that says nothing for ATimeout ms (NoTimeLimit: no bound) is taken as not
  // responding.
  void NegotiateProxy(const std::string& AHost, int32_t APort, int32_t ATimeout = NoTimeLimit);
  void NegotiateSocks4(const std::string& AHost, int32_t APort);
  void NegotiateSocks5(const std::string& AHost, int32_t APort);

 protected:
  void Notification(TNetBaseComponent* AComponent, TNetOperation AOperation) override;

 private:
  void SendAll(const std::string& Bytes);
  void ReceiveAll(void* Buffer, int32_t Count);

  TNetIOHandler* FIOHandler = nullptr;
  // The bound of the running NegotiateProxy.
  int32_t FTimeLimit = NoTimeLimit;
  std::chrono::steady_clock::time_point FStarted;
};
