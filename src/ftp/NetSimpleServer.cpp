#include "NetSimpleServer.h"

#include "NetExceptions.h"
#include "NetStack.h"

TNetSocketHandle* TNetSimpleServer::ListenerHandle() const {
  return SocketHandler() ? SocketHandler()->SocketHandle() : nullptr;
}

// The listening socket lives in the handle until an accept replaces it
// there; a drop of the handle may already have closed it.
void TNetSimpleServer::CloseListeningSocket() {
  if (FListeningSocket == InvalidSocket) return;
  TNetSocketHandle* handle = ListenerHandle();
  if (handle && handle->OsHandle == FListeningSocket) {
    if (handle->HasOsHandle) handle->ReleaseSocket();
  } else {
    StackInstance->SockClose(FListeningSocket);
  }
  FListeningSocket = InvalidSocket;
}

void TNetSimpleServer::ResetState() {
  TNetTCPConnection::ResetState();
  FAbortRequested = false;
  FListening = false;
  CloseListeningSocket();
  SetIOHandler(nullptr);  // frees the handler the listener made
}

void TNetSimpleServer::StartListening() {
  if (!ListenerHandle()) {
    ResetState();
    auto* handler = CreateComponent<TNetIOHandlerSocket>();
    SetIOHandler(handler);
    OwnsIOHandler = true;
    handler->OpenHandler();
  }
  try {
    if (FListeningSocket == InvalidSocket) BindListener();
    ListenerHandle()->StartListen(15);
    FListening = true;
  } catch (...) {
    SetIOHandler(nullptr);
    throw;
  }
}

void TNetSimpleServer::BindListener() {
  TNetSocketHandle& handle = *ListenerHandle();
  // The family follows the address to bind: an IPv6 control connection
  // gets an IPv6 listener.
  handle.OpenSocket(Id_SOCK_STREAM, 0, TNetStack::AddressFamily(BoundIP));
  FListeningSocket = handle.OsHandle;
  try {
    handle.IP = BoundIP;
    handle.Port = BoundPort;
    handle.ClientPortMin = BoundPortMin;
    handle.ClientPortMax = BoundPortMax;
    handle.BindLocal();
  } catch (...) {
    FListeningSocket = InvalidSocket;
    handle.ReleaseSocket();
    throw;
  }
}

bool TNetSimpleServer::WaitForConnection() {
  if (!FListening) StartListening();
  TNetSocketHandle* handle = ListenerHandle();
  bool accepted = false;
  try {
    bool pending = false;
    while (!FAbortRequested && !pending) pending = handle->WaitReadable(AcceptPollInterval);
    if (pending) {
      handle->StartListen(1);
      accepted = handle->AcceptFrom(FListeningSocket);
    }
  } catch (const ENetConnClosedGracefully&) {
    // The listening socket was closed under the wait (an abort): no connection.
    accepted = false;
  } catch (...) {
    CloseListeningSocket();
    FListening = false;
    throw;
  }
  CloseListeningSocket();
  FListening = false;
  return accepted;
}
