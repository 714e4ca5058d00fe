// The channel under a connection: the abstract I/O handler and its socket
// implementation, which opens, binds, connects (with a time limit when asked,
// on a connect thread) and runs a SOCKS handshake when a proxy is set.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "NetComponent.h"
#include "NetSocketHandle.h"
#include "NetSocksInfo.h"

// ReceiveReady's result when nothing has arrived.
constexpr int32_t ReceiveNotReady = -2;

class TNetIOHandler : public TNetComponent {
 public:
  explicit TNetIOHandler(TNetBaseComponent* AOwner = nullptr) : TNetComponent(AOwner) {}
  // Derived handlers close themselves in their own destructors.
  ~TNetIOHandler() override = default;

  std::string ClassName() const override { return "TNetIOHandler"; }

  bool Active = false;

  virtual void AcceptDone() {}
  virtual void CloseHandler() { Active = false; }
  virtual void ConnectTo(const std::string& /*AHost*/, int32_t /*APort*/, const std::string& /*ABoundIP*/,
                         int32_t /*ABoundPort*/, int32_t /*ABoundPortMin*/, int32_t /*ABoundPortMax*/,
                         int32_t /*ATimeout*/) {}
  virtual bool IsOpen() { return Active; }
  virtual void OpenHandler() { Active = true; }
  virtual bool WaitReadable(int32_t AMilliseconds) = 0;
  // One receive call: the byte count, 0 when the peer closed, -1 on a socket error.
  virtual int32_t ReceiveSome(void* ABuffer, int32_t ALength) = 0;
  // True when ReceiveReady can tell: the handler can take what has arrived
  // without waiting.
  virtual bool ReceivesWithoutWait() { return false; }
  // One receive call that takes only what has arrived already: as
  // ReceiveSome, or ReceiveNotReady when that is nothing (always, where
  // ReceivesWithoutWait is false). Saves the readiness wait while data
  // keeps coming.
  virtual int32_t ReceiveReady(void* /*ABuffer*/, int32_t /*ALength*/) { return ReceiveNotReady; }
  // One send call, same result convention.
  virtual int32_t SendSome(const void* ABuffer, int32_t ALength) = 0;
};

// Runs one connect of a socket handle on its own thread, so that the caller
// can bound the wait and keep the windows alive meanwhile.
class TNetConnectThread {
 public:
  explicit TNetConnectThread(TNetSocketHandle* ASocketHandle) : SocketHandle(ASocketHandle) {}
  // Joins the thread (cancelling the connect first when it still runs).
  ~TNetConnectThread();

  TNetSocketHandle* SocketHandle;  // not owned
  // More than one: the handles (SocketHandle first) whose connects race
  // with staggered starts; Winner is then the index of the one that won.
  std::vector<TNetSocketHandle*> Candidates;
  size_t Winner = 0;
  std::string FailureText;         // empty unless the connect attempt raised
  int32_t FailureCode = 0;         // the socket error number when it was ENetSocketError

  void Start();
  // Waits up to AMilliseconds for the connect to end; true once it has.
  bool WaitFinished(int32_t AMilliseconds);
  // Set as the thread body's last action (release); read with acquire.
  bool Finished() const { return FFinished.load(std::memory_order_acquire); }
  // Wakes the blocked connect and makes it give up.
  void Terminate() { FCancel.Cancel(); }
  void Join();

 private:
  void Execute();

  TNetCancelSignal FCancel;
  std::atomic<bool> FFinished{false};
  std::mutex FLock;
  std::condition_variable FDone;
  std::thread FThread;
};

class TNetIOHandlerSocket : public TNetIOHandler {
 public:
  explicit TNetIOHandlerSocket(TNetBaseComponent* AOwner = nullptr);
  ~TNetIOHandlerSocket() override;

  std::string ClassName() const override { return "TNetIOHandlerSocket"; }

  // Absent until the first OpenHandler.
  TNetSocketHandle* SocketHandle() const { return FSocketHandle.get(); }

  // True leaves Nagle's algorithm on; false sets TCP_NODELAY.
  bool UseNagle() const { return FUseNagle; }
  void SetUseNagle(bool AValue);

  // Reading it when none is set creates an internal settings object that the
  // handler owns. Assigning an object that has an owner references it (until
  // it is destroyed); assigning an owner-less one copies its settings into
  // the internal object; assigning null drops the reference.
  TNetSocksInfo* SocksInfo();
  void SetSocksInfo(TNetSocksInfo* AValue);

  void CloseHandler() override;
  void ConnectTo(const std::string& AHost, int32_t APort, const std::string& ABoundIP, int32_t ABoundPort,
                 int32_t ABoundPortMin, int32_t ABoundPortMax, int32_t ATimeout) override;
  bool IsOpen() override;
  void OpenHandler() override;
  bool WaitReadable(int32_t AMilliseconds) override;
  int32_t ReceiveSome(void* ABuffer, int32_t ALength) override;
  bool ReceivesWithoutWait() override { return true; }
  int32_t ReceiveReady(void* ABuffer, int32_t ALength) override;
  int32_t SendSome(const void* ABuffer, int32_t ALength) override;
  // The bytes sent go to the socket as they are, so the kernel may send a
  // whole file straight to it.
  virtual bool WritesRawSocket() const { return true; }

 protected:
  void Notification(TNetBaseComponent* AComponent, TNetOperation AOperation) override;

 private:
  void ApplyNagle(bool AValue);
  // Returns the index of the candidate that connected (0 with one candidate).
  size_t ConnectWithTimeout(int32_t ATimeout, const std::vector<TNetSocketHandle*>& ACandidates);

  std::unique_ptr<TNetSocketHandle> FSocketHandle;
  TNetConnectThread* FConnectThread = nullptr;  // while ConnectWithTimeout waits for it
  bool FUseNagle = true;
  std::unique_ptr<TNetSocksInfo> FInternalSocks;  // owner-less settings, owned here
  TNetSocksInfo* FSocksInfo = nullptr;            // the settings in use (internal or referenced)
};
