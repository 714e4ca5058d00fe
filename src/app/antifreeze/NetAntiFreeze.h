// The anti-freeze of the windows: lets Qt process pending events from inside
// a blocked network call, so that windows repaint and buttons (Abort,
// Disconnect) work while a transfer runs.
#pragma once

#include "NetAntiFreezeBase.h"

class TNetAntiFreeze : public TNetAntiFreezeBase {
 public:
  using TNetAntiFreezeBase::TNetAntiFreezeBase;
  std::string ClassName() const override { return "TNetAntiFreeze"; }

  // Never waits for an event.
  //  ApplicationHasPriority: processes every event pending now, round after
  //    round of the event dispatcher, and returns as soon as a round finds
  //    nothing to do. A queue that keeps refilling itself (a handler that
  //    posts again at once) is cut off after MaxPumpMs.
  //  Otherwise: one round of the event dispatcher without waiting. Qt cannot
  //    hand out a single event, so a round is the smallest step it offers: it
  //    delivers what was pending when the round began (posted events, due
  //    timers, window-system events) and does nothing when nothing is pending.
  void PumpMessages() override;

  static constexpr int MaxPumpMs = 100;
};
