// The clean-up scopes: what runs on which way out of a block, and which
// failure reaches the caller when the clean-up fails too.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "NetComponent.h"
#include "NetScope.h"

namespace {

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The message of what ABody throws, "" when it returns.
template <class TBody>
std::string FailureOf(TBody ABody) {
  try {
    ABody();
  } catch (const Failure& e) {
    return e.what();
  }
  return "";
}

}  // namespace

TEST(ScopeExit, RunsOnEveryWayOutUnlessReleased) {
  struct Case {
    const char* name;
    bool fail;
    bool release;
    int expectedRuns;
  };
  const Case cases[] = {
      {"normal exit", false, false, 1},
      {"failure", true, false, 1},
      {"released, normal exit", false, true, 0},
      // Undo on failure only: the release is never reached.
      {"released after the step, failure", true, true, 1},
  };
  for (const Case& c : cases) {
    int runs = 0;
    const std::string failure = FailureOf([&] {
      TNetScopeExit exit([&runs] { ++runs; });
      if (c.fail) throw Failure("step");
      if (c.release) exit.Release();
    });
    EXPECT_EQ(runs, c.expectedRuns) << c.name;
    EXPECT_EQ(failure, c.fail ? "step" : "") << c.name;
  }
}

TEST(ScopeExit, FailingCleanUpRaisesOnANormalExit) {
  EXPECT_EQ(FailureOf([] { TNetScopeExit exit([] { throw Failure("clean-up"); }); }), "clean-up");
}

// The block's own failure wins, and the program goes on: the clean-up's
// failure is dropped while the first one unwinds the stack.
TEST(ScopeExit, FailingCleanUpDuringAFailureLeavesTheFirstFailure) {
  bool laterCleanUpRan = false;
  EXPECT_EQ(FailureOf([&] {
              TNetScopeExit later([&] { laterCleanUpRan = true; });
              TNetScopeExit first([] { throw Failure("clean-up"); });
              throw Failure("step");
            }),
            "step");
  EXPECT_TRUE(laterCleanUpRan);
}

// A scope opened inside a destructor that runs during unwinding is not being
// unwound itself: its failure reaches the handler around it.
TEST(ScopeExit, ScopeOpenedWhileUnwindingStillRaises) {
  std::string inner;
  struct Tidy {
    std::string& seen;
    ~Tidy() {
      seen = FailureOf([] { TNetScopeExit exit([] { throw Failure("inner clean-up"); }); });
    }
  };
  EXPECT_EQ(FailureOf([&] {
              Tidy tidy{inner};
              throw Failure("outer");
            }),
            "outer");
  EXPECT_EQ(inner, "inner clean-up");
}

namespace {

struct Worker {
  TNetComponent component;
  int begins = 0;
  int ends = 0;
  Worker() {
    component.OnWorkBegin = [this](TNetBaseComponent*, TWorkMode, int64_t) { ++begins; };
    component.OnWorkEnd = [this](TNetBaseComponent*, TWorkMode) { ++ends; };
  }
};

}  // namespace

TEST(WorkScope, OpensAndEndsThePhaseOnEveryWayOut) {
  for (const bool fail : {false, true}) {
    Worker w;
    const std::string failure = FailureOf([&] {
      TNetWorkScope work(w.component, wmRead, 10);
      EXPECT_EQ(w.component.WorkLevel(wmRead), 1);
      EXPECT_EQ(w.component.WorkCountMax(wmRead), 10);
      // Nested phases report once: only the outermost begins and ends.
      TNetWorkScope inner(w.component, wmRead, 99);
      if (fail) throw Failure("read");
    });
    EXPECT_EQ(failure, fail ? "read" : "") << fail;
    EXPECT_EQ(w.begins, 1) << fail;
    EXPECT_EQ(w.ends, 1) << fail;
    EXPECT_EQ(w.component.WorkLevel(wmRead), 0) << fail;
    EXPECT_EQ(w.component.WorkLevel(wmWrite), 0) << fail;
  }
}

TEST(WorkScope, AFailingBeginLeavesNoPhaseOpen) {
  Worker w;
  w.component.OnWorkBegin = [](TNetBaseComponent*, TWorkMode, int64_t) { throw Failure("begin"); };
  EXPECT_EQ(FailureOf([&] { TNetWorkScope work(w.component, wmWrite, 5); }), "begin");
  EXPECT_EQ(w.component.WorkLevel(wmWrite), 0);
  EXPECT_EQ(w.ends, 0);
}

TEST(WorkScope, AFailingEndRaisesOnANormalExitAndYieldsToTheFirstFailure) {
  Worker w;
  w.component.OnWorkEnd = [](TNetBaseComponent*, TWorkMode) { throw Failure("end"); };
  EXPECT_EQ(FailureOf([&] { TNetWorkScope work(w.component, wmRead, 0); }), "end");
  EXPECT_EQ(w.component.WorkLevel(wmRead), 0);
  EXPECT_EQ(FailureOf([&] {
              TNetWorkScope work(w.component, wmRead, 0);
              throw Failure("read");
            }),
            "read");
  EXPECT_EQ(w.component.WorkLevel(wmRead), 0);
}
