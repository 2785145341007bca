// Tests of CallTracker: counting live calls per module and waiting for idle.
#include "pluginhost/call_tracker.h"

#include <gtest/gtest.h>

#include <time.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "compat/pt.h"

namespace {

const int kHangMs = 5000;
const int kBlockedMs = 100;

long long monotonicUs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Runs waitIdle on its own thread so the test can see whether it returned.
// The waiter shares ownership of the tracker: one still blocked when the test
// ends (a lost wake-up) is detached and reported instead of hanging the run.
class IdleWaiter {
 public:
  struct State {
    std::atomic<int> result{-1};
    pt::timedsem done{0};
  };

  IdleWaiter(std::shared_ptr<CallTracker> tracker, const void* module, int timeoutMs)
      : state_(std::make_shared<State>()) {
    auto state = state_;
    thread_ = std::thread([tracker, module, timeoutMs, state] {
      state->result = tracker->waitIdle(module, timeoutMs) ? 1 : 0;
      state->done.post();
    });
  }
  ~IdleWaiter() {
    if (returnedWithin(kHangMs)) {
      thread_.join();
    } else {
      ADD_FAILURE() << "waitIdle still blocked at the end of the test";
      thread_.detach();
    }
  }

  bool returnedWithin(int ms) {
    if (!returned_) returned_ = state_->done.wait(ms);
    return returned_;
  }
  int result() const { return state_->result.load(); }

 private:
  std::shared_ptr<State> state_;
  bool returned_ = false;
  std::thread thread_;
};

TEST(CallTracker, WaitIdleReturnsAtOnceWhenNothingRuns) {
  CallTracker tracker;
  int module;
  EXPECT_TRUE(tracker.waitIdle(&module, 0));
  EXPECT_TRUE(tracker.waitIdle(&module, 10));
  EXPECT_TRUE(tracker.waitIdle(&module, -1));
  EXPECT_EQ(tracker.liveCalls(&module), 0);
}

TEST(CallTracker, WaitIdleTimesOutWithFalseWhileACallIsLive) {
  CallTracker tracker;
  int module;
  tracker.enter(&module);
  EXPECT_FALSE(tracker.waitIdle(&module, 0));
  const long long before = monotonicUs();
  EXPECT_FALSE(tracker.waitIdle(&module, 100));
  const long long us = monotonicUs() - before;
  EXPECT_GE(us, 100000) << "gave up early";
  EXPECT_LT(us, kHangMs * 1000LL) << "waitIdle(100) overran by far";
  EXPECT_EQ(tracker.liveCalls(&module), 1);
  tracker.leave(&module);
  EXPECT_TRUE(tracker.waitIdle(&module, 0));
}

TEST(CallTracker, UnlimitedWaitBlocksUntilTheLastCallLeaves) {
  auto tracker = std::make_shared<CallTracker>();
  int module;
  tracker->enter(&module);
  tracker->enter(&module);
  EXPECT_EQ(tracker->liveCalls(&module), 2);

  IdleWaiter waiter(tracker, &module, -1);
  EXPECT_FALSE(waiter.returnedWithin(kBlockedMs));

  tracker->leave(&module);
  EXPECT_FALSE(waiter.returnedWithin(kBlockedMs)) << "returned with one call still live";

  tracker->leave(&module);
  EXPECT_TRUE(waiter.returnedWithin(kHangMs));
  EXPECT_EQ(waiter.result(), 1);
}

TEST(CallTracker, TimedWaitReturnsTrueWhenTheCallLeavesBeforeTheLimit) {
  auto tracker = std::make_shared<CallTracker>();
  int module;
  tracker->enter(&module);
  IdleWaiter waiter(tracker, &module, 30000);
  EXPECT_FALSE(waiter.returnedWithin(kBlockedMs));
  tracker->leave(&module);
  EXPECT_TRUE(waiter.returnedWithin(kHangMs)) << "not woken by leave()";
  EXPECT_EQ(waiter.result(), 1);
}

TEST(CallTracker, ModulesAreCountedAndAwaitedSeparately) {
  auto tracker = std::make_shared<CallTracker>();
  int a;
  int b;
  tracker->enter(&a);
  EXPECT_TRUE(tracker->waitIdle(&b, 0));
  EXPECT_EQ(tracker->liveCalls(&b), 0);
  {
    // An unlimited wait for an idle module returns although another is busy.
    IdleWaiter waiterB(tracker, &b, -1);
    EXPECT_TRUE(waiterB.returnedWithin(kHangMs)) << "waiting for b waits for a";
    EXPECT_EQ(waiterB.result(), 1);
  }

  IdleWaiter waiterA(tracker, &a, -1);
  tracker->enter(&b);
  EXPECT_EQ(tracker->liveCallsTotal(), 2);
  tracker->leave(&b);  // wakes waiters, but a is still busy
  EXPECT_FALSE(waiterA.returnedWithin(kBlockedMs)) << "idle of b ended the wait for a";
  EXPECT_TRUE(tracker->waitIdle(&b, 0));

  tracker->leave(&a);
  EXPECT_TRUE(waiterA.returnedWithin(kHangMs));
  EXPECT_EQ(waiterA.result(), 1);
  EXPECT_EQ(tracker->liveCallsTotal(), 0);
}

TEST(CallTracker, UnmatchedLeaveDoesNotHideALaterCall) {
  CallTracker tracker;
  int module;
  tracker.leave(&module);
  EXPECT_EQ(tracker.liveCalls(&module), 0);
  tracker.enter(&module);
  EXPECT_EQ(tracker.liveCalls(&module), 1);
  EXPECT_FALSE(tracker.waitIdle(&module, 0));
  tracker.leave(&module);
  EXPECT_TRUE(tracker.waitIdle(&module, 0));
}

TEST(CallTrackerConcurrency, CallsFromManyThreadsBalanceToIdle) {
  CallTracker tracker;
  int modules[3];
  const int kThreads = 6;
  const int kCalls = 5000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const void* m = &modules[t % 3];
      for (int i = 0; i < kCalls; ++i) {
        tracker.enter(m);
        tracker.leave(m);
      }
    });
  }
  tracker.enter(&modules[0]);  // keeps module 0 busy throughout
  for (auto& th : threads) th.join();

  EXPECT_EQ(tracker.liveCalls(&modules[0]), 1);
  EXPECT_TRUE(tracker.waitIdle(&modules[1], kHangMs));
  EXPECT_TRUE(tracker.waitIdle(&modules[2], kHangMs));
  EXPECT_EQ(tracker.liveCallsTotal(), 1);
  tracker.leave(&modules[0]);
  EXPECT_TRUE(tracker.waitIdle(&modules[0], 0));
}

}  // namespace
