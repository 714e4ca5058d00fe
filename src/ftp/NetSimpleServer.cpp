#include "NetSimpleServer.h"

#include <algorithm>
#include <chrono>

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
  handle.OpenSocket(Id_SOCK_STREAM, 0);
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
  const auto started = std::chrono::steady_clock::now();
  bool accepted = false;
  try {
    while (!FAbortRequested && !accepted) {
      int32_t wait = AcceptPollInterval;
      if (AcceptTimeout > 0) {
        const auto waited =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
        if (waited >= AcceptTimeout) break;
        wait = static_cast<int32_t>(std::min<int64_t>(wait, AcceptTimeout - waited));
      }
      if (!handle->WaitReadable(wait)) continue;
      handle->StartListen(1);
      if (!handle->AcceptFrom(FListeningSocket)) break;
      accepted = AcceptFromIP.empty() || handle->RemoteIP == AcceptFromIP;
      if (!accepted) {
        // Someone else got to the port first: hang up on it and listen on.
        handle->ReleaseSocket();
        handle->OsHandle = FListeningSocket;
        handle->HasOsHandle = true;
      }
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
