// The listener of an active-mode data connection: a connection that gets its
// one socket by listening and accepting instead of connecting.
#pragma once

#include <cstdint>
#include <string>

#include "NetTCPConnection.h"

class TNetSimpleServer : public TNetTCPConnection {
 public:
  explicit TNetSimpleServer(TNetBaseComponent* AOwner = nullptr) : TNetTCPConnection(AOwner) {}

  std::string ClassName() const override { return "TNetSimpleServer"; }

  std::string BoundIP;             // local address of the listening socket
  int32_t BoundPort = 0;           // 0: a port of the range, or any port
  int32_t BoundPortMin = 0;
  int32_t BoundPortMax = 0;
  int32_t AcceptPollInterval = 1000;  // ms per wait for the peer
  // Longest wait for the peer in WaitForConnection; 0 waits without limit.
  int32_t AcceptTimeout = 0;
  // When set, only a connection from this address is taken; any other is
  // closed and the wait goes on (a third host racing the server to the port).
  std::string AcceptFromIP;

  // A waiting WaitForConnection returns false after its current wait.
  virtual void RequestAbort() { FAbortRequested = true; }
  bool AbortRequested() const { return FAbortRequested; }
  // Binds (a fixed port or a free port of the range) and listens with a
  // backlog of 15.
  virtual void StartListening();
  virtual void BindListener();
  virtual void StopListening() { ResetState(); }
  // Waits for the peer (at most AcceptTimeout) and accepts it; the listening
  // socket is closed in every case. Returns whether a connection was accepted.
  virtual bool WaitForConnection();
  void ResetState() override;

  // The handle that listens, and after the accept holds the connection.
  TNetSocketHandle* ListenerHandle() const;

 private:
  void CloseListeningSocket();

  bool FAbortRequested = false;
  TNetSocket FListeningSocket = InvalidSocket;
  bool FListening = false;
};
