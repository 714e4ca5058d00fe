#include "NetTCPClient.h"

#include "NetExceptions.h"

void TNetTCPClient::FireConnected() {
  if (OnConnected) OnConnected(this);
}

void TNetTCPClient::OpenConnection(int32_t ATimeout) {
  if (!IOHandler()) {
    auto* handler = CreateComponent<TNetIOHandlerSocket>();
    SetIOHandler(handler);
    handler->OnStatus = OnStatus;
    OwnsIOHandler = true;
  } else if (IOHandler()->IsOpen()) {
    throw ENetAlreadyConnected();
  }
  THandlerInUse inUse(*this);
  try {
    IOHandler()->OpenHandler();
    ResetState();
    IOHandler()->ConnectTo(Host, Port, BoundIP, BoundPort, BoundPortMin, BoundPortMax, ATimeout);
    if (Intercept()) Intercept()->AttachTo(this);
    ReportStatus(hsConnected, {Host});
    FireConnected();
  } catch (...) {
    DropSocket();
    throw;
  }
}

std::string TNetTCPClient::ConnectAndReadAll() {
  OpenConnection(DefaultTimeLimit);
  std::string result;
  try {
    result = ReadAll();
  } catch (...) {
    CloseConnection();
    throw;
  }
  CloseConnection();
  return result;
}

TNetSocksInfo& TNetTCPClient::UseSocksProxy(const TNetSocksSettings& ASettings) {
  if (IOHandler() && IOHandler()->IsOpen()) throw ENetAlreadyConnected();
  TNetIOHandlerSocket* handler = SocketHandler();
  if (!handler || OwnsIOHandler || !Owns(handler)) {
    handler = CreateComponent<TNetIOHandlerSocket>();
    SetIOHandler(handler);
  }
  handler->OnStatus = OnStatus;  // "Resolving ..." and "Connecting to ..." come from the handler
  TNetSocksInfo& socks = *handler->SocksInfo();
  static_cast<TNetSocksSettings&>(socks) = ASettings;
  return socks;
}
