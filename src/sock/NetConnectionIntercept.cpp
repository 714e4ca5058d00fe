#include "NetConnectionIntercept.h"

TNetConnectionIntercept::TNetConnectionIntercept(TNetBaseComponent* AOwner) : TNetBaseComponent(AOwner) {}

TNetConnectionIntercept::~TNetConnectionIntercept() = default;

void TNetConnectionIntercept::SetNextIntercept(TNetConnectionIntercept* AValue) {
  // An earlier link is left in place: the base's links are shared both ways,
  // and the other side may still depend on it. Notification compares pointers,
  // so a stale link costs nothing.
  FNextIntercept = AValue;
  if (AValue) AValue->FreeNotification(this);
}

void TNetConnectionIntercept::Notification(TNetBaseComponent* AComponent, TNetOperation AOperation) {
  TNetBaseComponent::Notification(AComponent, AOperation);
  if (AOperation != opRemove) return;
  if (AComponent == FNextIntercept) FNextIntercept = nullptr;
  if (AComponent == FAttachedConnection) FAttachedConnection = nullptr;
}

void TNetConnectionIntercept::AttachTo(TNetBaseComponent* AConnection) {
  FAttachedConnection = AConnection;
  // A connection freed while still attached must not leave a dangling reference.
  if (AConnection) AConnection->FreeNotification(this);
  if (OnConnect) OnConnect(this);
  NestedAttach(AConnection);
}

void TNetConnectionIntercept::Detach() {
  NestedDetach();
  if (OnDisconnect) OnDisconnect(this);
  FAttachedConnection = nullptr;
}

// Incoming data reaches the nested intercept (nearer the socket) first.
void TNetConnectionIntercept::ProcessReceived(TNetMemoryStream& ABlock) {
  NestedReceived(ABlock);
  if (OnReceive) {
    OnReceive(this, ABlock);
    ABlock.SetPosition(0);
  }
}

// Outgoing data reaches the nested intercept last.
void TNetConnectionIntercept::ProcessSending(TNetMemoryStream& ABlock) {
  if (OnSend) {
    OnSend(this, ABlock);
    ABlock.SetPosition(0);
  }
  NestedSending(ABlock);
}

void TNetConnectionIntercept::NestedAttach(TNetBaseComponent* AConnection) {
  if (FNextIntercept) FNextIntercept->AttachTo(AConnection);
}

void TNetConnectionIntercept::NestedDetach() {
  if (FNextIntercept) FNextIntercept->Detach();
}

void TNetConnectionIntercept::NestedReceived(TNetMemoryStream& ABlock) {
  if (FNextIntercept) FNextIntercept->ProcessReceived(ABlock);
}

void TNetConnectionIntercept::NestedSending(TNetMemoryStream& ABlock) {
  if (FNextIntercept) FNextIntercept->ProcessSending(ABlock);
}
