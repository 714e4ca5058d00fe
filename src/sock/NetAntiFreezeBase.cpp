#include "NetAntiFreezeBase.h"

#include <atomic>

#include "NetText.h"

namespace {

// Not owned: the window that placed the anti-freeze frees it. Atomic because
// the connect thread asks ShouldYield while the main thread may replace it.
std::atomic<TNetAntiFreezeBase*> CurrentAntiFreeze{nullptr};

}  // namespace

TNetAntiFreezeBase::TNetAntiFreezeBase(TNetBaseComponent* AOwner) : TNetBaseComponent(AOwner) {
  CurrentAntiFreeze.store(this);  // the newest one wins, without a check
}

TNetAntiFreezeBase::~TNetAntiFreezeBase() {
  // Whichever one was in force: after any anti-freeze goes, none is.
  CurrentAntiFreeze.store(nullptr);
}

TNetAntiFreezeBase* TNetAntiFreezeBase::Current() { return CurrentAntiFreeze.load(); }

bool TNetAntiFreezeBase::ShouldYield() {
  // The thread is tested before the instance is touched: only the main thread
  // may look at (and free) it.
  if (!OnMainThread()) return false;
  const TNetAntiFreezeBase* current = CurrentAntiFreeze.load();
  return current && current->Active;
}

void TNetAntiFreezeBase::YieldToUI(bool Idle, bool Force) {
  if (!ShouldYield()) return;
  TNetAntiFreezeBase* current = CurrentAntiFreeze.load();
  if ((Idle || !current->OnlyWhenIdle || Force) && current->Active) current->PumpMessages();
}
