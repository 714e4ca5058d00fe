// The anti-freeze's message pumping over Qt, in both priority modes.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QTimer>

#include "NetAntiFreeze.h"

namespace {

const QEvent::Type PingType = static_cast<QEvent::Type>(QEvent::User + 1);

class TReceiver : public QObject {
 public:
  int Pings = 0;
  bool Repost = false;  // a handler that keeps the queue busy

 protected:
  bool event(QEvent* e) override {
    if (e->type() != PingType) return QObject::event(e);
    ++Pings;
    if (Repost) QCoreApplication::postEvent(this, new QEvent(PingType));
    return true;
  }
};

void Post(TReceiver& R, int Count) {
  for (int i = 0; i < Count; ++i) QCoreApplication::postEvent(&R, new QEvent(PingType));
}

class QtAntiFreeze : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "app_antifreeze";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) FApp = new QApplication(argc, argv);
  }
  void TearDown() override {
    // Leave nothing queued for the next case.
    QCoreApplication::removePostedEvents(&FReceiver);
  }
  static QApplication* FApp;
  TReceiver FReceiver;
};
QApplication* QtAntiFreeze::FApp = nullptr;

}  // namespace

TEST_F(QtAntiFreeze, PriorityProcessesEverythingPendingAndNeverWaits) {
  TNetAntiFreeze af;
  ASSERT_TRUE(af.ApplicationHasPriority);
  Post(FReceiver, 5);
  bool timerFired = false;
  QTimer::singleShot(0, [&] { timerFired = true; });
  af.PumpMessages();
  EXPECT_EQ(FReceiver.Pings, 5);
  EXPECT_TRUE(timerFired);

  QElapsedTimer clock;
  clock.start();
  af.PumpMessages();  // nothing pending: back at once
  EXPECT_LT(clock.elapsed(), 50);
}

TEST_F(QtAntiFreeze, PriorityStopsAQueueThatRefillsItself) {
  TNetAntiFreeze af;
  FReceiver.Repost = true;
  Post(FReceiver, 1);
  QElapsedTimer clock;
  clock.start();
  af.PumpMessages();
  EXPECT_LT(clock.elapsed(), TNetAntiFreeze::MaxPumpMs + 1000);
  EXPECT_GT(FReceiver.Pings, 1);
}

TEST_F(QtAntiFreeze, WithoutPriorityOneRoundAtATime) {
  TNetAntiFreeze af;
  af.ApplicationHasPriority = false;
  QElapsedTimer clock;
  clock.start();
  af.PumpMessages();  // nothing pending: no waiting
  EXPECT_LT(clock.elapsed(), 50);

  // A self-reposting handler shows the step's bound: one round delivers what
  // was pending when it began, not what the handler posts meanwhile.
  FReceiver.Repost = true;
  Post(FReceiver, 1);
  af.PumpMessages();
  EXPECT_EQ(FReceiver.Pings, 1);
  af.PumpMessages();
  EXPECT_EQ(FReceiver.Pings, 2);
}

TEST_F(QtAntiFreeze, AStepOfTheBlockingCodeReachesTheToolkit) {
  TNetAntiFreeze af;
  af.OnlyWhenIdle = false;
  Post(FReceiver, 3);
  TNetAntiFreezeBase::YieldToUI(false, false);
  EXPECT_EQ(FReceiver.Pings, 3);
}
