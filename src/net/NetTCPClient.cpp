#include "NetTCPClient.h"

#include "NetExceptions.h"
#include "NetScope.h"

void TNetTCPClient::FireConnected() {
  if (OnConnected) OnConnected(this);
}

void TNetTCPClient::OpenConnection(int32_t ATimeout) { OpenConnectionTo(Host, Port, ATimeout); }

void TNetTCPClient::OpenConnectionTo(const std::string& AHost, int32_t APort, int32_t ATimeout) {
  if (!IOHandler()) {
    auto* handler = CreateComponent<TNetIOHandlerSocket>();
    SetIOHandler(handler);
    handler->OnStatus = OnStatus;
    OwnsIOHandler = true;
  } else if (IOHandler()->IsOpen()) {
    throw ENetAlreadyConnected();
  }
  THandlerInUse inUse(*this);
  TNetScopeExit dropOnFailure([this] { DropSocket(); });
  IOHandler()->OpenHandler();
  ResetState();
  IOHandler()->ConnectTo(AHost, APort, BoundIP, BoundPort, BoundPortMin, BoundPortMax, ATimeout);
  if (Intercept()) Intercept()->AttachTo(this);
  ReportStatus(hsConnected, {AHost});
  FireConnected();
  dropOnFailure.Release();
}

std::string TNetTCPClient::ConnectAndReadAll() {
  OpenConnection(DefaultTimeLimit);
  TNetScopeExit close([this] { CloseConnection(); });
  return ReadAll();
}

TNetSocksInfo& TNetTCPClient::UseSocksProxy(const TNetSocksSettings& ASettings) {
  if (IOHandler() && IOHandler()->IsOpen()) throw ENetAlreadyConnected();
  TNetIOHandlerSocket* handler = SocketHandler();
  if (!handler || OwnsIOHandler || !Owns(handler)) {
    handler = CreateSocksHandler();
    SetIOHandler(handler);
  }
  handler->OnStatus = OnStatus;  // "Resolving ..." and "Connecting to ..." come from the handler
  TNetSocksInfo& socks = *handler->SocksInfo();
  static_cast<TNetSocksSettings&>(socks) = ASettings;
  return socks;
}
