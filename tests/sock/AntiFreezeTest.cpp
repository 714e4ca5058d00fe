// The anti-freeze base (current instance, ShouldYield, YieldToUI) and the
// sliced wait for data of a socket handle, observed through an anti-freeze
// that records its pumps.
#include <functional>
#include <thread>
#include <vector>

#include "NetAntiFreezeBase.h"
#include "NetExceptions.h"
#include "NetSocketHandle.h"
#include "SockTestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

class TCountingAntiFreeze : public TNetAntiFreezeBase {
 public:
  using TNetAntiFreezeBase::TNetAntiFreezeBase;
  void PumpMessages() override {
    Pumps.push_back(Clock::now());
    if (OnPump) OnPump();
  }
  std::vector<Clock::time_point> Pumps;
  std::function<void()> OnPump;
};

int64_t Millis(Clock::time_point From, Clock::time_point To) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(To - From).count();
}

}  // namespace

TEST(AntiFreeze, TheNewestIsCurrentAndFreeingAnyLeavesNone) {
  EXPECT_EQ(TNetAntiFreezeBase::Current(), nullptr);
  EXPECT_FALSE(TNetAntiFreezeBase::ShouldYield());
  auto first = std::make_unique<TCountingAntiFreeze>();
  EXPECT_EQ(TNetAntiFreezeBase::Current(), first.get());
  EXPECT_TRUE(first->Active);
  EXPECT_TRUE(first->ApplicationHasPriority);
  EXPECT_EQ(first->IdleTimeOut, 250);
  EXPECT_TRUE(first->OnlyWhenIdle);
  {
    TNetBaseComponent owner;
    auto* second = owner.CreateComponent<TCountingAntiFreeze>();
    EXPECT_EQ(TNetAntiFreezeBase::Current(), second);
  }
  EXPECT_EQ(TNetAntiFreezeBase::Current(), nullptr);  // though the first still exists
  TNetAntiFreezeBase::YieldToUI(true, true);
  EXPECT_TRUE(first->Pumps.empty());
}

TEST(AntiFreeze, WhenAStepPumps) {
  TCountingAntiFreeze af;
  ASSERT_TRUE(TNetAntiFreezeBase::ShouldYield());
  TNetAntiFreezeBase::YieldToUI(false, false);  // only when idle: nothing
  EXPECT_EQ(af.Pumps.size(), 0u);
  TNetAntiFreezeBase::YieldToUI(true, false);
  TNetAntiFreezeBase::YieldToUI(false, true);
  EXPECT_EQ(af.Pumps.size(), 2u);
  af.OnlyWhenIdle = false;
  TNetAntiFreezeBase::YieldToUI(false, false);
  EXPECT_EQ(af.Pumps.size(), 3u);

  std::thread other([] {
    EXPECT_FALSE(TNetAntiFreezeBase::ShouldYield());
    TNetAntiFreezeBase::YieldToUI(true, true);
  });
  other.join();
  EXPECT_EQ(af.Pumps.size(), 3u);

  af.Active = false;
  EXPECT_FALSE(TNetAntiFreezeBase::ShouldYield());
  TNetAntiFreezeBase::YieldToUI(true, true);
  EXPECT_EQ(af.Pumps.size(), 3u);
}

TEST(AntiFreeze, AnExceptionOfAHandlerLeavesTheStep) {
  TCountingAntiFreeze af;
  af.OnPump = [] { throw ENetConnectTimeout(); };
  EXPECT_THROW(TNetAntiFreezeBase::YieldToUI(true, false), ENetConnectTimeout);
}

// ---------------------------------------------------------------------------

namespace {

class SlicedWait : public TStackFixture {
 protected:
  void SetUp() override {
    int32_t port = 0;
    UniqueFd listening = Listener(Stack(), port);
    FHandle.OpenSocket();
    FHandle.SetRemote("127.0.0.1", port);
    ASSERT_EQ(FHandle.ConnectPeer(), 0);
    std::string ip;
    int32_t peerPort;
    FPeer = UniqueFd(Stack().SockAccept(listening.Get(), ip, peerPort));
  }
  // Sends one byte to the handle after Ms milliseconds, from another thread.
  std::thread SendLater(int Ms) {
    return std::thread([this, Ms] {
      std::this_thread::sleep_for(std::chrono::milliseconds(Ms));
      Stack().SockSend(FPeer.Get(), "d", 1, 0);
    });
  }
  TNetSocketHandle FHandle;
  UniqueFd FPeer;
};

}  // namespace

// A long time-out does not hold the windows: its wait is cut into idle
// slices like an unlimited one, and ends when they add up to the limit.
TEST_F(SlicedWait, ALimitedWaitIsCutIntoIdleSlicesUpToTheLimit) {
  TCountingAntiFreeze af;
  af.IdleTimeOut = 50;
  af.OnlyWhenIdle = false;
  const auto start = Clock::now();
  EXPECT_FALSE(FHandle.WaitReadable(600));
  const int64_t elapsed = MillisSince(start);
  EXPECT_GE(elapsed, 580);
  EXPECT_LT(elapsed, 3000);
  ASSERT_GE(af.Pumps.size(), 6u);
  EXPECT_LE(static_cast<int64_t>(af.Pumps.size()), elapsed / 40 + 1);
  EXPECT_LT(Millis(start, af.Pumps[0]), 500);  // the first step comes after one slice
  // Whole slices apart; the last one is what was left of the limit.
  for (size_t i = 1; i + 1 < af.Pumps.size(); ++i) EXPECT_GE(Millis(af.Pumps[i - 1], af.Pumps[i]), 35) << i;
}

TEST_F(SlicedWait, DataDuringALimitedWaitEndsItInItsSlice) {
  TCountingAntiFreeze af;
  af.IdleTimeOut = 50;
  af.OnlyWhenIdle = false;
  std::thread sender = SendLater(150);
  const auto start = Clock::now();
  EXPECT_TRUE(FHandle.WaitReadable(5000));
  const int64_t elapsed = MillisSince(start);
  EXPECT_LT(elapsed, 3000);
  sender.join();
  // One step after each slice, the one that saw the data too (OnlyWhenIdle is off).
  EXPECT_GE(af.Pumps.size(), 2u);
  EXPECT_LE(static_cast<int64_t>(af.Pumps.size()), elapsed / 40 + 1);
}

TEST_F(SlicedWait, AnUnlimitedWaitIsCutIntoIdleSlices) {
  TCountingAntiFreeze af;
  af.IdleTimeOut = 50;
  af.OnlyWhenIdle = true;  // the idle slices pump, the one that saw data does not
  std::thread sender = SendLater(400);
  const auto start = Clock::now();
  EXPECT_TRUE(FHandle.WaitReadable(NoTimeLimit));
  const int64_t elapsed = MillisSince(start);
  sender.join();
  EXPECT_GE(elapsed, 350);
  ASSERT_GE(af.Pumps.size(), 3u);
  EXPECT_LE(static_cast<int64_t>(af.Pumps.size()), elapsed / 40 + 1);
  for (size_t i = 1; i < af.Pumps.size(); ++i) EXPECT_GE(Millis(af.Pumps[i - 1], af.Pumps[i]), 35) << i;
}

// A peer that takes nothing: the send that finds no room waits in idle
// slices for the send time-out, then fails as the time-out would.
TEST_F(SlicedWait, ASendThatFindsNoRoomWaitsInIdleSlicesUpToTheSendTimeout) {
  TCountingAntiFreeze af;
  af.IdleTimeOut = 50;
  FHandle.SetSendTimeout(600);
  const std::string block(1 << 16, 'x');
  int32_t code = 0;
  Clock::time_point start;
  for (int sends = 0; sends < 10000 && code == 0; ++sends) {
    af.Pumps.clear();
    start = Clock::now();
    try {
      Stack().CheckSocketResult(FHandle.SendBytes(block.data(), static_cast<int32_t>(block.size()), 0));
    } catch (const ENetSocketError& e) {
      code = e.SocketErrorCode;
    }
  }
  const int64_t elapsed = MillisSince(start);
  EXPECT_EQ(code, ErrWouldBlock);
  EXPECT_GE(elapsed, 580);
  EXPECT_LT(elapsed, 3000);
  EXPECT_GE(af.Pumps.size(), 6u);
  EXPECT_LE(static_cast<int64_t>(af.Pumps.size()), elapsed / 40 + 1);
}

TEST_F(SlicedWait, OnAnotherThreadTheWaitIsOnePieceWithoutPumps) {
  TCountingAntiFreeze af;
  af.IdleTimeOut = 50;
  af.OnlyWhenIdle = false;
  bool readable = true;
  int64_t elapsed = 0;
  std::thread waiter([&] {
    const auto start = Clock::now();
    readable = FHandle.WaitReadable(600);
    elapsed = MillisSince(start);
  });
  waiter.join();
  EXPECT_FALSE(readable);
  EXPECT_GE(elapsed, 580);
  EXPECT_TRUE(af.Pumps.empty());
}

TEST_F(SlicedWait, WithoutAnActiveAntiFreezeNothingIsPumped) {
  {
    const auto start = Clock::now();
    EXPECT_FALSE(FHandle.WaitReadable(300));
    EXPECT_GE(MillisSince(start), 280);
  }
  TCountingAntiFreeze af;
  af.IdleTimeOut = 50;
  af.OnlyWhenIdle = false;
  af.Active = false;
  const auto start = Clock::now();
  EXPECT_FALSE(FHandle.WaitReadable(300));
  EXPECT_GE(MillisSince(start), 280);
  EXPECT_TRUE(af.Pumps.empty());
}

TEST_F(SlicedWait, AHandlerThatDropsTheSocketEndsTheWait) {
  TCountingAntiFreeze af;
  af.IdleTimeOut = 50;
  af.OnPump = [this, &af] {
    if (af.Pumps.size() == 3) FHandle.ReleaseSocket();  // a Disconnect button
  };
  EXPECT_THROW(FHandle.WaitReadable(NoTimeLimit), ENetConnClosedGracefully);
  EXPECT_EQ(af.Pumps.size(), 3u);
}

TEST_F(SlicedWait, AHandlerThatFreesTheAntiFreezeLeavesOneUnslicedWait) {
  auto af = std::make_unique<TCountingAntiFreeze>();
  af->IdleTimeOut = 50;
  int pumps = 0;
  af->OnPump = [&] {
    ++pumps;
    af.reset();  // its window closed
  };
  std::thread sender = SendLater(300);
  EXPECT_TRUE(FHandle.WaitReadable(NoTimeLimit));
  sender.join();
  EXPECT_EQ(pumps, 1);
}
