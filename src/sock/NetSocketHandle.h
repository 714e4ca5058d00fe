// One socket of the stack together with its local and remote address: binding
// inside a client port range, accepting into the handle that listened, and
// waiting for incoming data in slices so that the windows stay alive.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "NetBaseComponent.h"
#include "NetStack.h"

class TNetSocketHandle : public TNetPersistent {
 public:
  TNetSocketHandle();
  // Releases the socket.
  ~TNetSocketHandle() override;
  TNetSocketHandle(const TNetSocketHandle&) = delete;
  TNetSocketHandle& operator=(const TNetSocketHandle&) = delete;

  std::string ClassName() const override { return "TNetSocketHandle"; }

  TNetSocket OsHandle = InvalidSocket;
  bool HasOsHandle = false;
  int32_t Family = Id_PF_INET4;  // of the socket OpenSocket made last
  std::string IP;        // local address
  std::string RemoteIP;
  int32_t Port = 0;      // local port
  int32_t RemotePort = 0;
  int32_t ClientPortMin = 0;
  int32_t ClientPortMax = 0;

  // Shuts the sending direction down and closes; nothing when no socket is
  // open. OsHandle keeps its old value until ClearBinding. The argument has no
  // effect.
  virtual void ReleaseSocket(bool ResetLocal = true);
  // Connects to RemoteIP:RemotePort; returns the platform result, never raises.
  virtual int32_t ConnectPeer(int32_t AFamily = Id_PF_INET4);
  virtual int32_t RecvBytesFrom(void* Buffer, int32_t Length, int32_t Flags, std::string& FromIP,
                                int32_t& FromPort);

  // As ConnectPeer, but gives up when Cancel is signalled from another thread.
  int32_t ConnectPeerCancellable(int32_t AFamily, const TNetCancelSignal& Cancel);
  // Connects whichever of the handles reaches its RemoteIP:RemotePort first,
  // starting them one after another with staggered starts (see
  // TNetStack::SockConnectFirst); the winner's addresses are read back.
  // Returns the platform result and the winner's index, never raises.
  static int32_t ConnectFirst(const std::vector<TNetSocketHandle*>& AHandles, int32_t AStaggerMs,
                              const TNetCancelSignal* ACancel, size_t& AWinner);

  // Closes any open socket and creates a new one of the family (IPv4
  // unless given).
  void OpenSocket(int32_t SocketType = Id_SOCK_STREAM, int32_t Protocol = 0, int32_t AFamily = Id_PF_INET4);
  // On the main thread with an anti-freeze in force, a send does not block:
  // it waits for room like WaitReadable waits for data (see the .cpp), and
  // raises ENetSocketError (would block) when none came within the send
  // time-out.
  int32_t SendBytes(const void* Buffer, int32_t Length, int32_t Flags = 0);
  int32_t RecvBytes(void* Buffer, int32_t Length, int32_t Flags = 0);
  // Raises ENetSocketError on failure.
  void SetOption(int32_t Level, int32_t OptName, const void* OptVal, int32_t OptLen);
  // Bounds each blocking send (see TNetStack::SockSetSendTimeout); 0: no bound.
  // Raises ENetSocketError on failure.
  void SetSendTimeout(int32_t Milliseconds);
  // Binds to IP/Port, or inside the client port range when Port is 0 and a
  // complete range is set. Raises ENetCouldNotBindSocket,
  // ENetInvalidPortRange or ENetCanNotBindPortInRange.
  void BindLocal();
  void SetRemote(const std::string& ARemoteIP, int32_t ARemotePort);
  void StartListen(int32_t Backlog);
  // Makes this handle the connection accepted from Listening (which is
  // neither kept nor closed here). False when the accept was interrupted
  // because the listening socket was closed.
  bool AcceptFrom(TNetSocket Listening);
  // True when data, a pending connection or the end of the stream can be
  // read. Waits in slices and lets the anti-freeze run after each (see the
  // .cpp). Raises ENetConnClosedGracefully when no socket is open.
  bool WaitReadable(int32_t Timeout);
  // Copies IP, Port, RemoteIP and RemotePort from another handle; any other
  // source is refused with EAssignError.
  void CopyBinding(const TNetPersistent& Source);
  void Assign(const TNetPersistent& Source) override { CopyBinding(Source); }
  void RefreshLocal();
  void RefreshRemote();
  void ClearBinding(bool ResetLocal);
  bool TryBindLocal();
  bool BindInRange();
  // One wait of at most Timeout ms, then one anti-freeze step.
  bool SelectReadable(int32_t Timeout);

 private:
  // True when a send can take data; waits in the anti-freeze's slices, at
  // most Timeout ms.
  bool WaitWritable(int32_t Timeout);
  bool SelectWritable(int32_t Timeout);

  int32_t FSendTimeout = 0;  // as set by SetSendTimeout
};
