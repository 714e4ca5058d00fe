// The anti-freeze: keeps the windows alive while network calls block the
// thread that runs them.
//
// Blocking code never holds a reference to an anti-freeze. It calls
// ShouldYield and YieldToUI, which work whether or not one exists; the newest
// anti-freeze is the one in force, and destroying any of them leaves none in
// force. Only the main thread ever pumps messages.
#pragma once

#include <cstdint>

#include "NetBaseComponent.h"

class TNetAntiFreezeBase : public TNetBaseComponent {
 public:
  // Becomes the anti-freeze in force, replacing any earlier one.
  explicit TNetAntiFreezeBase(TNetBaseComponent* AOwner = nullptr);
  // Leaves no anti-freeze in force, whichever one was.
  ~TNetAntiFreezeBase() override;

  std::string ClassName() const override { return "TNetAntiFreezeBase"; }

  bool Active = true;                  // the service works only while true
  bool ApplicationHasPriority = true;  // a step processes every pending message, or at most one
  int32_t IdleTimeOut = 250;           // length of one wait slice, ms
  bool OnlyWhenIdle = true;            // pump only after a slice in which nothing arrived

  // Lets the windowing toolkit process pending messages once.
  virtual void PumpMessages() = 0;

  static TNetAntiFreezeBase* Current();
  // True exactly when an anti-freeze is in force, it is Active, and the
  // caller runs on the main thread.
  static bool ShouldYield();
  // One step: pumps when ShouldYield and (Idle or not OnlyWhenIdle or Force).
  static void YieldToUI(bool Idle, bool Force);
};
