// Tests of the threading layer: thread life cycle (joinable and autofree),
// relax/signal, triggers, semaphores, psleep and pthrequal, with real threads.
#include "compat/pt.h"

#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace {

// Generous limit used only to detect a hang, never to measure speed.
const int kHangMs = 5000;
// How long something must stay blocked to count as "blocked".
const int kBlockedMs = 100;

long long monotonicMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

long long monotonicUs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Polls cond until it holds or timeoutMs passes; returns its last value.
bool eventually(const std::function<bool()>& cond, int timeoutMs = kHangMs) {
  const long long end = monotonicMs() + timeoutMs;
  while (!cond()) {
    if (monotonicMs() >= end) return cond();
    pt::psleep(2);
  }
  return true;
}

// Runs fn on a thread the test can give up on. fn must own what it uses
// (shared_ptr captures): a thread that is still blocked when the test ends is
// detached and reported instead of hanging the whole run.
class Background {
 public:
  explicit Background(std::function<void()> fn) : done_(std::make_shared<std::atomic<bool>>(false)) {
    auto done = done_;
    thread_ = std::thread([fn, done] {
      fn();
      *done = true;
    });
  }
  ~Background() {
    if (thread_.joinable() && !joinWithin(kHangMs)) ADD_FAILURE() << "background thread still blocked";
  }
  bool finishedWithin(int ms) const {
    return eventually([this] { return done_->load(); }, ms);
  }
  // Joins when fn ends within ms; otherwise detaches and returns false.
  bool joinWithin(int ms) {
    if (!finishedWithin(ms)) {
      thread_.detach();
      return false;
    }
    thread_.join();
    return true;
  }

 private:
  std::shared_ptr<std::atomic<bool>> done_;
  std::thread thread_;
};

// ---------------------------------------------------------------------------
// Joinable threads

// Runs a function as execute(); cleanup() records that it ran and may block on
// a gate so the test can look at the thread while cleanup is still going on.
class FnThread : public pt::thread {
 public:
  explicit FnThread(std::function<void(FnThread*)> body, pt::trigger* cleanupGate = nullptr)
      : pt::thread(false), body_(std::move(body)), cleanupGate_(cleanupGate) {}
  ~FnThread() override { waitfor(); }

  bool relaxFor(int ms) { return relax(ms); }

  std::atomic<bool> executeDone{false};
  std::atomic<bool> cleanupStarted{false};
  std::atomic<bool> cleanupDone{false};

 protected:
  void execute() override {
    body_(this);
    executeDone = true;
  }
  void cleanup() override {
    cleanupStarted = true;
    if (cleanupGate_ != nullptr) cleanupGate_->wait(kHangMs);
    cleanupDone = true;
  }

 private:
  std::function<void(FnThread*)> body_;
  pt::trigger* cleanupGate_;
};

TEST(PtThread, FinishedStaysFalseUntilCleanupHasReturned) {
  pt::trigger executeGate(false, false);
  pt::trigger cleanupGate(false, false);
  FnThread t([&](FnThread*) { executeGate.wait(kHangMs); }, &cleanupGate);

  EXPECT_FALSE(t.get_running());
  EXPECT_FALSE(t.get_finished());
  ASSERT_TRUE(t.start());
  EXPECT_TRUE(t.get_running());
  EXPECT_FALSE(t.get_finished());

  executeGate.post();
  ASSERT_TRUE(eventually([&] { return t.cleanupStarted.load(); }));
  // Execute has returned but cleanup is still blocked: not finished yet.
  pt::psleep(20);
  EXPECT_TRUE(t.executeDone.load());
  EXPECT_FALSE(t.get_finished());

  cleanupGate.post();
  ASSERT_TRUE(eventually([&] { return t.get_finished(); }));
  EXPECT_TRUE(t.cleanupDone.load());
  t.waitfor();
}

TEST(PtThread, WaitforJoinsAndPublishesTheThreadsWrites) {
  int result = 0;  // plain int: only the join orders the write before the read
  FnThread t([&](FnThread*) {
    pt::psleep(30);
    result = 42;
  });
  ASSERT_TRUE(t.start());
  t.waitfor();
  EXPECT_EQ(result, 42);
  EXPECT_TRUE(t.get_finished());
  EXPECT_TRUE(t.cleanupDone.load());
  // A second waitfor (and the one in the destructor) must not join again.
  t.waitfor();
}

TEST(PtThread, WaitforOnAThreadNeverStartedReturnsAtOnce) {
  FnThread t([](FnThread*) {});
  t.waitfor();
  EXPECT_FALSE(t.get_running());
  EXPECT_FALSE(t.get_finished());
}

TEST(PtThread, SecondStartIsRefusedAndRunsNothing) {
  std::atomic<int> runs{0};
  FnThread t([&](FnThread*) { ++runs; });
  ASSERT_TRUE(t.start());
  EXPECT_FALSE(t.start());
  t.waitfor();
  EXPECT_EQ(runs.load(), 1);
}

TEST(PtThread, SignalEndsRelaxBeforeItsTimeout) {
  std::atomic<bool> relaxing{false};
  std::atomic<int> relaxResult{-1};
  // The relax limit is far beyond the hang limit below, so only signal() can
  // end it in time.
  FnThread t([&](FnThread* self) {
    relaxing = true;
    relaxResult = self->relaxFor(10000) ? 1 : 0;
  });
  ASSERT_TRUE(t.start());
  ASSERT_TRUE(eventually([&] { return relaxing.load(); }));
  pt::psleep(20);  // let it get into the wait
  EXPECT_FALSE(t.get_signaled());
  EXPECT_EQ(relaxResult.load(), -1) << "relax returned without a signal";

  t.signal();
  EXPECT_TRUE(t.get_signaled());
  EXPECT_TRUE(eventually([&] { return t.get_finished(); })) << "relax not ended by signal()";
  EXPECT_EQ(relaxResult.load(), 1);
  t.waitfor();
}

TEST(PtThread, SignalBeforeRelaxMakesRelaxReturnAtOnce) {
  std::atomic<int> relaxResult{-1};
  FnThread t([&](FnThread* self) { relaxResult = self->relaxFor(10000) ? 1 : 0; });
  t.signal();
  EXPECT_TRUE(t.get_signaled());
  ASSERT_TRUE(t.start());
  EXPECT_TRUE(eventually([&] { return t.get_finished(); }));
  EXPECT_EQ(relaxResult.load(), 1);
  t.waitfor();
}

TEST(PtThread, RelaxWithoutSignalTimesOutWithFalseAfterItsLimit) {
  std::atomic<int> relaxResult{-1};
  std::atomic<long long> relaxUs{0};
  FnThread t([&](FnThread* self) {
    const long long before = monotonicUs();
    relaxResult = self->relaxFor(100) ? 1 : 0;
    relaxUs = monotonicUs() - before;
  });
  ASSERT_TRUE(t.start());
  ASSERT_TRUE(eventually([&] { return t.get_finished(); }, 2 * kHangMs));
  t.waitfor();
  EXPECT_EQ(relaxResult.load(), 0);
  EXPECT_FALSE(t.get_signaled());
  EXPECT_GE(relaxUs.load(), 100000) << "relax gave up early";
  EXPECT_LT(relaxUs.load(), kHangMs * 1000LL) << "relax(100) overran by far";
}

TEST(PtThread, GetIdNamesTheRunningThreadNotTheOwner) {
  std::atomic<bool> idIsSelf{false};
  FnThread t([&](FnThread* self) { idIsSelf = pt::pthrequal(self->get_id()); });
  ASSERT_TRUE(t.start());
  t.waitfor();
  EXPECT_TRUE(idIsSelf.load());
  EXPECT_FALSE(pt::pthrequal(t.get_id()));
}

// ---------------------------------------------------------------------------
// Autofree threads

// Shared by all self-deleting threads of a test; lives for the whole process
// so a thread still returning from its destructor never touches freed memory.
struct AutofreeLog {
  std::atomic<int> executed{0};
  std::atomic<int> cleanedUp{0};
  std::atomic<int> deleted{0};
  std::atomic<int> outOfOrder{0};
  pt::timedsem gone{0};

  void reset() {
    executed = 0;
    cleanedUp = 0;
    deleted = 0;
    outOfOrder = 0;
  }
};

AutofreeLog& autofreeLog() {
  static AutofreeLog* log = new AutofreeLog();  // never destroyed on purpose
  return *log;
}

class SelfDeletingThread : public pt::thread {
 public:
  SelfDeletingThread() : pt::thread(true), stage_(0), payload_(new char[64]) {}
  ~SelfDeletingThread() override {
    AutofreeLog& log = autofreeLog();
    if (stage_ != 2) ++log.outOfOrder;
    delete[] payload_;
    ++log.deleted;
    log.gone.post();
  }

 protected:
  void execute() override {
    if (stage_ != 0) ++autofreeLog().outOfOrder;
    stage_ = 1;
    payload_[0] = 'x';
    ++autofreeLog().executed;
  }
  void cleanup() override {
    if (stage_ != 1) ++autofreeLog().outOfOrder;
    stage_ = 2;
    ++autofreeLog().cleanedUp;
  }

 private:
  int stage_;  // only touched by the thread itself
  char* payload_;
};

TEST(PtThreadAutofree, DeletesItselfAfterExecuteAndCleanup) {
  AutofreeLog& log = autofreeLog();
  log.reset();
  SelfDeletingThread* t = new SelfDeletingThread();
  EXPECT_TRUE(t->get_autofree());
  ASSERT_TRUE(t->start());
  t = nullptr;  // not ours any more

  ASSERT_TRUE(log.gone.wait(kHangMs)) << "autofree thread did not delete itself";
  EXPECT_EQ(log.executed.load(), 1);
  EXPECT_EQ(log.cleanedUp.load(), 1);
  EXPECT_EQ(log.deleted.load(), 1);
  EXPECT_EQ(log.outOfOrder.load(), 0);
  EXPECT_FALSE(log.gone.wait(0)) << "more than one deletion";
}

// With the default stacks (8 MiB) a 32-bit process runs out of address
// space at about 500 threads alive at once; the stress test reached that.
TEST(PtThread, AThousandAliveAtOnceFitIntoA32BitAddressSpace) {
  const int kThreads = 1000;
  pt::trigger release(false, false);  // manual: one post releases every waiter
  std::vector<std::unique_ptr<FnThread>> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.push_back(std::make_unique<FnThread>([&](FnThread*) { release.wait(kHangMs); }));
    ASSERT_TRUE(threads.back()->start()) << "thread " << i << " could not start";
  }
  release.post();
  for (auto& t : threads) t->waitfor();
}

TEST(PtThreadAutofree, ManyStartedConcurrentlyAllRunAndDeleteThemselves) {
  const int kStarters = 4;
  const int kPerStarter = 500;
  const int kTotal = kStarters * kPerStarter;
  AutofreeLog& log = autofreeLog();
  log.reset();

  std::atomic<int> startFailures{0};
  std::vector<std::thread> starters;
  for (int s = 0; s < kStarters; ++s) {
    starters.emplace_back([&] {
      for (int i = 0; i < kPerStarter; ++i) {
        SelfDeletingThread* t = new SelfDeletingThread();
        if (!t->start()) {
          ++startFailures;
          delete t;  // a failed start leaves the object with us
        }
      }
    });
  }
  for (auto& s : starters) s.join();
  ASSERT_EQ(startFailures.load(), 0);

  int gone = 0;
  while (gone < kTotal && log.gone.wait(kHangMs)) ++gone;
  EXPECT_EQ(gone, kTotal) << "threads that never deleted themselves: " << kTotal - gone;
  EXPECT_EQ(log.executed.load(), kTotal);
  EXPECT_EQ(log.cleanedUp.load(), kTotal);
  EXPECT_EQ(log.deleted.load(), kTotal);
  EXPECT_EQ(log.outOfOrder.load(), 0);
}

// ---------------------------------------------------------------------------
// trigger

TEST(PtTrigger, AutoResetSeveralPostsReleaseOneWait) {
  pt::trigger t(true, false);
  for (int i = 0; i < 5; ++i) t.post();
  EXPECT_TRUE(t.wait(kHangMs));
  EXPECT_FALSE(t.wait(30));
  EXPECT_FALSE(t.wait(0));
}

TEST(PtTrigger, AutoResetCreatedSetReleasesOneWait) {
  pt::trigger t(true, true);
  EXPECT_TRUE(t.wait(0));
  EXPECT_FALSE(t.wait(20));
}

TEST(PtTrigger, AutoResetPostLetsExactlyOneOfSeveralWaitersThrough) {
  pt::trigger t(true, false);
  const int kWaiters = 3;
  std::atomic<int> passed{0};
  std::atomic<int> timedOut{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&] {
      if (t.wait(10000))
        ++passed;
      else
        ++timedOut;
    });
  }
  pt::psleep(kBlockedMs);
  EXPECT_EQ(passed.load(), 0);

  for (int round = 1; round <= kWaiters; ++round) {
    t.post();
    EXPECT_TRUE(eventually([&] { return passed.load() >= round; })) << "round " << round;
    pt::psleep(kBlockedMs);
    EXPECT_EQ(passed.load(), round) << "one post released more than one waiter";
  }
  for (auto& w : waiters) w.join();
  EXPECT_EQ(timedOut.load(), 0);
  EXPECT_FALSE(t.wait(0));
}

TEST(PtTrigger, AutoResetUntimedWaitReturnsOnPostAndClearsIt) {
  auto t = std::make_shared<pt::trigger>(true, false);
  Background waiter([t] { t->wait(); });
  EXPECT_FALSE(waiter.finishedWithin(kBlockedMs));
  t->post();
  EXPECT_TRUE(waiter.joinWithin(kHangMs)) << "untimed wait not ended by post";
  EXPECT_FALSE(t->wait(20)) << "untimed wait left the trigger set";
}

TEST(PtTrigger, TimedWaitGivesUpAfterItsLimit) {
  pt::trigger t(true, false);
  const long long before = monotonicUs();
  EXPECT_FALSE(t.wait(100));
  const long long us = monotonicUs() - before;
  EXPECT_GE(us, 100000) << "gave up early";
  EXPECT_LT(us, kHangMs * 1000LL) << "wait(100) overran by far";
}

TEST(PtTrigger, ManualReleasesAllWaitersAndStaysSetUntilReset) {
  pt::trigger t(false, false);
  const int kWaiters = 4;
  std::atomic<int> passed{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&] {
      if (t.wait(10000)) ++passed;
    });
  }
  pt::psleep(kBlockedMs);
  EXPECT_EQ(passed.load(), 0);

  t.post();
  EXPECT_TRUE(eventually([&] { return passed.load() == kWaiters; }));
  for (auto& w : waiters) w.join();
  EXPECT_EQ(passed.load(), kWaiters);

  // Still set: later waits pass without another post.
  EXPECT_TRUE(t.wait(0));
  EXPECT_TRUE(t.wait(0));

  t.reset();
  EXPECT_FALSE(t.wait(30));
  t.post();
  EXPECT_TRUE(t.wait(0));
}

TEST(PtTrigger, ManualCreatedSetPassesUntilReset) {
  pt::trigger t(false, true);
  EXPECT_TRUE(t.wait(0));
  t.wait();
  t.reset();
  EXPECT_FALSE(t.wait(20));
}

// ---------------------------------------------------------------------------
// semaphore and timedsem

TEST(PtTimedsem, WaitWithoutCountTimesOutWithFalse) {
  pt::timedsem s(0);
  EXPECT_FALSE(s.wait(0));
  EXPECT_FALSE(s.wait(30));
}

TEST(PtTimedsem, TimedOutWaitDoesNotTakeALaterPost) {
  pt::timedsem s(0);
  EXPECT_FALSE(s.wait(20));
  s.post();
  EXPECT_TRUE(s.wait(0));
  EXPECT_FALSE(s.wait(0));
}

TEST(PtTimedsem, EachSuccessfulWaitTakesOneCount) {
  pt::timedsem s(2);
  s.post();
  EXPECT_TRUE(s.wait(0));
  EXPECT_TRUE(s.wait(10));
  EXPECT_TRUE(s.wait(-1));
  EXPECT_FALSE(s.wait(0));
}

TEST(PtTimedsem, PostWakesATimedWaiterBeforeItsTimeout) {
  auto s = std::make_shared<pt::timedsem>(0);
  auto result = std::make_shared<std::atomic<int>>(-1);
  Background waiter([s, result] { *result = s->wait(30000) ? 1 : 0; });
  EXPECT_FALSE(waiter.finishedWithin(kBlockedMs));
  s->post();
  EXPECT_TRUE(waiter.joinWithin(kHangMs)) << "timed waiter not woken by post";
  EXPECT_EQ(result->load(), 1);
}

TEST(PtTimedsem, NegativeTimeoutWaitsForAPost) {
  auto s = std::make_shared<pt::timedsem>(0);
  auto result = std::make_shared<std::atomic<int>>(-1);
  Background waiter([s, result] { *result = s->wait(-1) ? 1 : 0; });
  EXPECT_FALSE(waiter.finishedWithin(kBlockedMs)) << "wait(-1) returned without a post";
  s->post();
  EXPECT_TRUE(waiter.joinWithin(kHangMs));
  EXPECT_EQ(result->load(), 1);
  EXPECT_FALSE(s->wait(0));
}

TEST(PtTimedsem, TimedWaitGivesUpAfterItsLimit) {
  pt::timedsem s(0);
  const long long before = monotonicUs();
  EXPECT_FALSE(s.wait(100));
  const long long us = monotonicUs() - before;
  EXPECT_GE(us, 100000) << "gave up early";
  EXPECT_LT(us, kHangMs * 1000LL) << "wait(100) overran by far";
}

TEST(PtSemaphore, InitialCountIsTakenWithoutBlocking) {
  pt::semaphore s(2);
  s.wait();
  s.wait();
  s.signal();
  s.wait();
}

// Producers post, consumers take with the untimed wait. A consumer still
// blocked at the end means a lost post or wake-up; it is left behind (its
// state is shared) and reported rather than hanging the run.
TEST(PtSemaphoreLoad, EveryPostFromManyProducersIsTakenExactlyOnce) {
  const int kProducers = 8;
  const int kPostsEach = 10000;
  const int kConsumers = 4;
  const int kTotal = kProducers * kPostsEach;
  struct Shared {
    pt::semaphore sem{0};
    std::atomic<int> taken{0};
  };
  auto shared = std::make_shared<Shared>();

  std::vector<std::unique_ptr<Background>> consumers;
  for (int c = 0; c < kConsumers; ++c) {
    consumers.emplace_back(new Background([shared] {
      for (int i = 0; i < kTotal / kConsumers; ++i) {
        shared->sem.wait();
        ++shared->taken;
      }
    }));
  }
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([shared] {
      for (int i = 0; i < kPostsEach; ++i) shared->sem.post();
    });
  }
  for (auto& p : producers) p.join();

  int stuck = 0;
  for (auto& c : consumers)
    if (!c->joinWithin(2 * kHangMs)) ++stuck;
  EXPECT_EQ(stuck, 0) << "consumers still blocked with " << shared->taken.load() << " of " << kTotal
                      << " taken";
  EXPECT_EQ(shared->taken.load(), kTotal);
}

TEST(PtSemaphoreLoad, TimedConsumersTakeExactlyWhatWasPosted) {
  const int kProducers = 8;
  const int kPostsEach = 10000;
  const int kConsumers = 4;
  const int kTotal = kProducers * kPostsEach;
  pt::timedsem s(0);
  std::atomic<int> taken{0};
  std::atomic<int> timeouts{0};

  std::vector<std::thread> threads;
  for (int c = 0; c < kConsumers; ++c) {
    threads.emplace_back([&] {
      for (int i = 0; i < kTotal / kConsumers; ++i) {
        if (s.wait(kHangMs)) {
          ++taken;
        } else {
          ++timeouts;
          return;
        }
      }
    });
  }
  for (int p = 0; p < kProducers; ++p) {
    threads.emplace_back([&] {
      for (int i = 0; i < kPostsEach; ++i) s.post();
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(timeouts.load(), 0);
  EXPECT_EQ(taken.load(), kTotal);
  EXPECT_FALSE(s.wait(0)) << "a count was left over";
}

// ---------------------------------------------------------------------------
// psleep, pthrequal

TEST(PtPsleep, SleepsAtLeastTheGivenTime) {
  const long long before = monotonicMs();
  pt::psleep(30);
  EXPECT_GE(monotonicMs() - before, 30);
  pt::psleep(0);
}

TEST(PtPthrequal, TrueForTheCallingThreadOnly) {
  const pthread_t mainId = pthread_self();
  EXPECT_TRUE(pt::pthrequal(mainId));

  pthread_t otherId{};
  std::atomic<bool> otherSeesItself{false};
  std::atomic<bool> otherSeesMain{true};
  std::thread other([&] {
    otherId = pthread_self();
    otherSeesItself = pt::pthrequal(pthread_self());
    otherSeesMain = pt::pthrequal(mainId);
  });
  other.join();
  EXPECT_TRUE(otherSeesItself.load());
  EXPECT_FALSE(otherSeesMain.load());
  EXPECT_FALSE(pt::pthrequal(otherId));
}

}  // namespace
