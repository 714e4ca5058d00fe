#include "NetBaseComponent.h"

#include <algorithm>

#include "NetExceptions.h"

void TNetPersistent::Assign(const TNetPersistent& Source) { throw EAssignError(Source.ClassName(), ClassName()); }

TNetBaseComponent::TNetBaseComponent(TNetBaseComponent* AOwner) : FOwner(AOwner) {}

TNetBaseComponent::~TNetBaseComponent() {
  FDestroying = true;
  // Owned components go first, newest first, while this one still exists.
  while (!FComponents.empty()) {
    std::unique_ptr<TNetBaseComponent> last = std::move(FComponents.back());
    FComponents.pop_back();
    last.reset();
  }
  // Tell everyone who refers to this component, and forget them.
  std::vector<TNetBaseComponent*> notifies;
  notifies.swap(FFreeNotifies);
  for (TNetBaseComponent* other : notifies) {
    other->Unlink(this);
    if (!other->FDestroying) other->Notification(this, opRemove);
  }
  if (FOwner && !FOwner->FDestroying) FOwner->Notification(this, opRemove);
}

bool TNetBaseComponent::FreeComponent(TNetBaseComponent* AComponent) {
  auto it = std::find_if(FComponents.begin(), FComponents.end(),
                         [AComponent](const std::unique_ptr<TNetBaseComponent>& c) { return c.get() == AComponent; });
  if (it == FComponents.end()) return false;
  // Take it out of the list before it is destroyed, so that notifications
  // raised by its destruction see a consistent owner.
  std::unique_ptr<TNetBaseComponent> doomed = std::move(*it);
  FComponents.erase(it);
  doomed.reset();
  return true;
}

bool TNetBaseComponent::Owns(const TNetBaseComponent* AComponent) const {
  return std::any_of(FComponents.begin(), FComponents.end(),
                     [AComponent](const std::unique_ptr<TNetBaseComponent>& c) { return c.get() == AComponent; });
}

void TNetBaseComponent::FreeNotification(TNetBaseComponent* AComponent) {
  if (!AComponent || AComponent == this) return;
  if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent) == FFreeNotifies.end())
    FFreeNotifies.push_back(AComponent);
  if (std::find(AComponent->FFreeNotifies.begin(), AComponent->FFreeNotifies.end(), this) ==
      AComponent->FFreeNotifies.end())
    AComponent->FFreeNotifies.push_back(this);
}

void TNetBaseComponent::RemoveFreeNotification(TNetBaseComponent* AComponent) {
  if (!AComponent) return;
  Unlink(AComponent);
  AComponent->Unlink(this);
}

void TNetBaseComponent::Unlink(TNetBaseComponent* AComponent) {
  FFreeNotifies.erase(std::remove(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent), FFreeNotifies.end());
}

void TNetBaseComponent::EndLoading() {
  if (!FLoading) return;
  FLoading = false;
  Loaded();
}

void TNetBaseComponent::Notification(TNetBaseComponent*, TNetOperation) {}
