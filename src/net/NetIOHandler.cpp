#include "NetIOHandler.h"

#include <sys/socket.h>

#include <algorithm>
#include <chrono>

#include "NetAntiFreezeBase.h"
#include "NetExceptions.h"
#include "NetScope.h"
#include "NetStack.h"

namespace {
// The limit of a connect made without an explicit time-out while an
// anti-freeze is in force (and of any SOCKS handshake made without one), and
// the longest polling step of the waiting thread.
constexpr int32_t kAntiFreezeConnectLimit = 120000;
constexpr int32_t kConnectPollStep = 125;
}  // namespace

// ---------------------------------------------------------------------------
// TNetConnectThread

TNetConnectThread::~TNetConnectThread() {
  if (FThread.joinable()) {
    Terminate();
    FThread.join();
  }
}

void TNetConnectThread::Start() { FThread = std::thread([this] { Execute(); }); }

void TNetConnectThread::Execute() {
  try {
    const int32_t result =
        Candidates.size() > 1 ? TNetSocketHandle::ConnectFirst(Candidates, ConnectAttemptDelay, &FCancel, Winner)
                              : SocketHandle->ConnectPeerCancellable(SocketHandle->Family, FCancel);
    // A socket closed or a connect cancelled under the attempt is not a
    // failure of its own: the waiting thread has already decided.
    StackInstance->CheckSocketResult(result, {ErrBadFile, ErrNotASocket, ErrInterrupted});
  } catch (const ENetSocketError& e) {
    FailureText = e.what();
    FailureCode = e.SocketErrorCode;
  } catch (const std::exception& e) {
    FailureText = e.what();
  }
  {
    std::lock_guard<std::mutex> guard(FLock);
    FFinished.store(true, std::memory_order_release);
  }
  FDone.notify_all();
}

bool TNetConnectThread::WaitFinished(int32_t AMilliseconds) {
  std::unique_lock<std::mutex> lock(FLock);
  FDone.wait_for(lock, std::chrono::milliseconds(std::max(0, AMilliseconds)), [this] { return Finished(); });
  return Finished();
}

void TNetConnectThread::Join() {
  if (FThread.joinable()) FThread.join();
}

// ---------------------------------------------------------------------------
// TNetIOHandlerSocket

TNetIOHandlerSocket::TNetIOHandlerSocket(TNetBaseComponent* AOwner) : TNetIOHandler(AOwner) {}

// A referenced settings object learns of the end through the base destructor.
TNetIOHandlerSocket::~TNetIOHandlerSocket() {
  CloseHandler();
  FSocksInfo = nullptr;
  FInternalSocks.reset();
}

void TNetIOHandlerSocket::SetUseNagle(bool AValue) {
  if (AValue == FUseNagle) return;
  FUseNagle = AValue;
  ApplyNagle(AValue);
}

void TNetIOHandlerSocket::ApplyNagle(bool AValue) {
  if (!IsOpen()) return;
  const int32_t noDelay = AValue ? 0 : 1;
  FSocketHandle->SetOption(Id_IPPROTO_TCP, Id_TCP_NODELAY, &noDelay, sizeof noDelay);
}

TNetSocksInfo* TNetIOHandlerSocket::SocksInfo() {
  if (!FSocksInfo) {
    FInternalSocks = std::make_unique<TNetSocksInfo>();
    FSocksInfo = FInternalSocks.get();
    FSocksInfo->SetIOHandler(this);
  }
  return FSocksInfo;
}

// The free-notification link with a referenced object is shared with that
// object's reference to this handler (see TNetSocksInfo::SetIOHandler), so it
// is never removed here: a dropped object only stops pointing at this handler.
void TNetIOHandlerSocket::SetSocksInfo(TNetSocksInfo* AValue) {
  const bool external = FSocksInfo && FSocksInfo != FInternalSocks.get();
  if (external && FSocksInfo != AValue && FSocksInfo->IOHandler() == this) FSocksInfo->SetIOHandler(nullptr);
  if (AValue && AValue->Owner()) {
    // A component placed somewhere else: refer to it until it is destroyed.
    FInternalSocks.reset();
    FSocksInfo = AValue;
    AValue->FreeNotification(this);
  } else if (AValue) {
    // An owner-less object: take a copy of its settings.
    if (!FInternalSocks) FInternalSocks = std::make_unique<TNetSocksInfo>();
    if (AValue != FInternalSocks.get()) FInternalSocks->Assign(*AValue);
    FSocksInfo = FInternalSocks.get();
  } else {
    FSocksInfo = nullptr;
    FInternalSocks.reset();
    return;
  }
  FSocksInfo->SetIOHandler(this);
}

void TNetIOHandlerSocket::Notification(TNetBaseComponent* AComponent, TNetOperation AOperation) {
  if (AOperation == opRemove && AComponent == FSocksInfo && FSocksInfo != FInternalSocks.get()) FSocksInfo = nullptr;
  TNetIOHandler::Notification(AComponent, AOperation);
}

void TNetIOHandlerSocket::CloseHandler() {
  TNetIOHandler::CloseHandler();
  // A close from a window handler while the connect still runs (inside the
  // wait's message pumping): end the connect first, so that its socket is
  // never closed, and its number reused, under it.
  if (FConnectThread) {
    FConnectThread->Terminate();
    FConnectThread->Join();
  }
  if (FSocketHandle) FSocketHandle->ReleaseSocket();
}

bool TNetIOHandlerSocket::IsOpen() { return FSocketHandle && FSocketHandle->HasOsHandle; }

void TNetIOHandlerSocket::OpenHandler() {
  TNetIOHandler::OpenHandler();
  if (FSocketHandle) {
    // A socket still open here would be lost by resetting the binding.
    FSocketHandle->ReleaseSocket();
    FSocketHandle->ClearBinding(true);
  } else {
    FSocketHandle = std::make_unique<TNetSocketHandle>();
  }
}

bool TNetIOHandlerSocket::WaitReadable(int32_t AMilliseconds) {
  if (!FSocketHandle) throw ENetConnClosedGracefully();
  return FSocketHandle->WaitReadable(AMilliseconds);
}

int32_t TNetIOHandlerSocket::ReceiveSome(void* ABuffer, int32_t ALength) {
  if (!IsOpen()) throw ENetClosedSocket();
  return FSocketHandle->RecvBytes(ABuffer, ALength, 0);
}

int32_t TNetIOHandlerSocket::ReceiveReady(void* ABuffer, int32_t ALength) {
  if (!IsOpen()) throw ENetClosedSocket();
  const int32_t n = FSocketHandle->RecvBytes(ABuffer, ALength, MSG_DONTWAIT);
  if (n == SocketError && StackInstance->SockLastError() == ErrWouldBlock) return ReceiveNotReady;
  return n;
}

int32_t TNetIOHandlerSocket::SendSome(const void* ABuffer, int32_t ALength) {
  if (!IsOpen()) throw ENetClosedSocket();
  return FSocketHandle->SendBytes(ABuffer, ALength, 0);
}

// A name may stand for several addresses, IPv6 and IPv4: each gets a socket
// of its family, bound like the first, and their connects race with
// staggered starts (RFC 8305); the one that connects first becomes this
// handler's socket and the rest are closed. The time-out covers them all.
void TNetIOHandlerSocket::ConnectTo(const std::string& AHost, int32_t APort, const std::string& ABoundIP,
                                    int32_t ABoundPort, int32_t ABoundPortMin, int32_t ABoundPortMax,
                                    int32_t ATimeout) {
  if (!FSocketHandle) OpenHandler();
  TNetSocksInfo* socks = SocksInfo();
  const bool viaProxy = socks->Version != svNoSocks;
  const std::string targetHost = TNetStack::UnbracketHost(viaProxy ? socks->Host : AHost);
  const int32_t targetPort = viaProxy ? socks->Port : APort;

  TNetStack& stack = *StackInstance;
  if (!stack.IsIPLiteral(targetHost)) ReportStatus(hsResolving, {targetHost});
  TStringList addresses = stack.ResolveHostAddresses(targetHost);
  // A local address binds sockets of its own family only; a fixed local
  // port can be bound by one socket only.
  if (!ABoundIP.empty()) {
    TStringList sameFamily;
    for (const std::string& address : addresses)
      if (TNetStack::AddressFamily(address) == TNetStack::AddressFamily(ABoundIP)) sameFamily.push_back(address);
    if (!sameFamily.empty()) addresses = std::move(sameFamily);
  }
  if (ABoundPort != 0) addresses.resize(1);

  auto prepare = [&](TNetSocketHandle& AHandle, const std::string& AAddress) {
    AHandle.OpenSocket(Id_SOCK_STREAM, 0, TNetStack::AddressFamily(AAddress));
    AHandle.IP = ABoundIP;
    AHandle.Port = ABoundPort;
    AHandle.ClientPortMin = ABoundPortMin;
    AHandle.ClientPortMax = ABoundPortMax;
    AHandle.BindLocal();
    AHandle.SetRemote(AAddress, targetPort);
  };
  prepare(*FSocketHandle, addresses.front());
  std::vector<std::unique_ptr<TNetSocketHandle>> others;
  std::vector<TNetSocketHandle*> candidates{FSocketHandle.get()};
  for (size_t i = 1; i < addresses.size(); ++i) {
    auto handle = std::make_unique<TNetSocketHandle>();
    try {
      prepare(*handle, addresses[i]);
    } catch (const ENetException&) {
      continue;  // an address this machine cannot use: the others still can be tried
    }
    candidates.push_back(handle.get());
    others.push_back(std::move(handle));
  }
  ApplyNagle(FUseNagle);
  ReportStatus(hsConnecting, {FSocketHandle->RemoteIP});

  size_t winner = 0;
  if (ATimeout != DefaultTimeLimit && ATimeout != 0) {
    winner = ConnectWithTimeout(ATimeout, candidates);
  } else if (TNetAntiFreezeBase::ShouldYield()) {
    winner = ConnectWithTimeout(kAntiFreezeConnectLimit, candidates);
  } else if (candidates.size() > 1) {
    stack.CheckSocketResult(TNetSocketHandle::ConnectFirst(candidates, ConnectAttemptDelay, nullptr, winner));
  } else {
    stack.CheckSocketResult(FSocketHandle->ConnectPeer(FSocketHandle->Family));
  }
  if (winner > 0) {
    // The winner's socket becomes this handler's; the first one goes with the rest.
    FSocketHandle.swap(others[winner - 1]);
    ApplyNagle(FUseNagle);
  }

  // The settings may be shared with another handler that took them later;
  // the handshake belongs on this link.
  socks->SetIOHandler(this);
  // A proxy that takes the connection and then says nothing is bounded like
  // the connect: by its time-out, or by the connect limit when none was given.
  const bool explicitLimit = ATimeout != DefaultTimeLimit && ATimeout != 0;
  socks->NegotiateProxy(AHost, APort, explicitLimit ? ATimeout : kAntiFreezeConnectLimit);
}

// The connect runs on its own thread while this one waits in steps of at
// most 125 ms (or the anti-freeze's idle time-out), letting the windows run
// after each step. A step ends early when the connect ends. On a time-out the
// connect is cancelled and its thread joined before the socket is closed, so
// no descriptor can be reused under a running connect.
size_t TNetIOHandlerSocket::ConnectWithTimeout(int32_t ATimeout, const std::vector<TNetSocketHandle*>& ACandidates) {
  TNetConnectThread thread(FSocketHandle.get());
  thread.Candidates = ACandidates;
  thread.Start();
  FConnectThread = &thread;
  TNetScopeExit forget([this] { FConnectThread = nullptr; });

  int32_t step = kConnectPollStep;
  if (TNetAntiFreezeBase::ShouldYield()) step = std::min(TNetAntiFreezeBase::Current()->IdleTimeOut, kConnectPollStep);
  step = std::max(step, 1);
  int32_t remaining = ATimeout == NoTimeLimit ? step + 1 : ATimeout;
  while (remaining > step) {
    thread.WaitFinished(step);
    remaining = ATimeout == NoTimeLimit ? step + 1 : remaining - step;
    TNetAntiFreezeBase::YieldToUI(true, false);
    if (thread.Finished()) {
      remaining = 0;
      break;
    }
  }
  thread.WaitFinished(remaining);

  if (!thread.Finished()) {
    thread.Terminate();
    thread.Join();
    CloseHandler();
    throw ENetConnectTimeout();
  }
  thread.Join();
  // Closed by a window handler during the wait: the connect was given up.
  if (!IsOpen()) throw ENetClosedSocket();
  if (!thread.FailureText.empty()) {
    if (thread.FailureCode != 0) throw ENetSocketError(thread.FailureCode, thread.FailureText);
    throw ENetConnectException(thread.FailureText);
  }
  return thread.Winner;
}
