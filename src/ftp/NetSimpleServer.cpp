#include "NetSimpleServer.h"

#include <algorithm>
#include <chrono>

#include "NetExceptions.h"
#include "NetScope.h"
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
  TNetScopeExit freeOnFailure([this] { SetIOHandler(nullptr); });
  if (FListeningSocket == InvalidSocket) BindListener();
  ListenerHandle()->StartListen(15);
  FListening = true;
  freeOnFailure.Release();
}

void TNetSimpleServer::BindListener() {
  TNetSocketHandle& handle = *ListenerHandle();
  // The family follows the address to bind: an IPv6 control connection
  // gets an IPv6 listener.
  handle.OpenSocket(Id_SOCK_STREAM, 0, TNetStack::AddressFamily(BoundIP));
  FListeningSocket = handle.OsHandle;
  TNetScopeExit closeOnFailure([this, &handle] {
    FListeningSocket = InvalidSocket;
    handle.ReleaseSocket();
  });
  handle.IP = BoundIP;
  handle.Port = BoundPort;
  handle.ClientPortMin = BoundPortMin;
  handle.ClientPortMax = BoundPortMax;
  handle.BindLocal();
  closeOnFailure.Release();
}

bool TNetSimpleServer::WaitForConnection() {
  if (!FListening) StartListening();
  TNetSocketHandle* handle = ListenerHandle();
  // One connection at most: the listening socket goes however the wait ends.
  TNetScopeExit stopListening([this] {
    CloseListeningSocket();
    FListening = false;
  });
  const auto started = std::chrono::steady_clock::now();
  try {
    while (!FAbortRequested) {
      int32_t wait = AcceptPollInterval;
      if (AcceptTimeout > 0) {
        const auto waited =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
        if (waited >= AcceptTimeout) return false;
        wait = static_cast<int32_t>(std::min<int64_t>(wait, AcceptTimeout - waited));
      }
      if (!handle->WaitReadable(wait)) continue;
      handle->StartListen(1);
      if (!handle->AcceptFrom(FListeningSocket)) return false;
      // Compared as addresses: "::ffff:192.0.2.1" is the server at 192.0.2.1.
      if (AcceptFromIP.empty() || StackInstance->SameAddress(handle->RemoteIP, AcceptFromIP)) return true;
      // Someone else got to the port first: hang up on it and listen on.
      handle->ReleaseSocket();
      handle->OsHandle = FListeningSocket;
      handle->HasOsHandle = true;
    }
    return false;
  } catch (const ENetConnClosedGracefully&) {
    // The listening socket was closed under the wait (an abort): no connection.
    return false;
  }
}
