// Scopes that end or undo something on every way out of a block, in place of
// try / catch (...) / clean up / rethrow.
//
// The rule both follow: on a normal exit a failing clean-up raises like any
// other call. While an exception unwinds the block, a clean-up cannot raise
// one of its own (that would end the program); its failure is dropped there,
// and the first failure is the one that goes on to the caller.
#pragma once

#include <cstdint>
#include <exception>
#include <utility>

// Runs one clean-up under the rule above. AUnwinding is the count of
// exceptions in flight when the scope began: more now means the scope is
// being unwound.
template <class TCleanUp>
void RunScopeCleanUp(int AUnwinding, TCleanUp& ACleanUp) {
  if (std::uncaught_exceptions() <= AUnwinding) {
    ACleanUp();
    return;
  }
  try {
    ACleanUp();
  } catch (...) {
    // The failure that unwinds the block is the one the caller needs to see.
  }
}

// Runs an action when the scope ends, unless Release() came first:
//   TNetScopeExit restore([this, saved = ReadTimeout] { ReadTimeout = saved; });
// With Release() at the end of the block, it undoes a half-done step on
// failure only.
template <class TAction>
class TNetScopeExit {
 public:
  explicit TNetScopeExit(TAction AAction) : FAction(std::move(AAction)) {}
  ~TNetScopeExit() noexcept(false) {
    if (FArmed) RunScopeCleanUp(FUnwinding, FAction);
  }
  TNetScopeExit(const TNetScopeExit&) = delete;
  TNetScopeExit& operator=(const TNetScopeExit&) = delete;

  // The step the action undoes has succeeded: the action does not run.
  void Release() { FArmed = false; }

 private:
  TAction FAction;
  int FUnwinding = std::uncaught_exceptions();
  bool FArmed = true;
};

// A work phase of a component (anything with StartWork(mode, max) and
// FinishWork(mode)), open for the life of the scope:
//   TNetWorkScope work(*this, wmRead, AByteCount);
// The phase opens in the constructor. A start that fails leaves no phase open
// (the component's StartWork sees to that), so nothing is finished then; an
// opened phase is finished on every way out.
template <class TWorker, class TMode>
class TNetWorkScope {
 public:
  TNetWorkScope(TWorker& AWorker, TMode AMode, int64_t AWorkCountMax) : FWorker(AWorker), FMode(AMode) {
    FWorker.StartWork(FMode, AWorkCountMax);
  }
  ~TNetWorkScope() noexcept(false) {
    auto finish = [this] { FWorker.FinishWork(FMode); };
    RunScopeCleanUp(FUnwinding, finish);
  }
  TNetWorkScope(const TNetWorkScope&) = delete;
  TNetWorkScope& operator=(const TNetWorkScope&) = delete;

 private:
  TWorker& FWorker;
  TMode FMode;
  int FUnwinding = std::uncaught_exceptions();
};
