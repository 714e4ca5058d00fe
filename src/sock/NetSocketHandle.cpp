#include "NetSocketHandle.h"

#include <sys/socket.h>

#include <algorithm>
#include <chrono>

#include "NetAntiFreezeBase.h"
#include "NetExceptions.h"

namespace {

constexpr int32_t ShutdownSending = 1;  // no more sending

TNetStack& Stack() { return *StackInstance; }

using Clock = std::chrono::steady_clock;

// What is left of a wait of ATimeout ms begun at AStart; NoTimeLimit stays.
int32_t TimeLeft(Clock::time_point AStart, int32_t ATimeout) {
  if (ATimeout == NoTimeLimit) return NoTimeLimit;
  const int64_t spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - AStart).count();
  return static_cast<int32_t>(std::max<int64_t>(0, ATimeout - spent));
}

}  // namespace

TNetSocketHandle::TNetSocketHandle() = default;

TNetSocketHandle::~TNetSocketHandle() { ReleaseSocket(); }

void TNetSocketHandle::OpenSocket(int32_t SocketType, int32_t Protocol, int32_t AFamily) {
  ReleaseSocket();
  OsHandle = Stack().NewSocket(AFamily, SocketType, Protocol);
  HasOsHandle = true;
  Family = AFamily;
}

void TNetSocketHandle::ReleaseSocket(bool /*ResetLocal*/) {
  if (!HasOsHandle) return;
  // Cleared first, so that a failure below never leaves a handle that claims
  // a socket it no longer has. Neither result matters: the socket goes anyway.
  HasOsHandle = false;
  Stack().SockShutdown(OsHandle, ShutdownSending);
  Stack().SockClose(OsHandle);
}

int32_t TNetSocketHandle::ConnectPeer(int32_t AFamily) {
  const int32_t result = Stack().SockConnect(OsHandle, AFamily, RemoteIP, RemotePort);
  if (result != SocketError) {
    RefreshLocal();
    RefreshRemote();
  }
  return result;
}

int32_t TNetSocketHandle::ConnectPeerCancellable(int32_t AFamily, const TNetCancelSignal& Cancel) {
  const int32_t result = Stack().SockConnectCancellable(OsHandle, AFamily, RemoteIP, RemotePort, Cancel);
  if (result != SocketError) {
    RefreshLocal();
    RefreshRemote();
  }
  return result;
}

int32_t TNetSocketHandle::ConnectFirst(const std::vector<TNetSocketHandle*>& AHandles, int32_t AStaggerMs,
                                       const TNetCancelSignal* ACancel, size_t& AWinner) {
  std::vector<TNetConnectAttempt> attempts;
  for (const TNetSocketHandle* handle : AHandles)
    attempts.push_back(TNetConnectAttempt{handle->OsHandle, handle->Family, handle->RemoteIP, handle->RemotePort});
  const int32_t result = Stack().SockConnectFirst(attempts, AStaggerMs, ACancel, AWinner);
  if (result != SocketError) {
    AHandles[AWinner]->RefreshLocal();
    AHandles[AWinner]->RefreshRemote();
  }
  return result;
}

// A blocking send to a peer that takes nothing would hold the windows until
// the send time-out (or for ever): while the anti-freeze is in force, a send
// first waits for room in its slices, at most the send time-out, and then
// sends what fits without blocking. When no room came in time, it fails as
// the time-out would, with the would-block error; a trickle of room now and
// then does not stretch the time-out.
int32_t TNetSocketHandle::SendBytes(const void* Buffer, int32_t Length, int32_t Flags) {
  if ((Flags & MSG_DONTWAIT) == 0 && TNetAntiFreezeBase::ShouldYield()) {
    if (!WaitWritable(FSendTimeout > 0 ? FSendTimeout : NoTimeLimit) && HasOsHandle)
      Stack().RaiseSocketFailure(ErrWouldBlock);
    Flags |= MSG_DONTWAIT;
  }
  return Stack().SockSend(OsHandle, Buffer, Length, Flags);
}

int32_t TNetSocketHandle::RecvBytes(void* Buffer, int32_t Length, int32_t Flags) {
  return Stack().SockRecv(OsHandle, Buffer, Length, Flags);
}

int32_t TNetSocketHandle::RecvBytesFrom(void* Buffer, int32_t Length, int32_t Flags, std::string& FromIP,
                                        int32_t& FromPort) {
  return Stack().SockRecvFrom(OsHandle, Buffer, Length, Flags, FromIP, FromPort);
}

void TNetSocketHandle::SetOption(int32_t Level, int32_t OptName, const void* OptVal, int32_t OptLen) {
  Stack().CheckSocketResult(Stack().SockSetOption(OsHandle, Level, OptName, OptVal, OptLen));
}

void TNetSocketHandle::SetSendTimeout(int32_t Milliseconds) {
  Stack().CheckSocketResult(Stack().SockSetSendTimeout(OsHandle, Milliseconds));
  FSendTimeout = Milliseconds;
}

void TNetSocketHandle::SetRemote(const std::string& ARemoteIP, int32_t ARemotePort) {
  RemoteIP = ARemoteIP;
  RemotePort = ARemotePort;
}

void TNetSocketHandle::StartListen(int32_t Backlog) {
  Stack().CheckSocketResult(Stack().SockListen(OsHandle, Backlog));
}

void TNetSocketHandle::RefreshLocal() {
  int32_t family;
  Stack().SockLocalName(OsHandle, family, Port, IP);
}

void TNetSocketHandle::RefreshRemote() {
  int32_t family;
  Stack().SockPeerName(OsHandle, family, RemotePort, RemoteIP);
}

void TNetSocketHandle::ClearBinding(bool ResetLocal) {
  HasOsHandle = false;
  OsHandle = InvalidSocket;
  if (ResetLocal) {
    IP.clear();
    Port = 0;
  }
  RemoteIP.clear();
  RemotePort = 0;
}

void TNetSocketHandle::CopyBinding(const TNetPersistent& Source) {
  const auto* other = dynamic_cast<const TNetSocketHandle*>(&Source);
  if (!other) {
    TNetPersistent::Assign(Source);  // refuses it
    return;
  }
  IP = other->IP;
  Port = other->Port;
  RemoteIP = other->RemoteIP;
  RemotePort = other->RemotePort;
}

// ---------------------------------------------------------------------------
// Binding.

bool TNetSocketHandle::TryBindLocal() {
  if (Stack().CheckSocketResult(Stack().SockBind(OsHandle, Family, IP, Port), {ErrAddressInUse}))
    return false;
  RefreshLocal();  // Port shows the port the platform chose when it was 0
  return true;
}

// From the top of the range down; the first free port wins.
bool TNetSocketHandle::BindInRange() {
  if (ClientPortMax < ClientPortMin) return false;
  for (int32_t port = ClientPortMax; port >= ClientPortMin; --port) {
    Port = port;
    if (TryBindLocal()) return true;
  }
  return false;
}

void TNetSocketHandle::BindLocal() {
  // A fixed port, or no complete range: one attempt.
  if (Port != 0 || ClientPortMin == 0 || ClientPortMax == 0) {
    if (!TryBindLocal()) throw ENetCouldNotBindSocket();
    return;
  }
  if (ClientPortMax < ClientPortMin) throw ENetInvalidPortRange(ClientPortMin, ClientPortMax);
  if (!BindInRange()) throw ENetCanNotBindPortInRange(ClientPortMin, ClientPortMax);
}

// ---------------------------------------------------------------------------
// Accepting.

bool TNetSocketHandle::AcceptFrom(TNetSocket Listening) {
  ClearBinding(true);
  const TNetSocket accepted = Stack().SockAccept(Listening, IP, Port);
  // Both codes mean that the listening socket was closed during the wait.
  if (Stack().CheckSocketResult(accepted, {ErrInterrupted, ErrNotASocket})) return false;
  OsHandle = accepted;
  HasOsHandle = true;
  RefreshLocal();
  RefreshRemote();
  return true;
}

// ---------------------------------------------------------------------------
// Waiting for data.

// While the anti-freeze is in force, a wait is cut into slices of its
// IdleTimeOut, each followed by one anti-freeze step; a limited wait ends
// when its slices add up to the limit. So the windows stay alive through a
// long time-out too: a transfer that stalls can be aborted after the current
// slice. Otherwise (no anti-freeze, or another thread) it is one wait
// followed by a step that does nothing.
bool TNetSocketHandle::WaitReadable(int32_t Timeout) {
  if (TNetAntiFreezeBase::ShouldYield() && (Timeout == NoTimeLimit || Timeout > 0)) {
    const Clock::time_point start = Clock::now();
    for (;;) {
      // Read again after every slice: a handler run by the step may have
      // freed the anti-freeze (its window closed), and then the rest of the
      // wait is one piece.
      TNetAntiFreezeBase* current = TNetAntiFreezeBase::Current();
      const int32_t left = TimeLeft(start, Timeout);
      if (!current || !TNetAntiFreezeBase::ShouldYield()) return SelectReadable(left);
      const int32_t slice = std::max<int32_t>(current->IdleTimeOut, 1);
      if (left != NoTimeLimit && left <= slice) return SelectReadable(left);
      if (SelectReadable(slice)) return true;
    }
  }
  return SelectReadable(Timeout);
}

bool TNetSocketHandle::WaitWritable(int32_t Timeout) {
  const Clock::time_point start = Clock::now();
  for (;;) {
    // A window handler run by a step may have closed the socket (an abort):
    // the send that follows reports it.
    if (!HasOsHandle) return false;
    const int32_t left = TimeLeft(start, Timeout);
    TNetAntiFreezeBase* current = TNetAntiFreezeBase::Current();
    if (!current || !TNetAntiFreezeBase::ShouldYield()) return SelectWritable(left);
    const int32_t slice = std::max<int32_t>(current->IdleTimeOut, 1);
    if (left != NoTimeLimit && left <= slice) return SelectWritable(left);
    if (SelectWritable(slice)) return true;
    TNetAntiFreezeBase::YieldToUI(true, false);
  }
}

bool TNetSocketHandle::SelectWritable(int32_t Timeout) {
  TNetSocketListPosix writeList;
  writeList.Add(OsHandle);
  // A failing wait (-1) counts as no room.
  return Stack().SockSelect(nullptr, &writeList, nullptr, Timeout) == 1;
}

bool TNetSocketHandle::SelectReadable(int32_t Timeout) {
  if (!HasOsHandle) throw ENetConnClosedGracefully();
  TNetSocketListPosix readList;
  readList.Add(OsHandle);
  // A failing wait (-1) counts as nothing to read.
  const bool readable = Stack().SockSelect(&readList, nullptr, nullptr, Timeout) == 1;
  TNetAntiFreezeBase::YieldToUI(!readable, false);
  return readable;
}
