// Intercepts: components a connection carries to watch or rewrite its traffic.
//
// The connection tells its intercept when the link has been opened and when
// it is about to close, and passes every block through it: each block read
// from the socket before it is buffered, each block to be written before it
// goes to the socket. A handler may rewrite the block; the connection uses
// whatever the block holds afterwards.
//
// Intercepts nest: NextIntercept sits nearer the socket, so incoming data
// reaches it first and outgoing data reaches it last.
#pragma once

#include <functional>

#include "NetBaseComponent.h"
#include "NetStream.h"

class TNetConnectionIntercept;

using TNetInterceptNotifyEvent = std::function<void(TNetConnectionIntercept* ASender)>;
using TNetInterceptStreamEvent = std::function<void(TNetConnectionIntercept* ASender, TNetMemoryStream& AStream)>;

class TNetConnectionIntercept : public TNetBaseComponent {
 public:
  explicit TNetConnectionIntercept(TNetBaseComponent* AOwner = nullptr);
  ~TNetConnectionIntercept() override;

  std::string ClassName() const override { return "TNetConnectionIntercept"; }

  // The connection that last attached this intercept; null before the first
  // attach and after a detach.
  TNetBaseComponent* AttachedConnection() const { return FAttachedConnection; }

  // Setting it registers for the nested intercept's destruction, which clears it.
  TNetConnectionIntercept* NextIntercept() const { return FNextIntercept; }
  void SetNextIntercept(TNetConnectionIntercept* AValue);

  TNetInterceptNotifyEvent OnConnect;
  TNetInterceptNotifyEvent OnDisconnect;
  TNetInterceptStreamEvent OnReceive;
  TNetInterceptStreamEvent OnSend;

  virtual void AttachTo(TNetBaseComponent* AConnection);
  virtual void Detach();
  // ABlock holds exactly the bytes, positioned at its start.
  virtual void ProcessReceived(TNetMemoryStream& ABlock);
  virtual void ProcessSending(TNetMemoryStream& ABlock);

 protected:
  virtual void NestedAttach(TNetBaseComponent* AConnection);
  virtual void NestedDetach();
  virtual void NestedReceived(TNetMemoryStream& ABlock);
  virtual void NestedSending(TNetMemoryStream& ABlock);
  void Notification(TNetBaseComponent* AComponent, TNetOperation AOperation) override;

 private:
  TNetBaseComponent* FAttachedConnection = nullptr;
  TNetConnectionIntercept* FNextIntercept = nullptr;
};
