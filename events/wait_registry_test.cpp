// Tests of WaitRegistry with real provider threads: one payload in flight per
// provider, closed handles, threads without a record, and the stop.
#include "events/wait_registry.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

const int kHangMs = 5000;
const int kBlockedMs = 100;
const int kNoResult = -1;

const int ADMITTED = WaitRegistry::ADMITTED;
const int REFUSED = WaitRegistry::REFUSED;

// A provider thread driven by the test. Steps run one after the other on the
// thread; each step's result is queued so the test can tell whether a step
// (an admit) has returned yet. The thread shares ownership of the registry,
// so one that cannot be unblocked at the end is detached, not waited for.
class Provider {
 public:
  using Step = std::function<int(WaitRegistry&)>;

  Provider(std::shared_ptr<WaitRegistry> reg, bool withRecord) : st_(std::make_shared<State>()) {
    st_->reg = std::move(reg);
    auto st = st_;
    thread_ = std::thread([st] { loop(st); });
    if (withRecord) {
      run([](WaitRegistry& r) {
        r.setProvider(pthread_self(), true);
        return 0;
      });
      result(kHangMs);
    }
  }

  // Drops queued steps; a step still blocked in admit is released by the stop
  // and by releasing every payload this provider sent.
  ~Provider() {
    {
      std::lock_guard<std::mutex> lock(st_->mutex);
      st_->stopping = true;
      st_->steps.clear();
    }
    st_->cv.notify_all();
    bool finished = false;
    for (int i = 0; i < kHangMs / 10 && !finished; ++i) {
      {
        std::unique_lock<std::mutex> lock(st_->mutex);
        finished = st_->cv.wait_for(lock, std::chrono::milliseconds(10), [this] { return st_->finished; });
      }
      if (!finished) {
        st_->reg->refuseAll();
        for (void* p : payloads_) st_->reg->postReleased(p);
      }
    }
    if (finished) {
      thread_.join();
    } else {
      ADD_FAILURE() << "provider thread still blocked at the end of the test";
      thread_.detach();
    }
  }

  void run(Step step) {
    {
      std::lock_guard<std::mutex> lock(st_->mutex);
      st_->steps.push_back(std::move(step));
      ++st_->queued;
    }
    st_->cv.notify_all();
  }

  void admit(unsigned long handle, void* payload) {
    if (payload != nullptr) payloads_.push_back(payload);
    run([handle, payload](WaitRegistry& r) { return r.admit(handle, payload); });
  }

  // True once the last queued step has begun (for an admit: it is inside
  // the call, past the queue), within ms.
  bool lastStepStartedWithin(int ms) {
    std::unique_lock<std::mutex> lock(st_->mutex);
    return st_->cv.wait_for(lock, std::chrono::milliseconds(ms),
                            [this] { return st_->started == st_->queued; });
  }

  // The next step result, or kNoResult when none arrives within ms.
  int result(int ms) {
    std::unique_lock<std::mutex> lock(st_->mutex);
    if (!st_->cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !st_->results.empty(); }))
      return kNoResult;
    const int r = st_->results.front();
    st_->results.pop_front();
    return r;
  }

 private:
  struct State {
    std::shared_ptr<WaitRegistry> reg;
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<Step> steps;
    std::deque<int> results;
    int queued = 0;
    int started = 0;
    bool stopping = false;
    bool finished = false;
  };

  static void loop(std::shared_ptr<State> st) {
    for (;;) {
      Step step;
      {
        std::unique_lock<std::mutex> lock(st->mutex);
        st->cv.wait(lock, [&] { return st->stopping || !st->steps.empty(); });
        if (st->stopping) break;
        step = std::move(st->steps.front());
        st->steps.pop_front();
        ++st->started;
      }
      st->cv.notify_all();
      const int r = step(*st->reg);
      {
        std::lock_guard<std::mutex> lock(st->mutex);
        st->results.push_back(r);
      }
      st->cv.notify_all();
    }
    std::lock_guard<std::mutex> lock(st->mutex);
    st->finished = true;
    st->cv.notify_all();
  }

  std::shared_ptr<State> st_;
  std::vector<void*> payloads_;  // only touched by the test thread
  std::thread thread_;
};

class WaitRegistryTest : public ::testing::Test {
 protected:
  void TearDown() override {
    reg->refuseAll();
    providers.clear();
  }

  Provider& provider(bool withRecord = true) {
    providers.emplace_back(new Provider(reg, withRecord));
    return *providers.back();
  }

  std::shared_ptr<WaitRegistry> reg = std::make_shared<WaitRegistry>();
  std::vector<std::unique_ptr<Provider>> providers;
  // Payloads: only their addresses are used.
  char p1[1], p2[1], p3[1], p4[1];
};

TEST_F(WaitRegistryTest, NextAnswerWaitsUntilThePreviousPayloadIsReleased) {
  Provider& a = provider();
  a.admit(5, p1);
  EXPECT_EQ(a.result(kHangMs), ADMITTED);

  a.admit(5, p2);
  EXPECT_EQ(a.result(kBlockedMs), kNoResult) << "second payload admitted while the first is in flight";
  reg->postReleased(p1);
  EXPECT_EQ(a.result(kHangMs), ADMITTED);

  // Now p2 is the one in flight; releasing p1 again must not let p3 through.
  a.admit(5, p3);
  reg->postReleased(p1);
  EXPECT_EQ(a.result(kBlockedMs), kNoResult);
  reg->postReleased(p2);
  EXPECT_EQ(a.result(kHangMs), ADMITTED);
}

TEST_F(WaitRegistryTest, NullPayloadIsAdmittedWithoutWaitingAndIsNotPending) {
  Provider& a = provider();
  // A null answer first: it must not take the flight permit.
  a.admit(5, nullptr);
  EXPECT_EQ(a.result(kHangMs), ADMITTED);
  a.admit(5, p1);
  EXPECT_EQ(a.result(kHangMs), ADMITTED) << "a null answer was treated as in flight";

  // With p1 in flight a null answer still passes at once.
  a.admit(5, nullptr);
  EXPECT_EQ(a.result(kHangMs), ADMITTED);
  // ...and p1 stays the pending one.
  a.admit(5, p2);
  EXPECT_EQ(a.result(kBlockedMs), kNoResult);
  reg->postReleased(p1);
  EXPECT_EQ(a.result(kHangMs), ADMITTED);
}

TEST_F(WaitRegistryTest, ClosedHandleIsRefusedAndReopenAdmitsAgain) {
  Provider& a = provider();
  reg->closeHandle(5);
  EXPECT_TRUE(reg->isClosed(5));
  EXPECT_FALSE(reg->isClosed(6));

  a.admit(5, p1);
  EXPECT_EQ(a.result(kHangMs), REFUSED);
  a.admit(5, nullptr);
  EXPECT_EQ(a.result(kHangMs), REFUSED);

  // The refused payload never went into flight: another handle's answer
  // passes at once.
  a.admit(6, p2);
  EXPECT_EQ(a.result(kHangMs), ADMITTED);
  reg->postReleased(p2);

  reg->reopenHandle(5);
  EXPECT_FALSE(reg->isClosed(5));
  a.admit(5, p3);
  EXPECT_EQ(a.result(kHangMs), ADMITTED);
}

TEST_F(WaitRegistryTest, ThreadWithoutARecordIsRefused) {
  Provider& registered = provider(true);
  Provider& stranger = provider(false);
  EXPECT_EQ(reg->providerCount(), 1u);

  stranger.admit(5, p1);
  EXPECT_EQ(stranger.result(kHangMs), REFUSED) << "another thread's record was used";
  stranger.admit(5, nullptr);
  EXPECT_EQ(stranger.result(kHangMs), REFUSED);
  // The test's own thread has no record either.
  EXPECT_EQ(reg->admit(5, nullptr), REFUSED);

  registered.admit(5, p3);
  EXPECT_EQ(registered.result(kHangMs), ADMITTED);
}

TEST_F(WaitRegistryTest, RemovedRecordIsRefused) {
  Provider& a = provider();
  a.admit(5, nullptr);
  EXPECT_EQ(a.result(kHangMs), ADMITTED);
  a.run([](WaitRegistry& r) {
    r.setProvider(pthread_self(), false);
    return 0;
  });
  EXPECT_EQ(a.result(kHangMs), 0);
  EXPECT_EQ(reg->providerCount(), 0u);
  a.admit(5, p1);
  EXPECT_EQ(a.result(kHangMs), REFUSED);
}

TEST_F(WaitRegistryTest, ProvidersArePacedIndependently) {
  Provider& a = provider();
  Provider& b = provider();
  a.admit(5, p1);
  EXPECT_EQ(a.result(kHangMs), ADMITTED);
  b.admit(5, p2);
  EXPECT_EQ(b.result(kHangMs), ADMITTED) << "b held back by a's payload";

  a.admit(5, p3);
  b.admit(5, p4);
  EXPECT_EQ(a.result(kBlockedMs), kNoResult);
  EXPECT_EQ(b.result(kBlockedMs), kNoResult);

  reg->postReleased(p1);
  EXPECT_EQ(a.result(kHangMs), ADMITTED);
  EXPECT_EQ(b.result(kBlockedMs), kNoResult) << "a's release let b through";

  reg->postReleased(p2);
  EXPECT_EQ(b.result(kHangMs), ADMITTED);
}

TEST_F(WaitRegistryTest, ProviderBlockedWhenItsHandleClosesIsAdmittedThenRefused) {
  Provider& a = provider();
  a.admit(5, p1);
  EXPECT_EQ(a.result(kHangMs), ADMITTED);
  a.admit(5, p2);
  ASSERT_TRUE(a.lastStepStartedWithin(kHangMs));
  EXPECT_EQ(a.result(kBlockedMs), kNoResult);

  reg->closeHandle(5);
  EXPECT_EQ(a.result(kBlockedMs), kNoResult) << "closing the handle ended the pacing wait";
  reg->postReleased(p1);
  EXPECT_EQ(a.result(kHangMs), ADMITTED);

  a.admit(5, p3);
  EXPECT_EQ(a.result(kHangMs), REFUSED);
}

TEST_F(WaitRegistryTest, RefuseAllWakesABlockedProviderAndRefusesLaterAnswers) {
  Provider& a = provider();
  Provider& b = provider();
  a.admit(5, p1);
  EXPECT_EQ(a.result(kHangMs), ADMITTED);
  a.admit(5, p2);
  ASSERT_TRUE(a.lastStepStartedWithin(kHangMs));
  EXPECT_EQ(a.result(kBlockedMs), kNoResult);

  reg->refuseAll();
  EXPECT_EQ(a.result(kHangMs), REFUSED) << "blocked provider not woken by the stop";

  a.admit(5, p3);
  EXPECT_EQ(a.result(kHangMs), REFUSED);
  a.admit(6, nullptr);
  EXPECT_EQ(a.result(kHangMs), REFUSED);
  // A provider with nothing in flight is refused as well.
  b.admit(6, p4);
  EXPECT_EQ(b.result(kHangMs), REFUSED);
  b.admit(6, p4);
  EXPECT_EQ(b.result(kHangMs), REFUSED);

  // Releases after the stop change nothing.
  reg->postReleased(p1);
  a.admit(5, p3);
  EXPECT_EQ(a.result(kHangMs), REFUSED);
}

TEST_F(WaitRegistryTest, ReleaseOfAPointerNobodyHasPendingWakesNobody) {
  Provider& a = provider();
  a.admit(5, p1);
  EXPECT_EQ(a.result(kHangMs), ADMITTED);
  a.admit(5, p2);

  char stranger[1];
  reg->postReleased(stranger);
  reg->postReleased(nullptr);
  reg->postReleased(p2);  // the waiting answer's own payload is not in flight
  EXPECT_EQ(a.result(kBlockedMs), kNoResult);

  reg->postReleased(p1);
  EXPECT_EQ(a.result(kHangMs), ADMITTED);
}

TEST_F(WaitRegistryTest, ReleasedPayloadWakesOnlyItsOwnProvider) {
  Provider& a = provider();
  Provider& b = provider();
  a.admit(5, p1);
  b.admit(5, p2);
  EXPECT_EQ(a.result(kHangMs), ADMITTED);
  EXPECT_EQ(b.result(kHangMs), ADMITTED);
  a.admit(5, p3);
  b.admit(5, p4);

  reg->postReleased(p2);
  EXPECT_EQ(b.result(kHangMs), ADMITTED);
  EXPECT_EQ(a.result(kBlockedMs), kNoResult);
  reg->postReleased(p1);
  EXPECT_EQ(a.result(kHangMs), ADMITTED);
}

TEST_F(WaitRegistryTest, SetProviderTwiceKeepsOneRecordAndRemoveDeletesIt) {
  EXPECT_EQ(reg->providerCount(), 0u);
  reg->setProvider(pthread_self(), true);
  reg->setProvider(pthread_self(), true);
  EXPECT_EQ(reg->providerCount(), 1u);

  Provider& other = provider();
  EXPECT_EQ(reg->providerCount(), 2u);

  reg->setProvider(pthread_self(), false);
  EXPECT_EQ(reg->providerCount(), 1u);
  reg->setProvider(pthread_self(), false);
  EXPECT_EQ(reg->providerCount(), 1u);
  EXPECT_EQ(reg->admit(5, nullptr), REFUSED);

  // The other thread's record is untouched.
  other.admit(5, p1);
  EXPECT_EQ(other.result(kHangMs), ADMITTED);
}

TEST_F(WaitRegistryTest, SecondAddKeepsTheRecordsPendingPayload) {
  // Registering again must not reset the pacing of a payload in flight.
  Provider& a = provider();
  a.admit(5, p1);
  EXPECT_EQ(a.result(kHangMs), ADMITTED);
  a.run([](WaitRegistry& r) {
    r.setProvider(pthread_self(), true);
    return 0;
  });
  EXPECT_EQ(a.result(kHangMs), 0);
  a.admit(5, p2);
  EXPECT_EQ(a.result(kBlockedMs), kNoResult);
  reg->postReleased(p1);
  EXPECT_EQ(a.result(kHangMs), ADMITTED);
}

// Several providers each push a stream of payloads while a releaser frees
// whatever is admitted. Every answer must get through, none may hang.
TEST_F(WaitRegistryTest, ProvidersStreamingUnderLoadAllGetThrough) {
  const int kProviders = 4;
  const int kAnswers = 300;
  struct Shared {
    std::vector<std::vector<char>> buffers;
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<void*> admitted;
    bool producersDone = false;
  };
  auto shared = std::make_shared<Shared>();
  shared->buffers.assign(kProviders, std::vector<char>(kAnswers));

  std::vector<Provider*> ps;
  for (int i = 0; i < kProviders; ++i) ps.push_back(&provider());
  for (int i = 0; i < kProviders; ++i) {
    ps[i]->run([shared, i](WaitRegistry& r) {
      int refused = 0;
      for (int k = 0; k < kAnswers; ++k) {
        void* payload = &shared->buffers[i][k];
        if (r.admit(5, payload) != ADMITTED) {
          ++refused;
          continue;
        }
        {
          std::lock_guard<std::mutex> lock(shared->mutex);
          shared->admitted.push_back(payload);
        }
        shared->cv.notify_all();
      }
      return refused;
    });
  }

  int released = 0;
  std::thread releaser([&] {
    for (;;) {
      std::unique_lock<std::mutex> lock(shared->mutex);
      if (!shared->cv.wait_for(lock, std::chrono::milliseconds(kHangMs),
                               [&] { return shared->producersDone || !shared->admitted.empty(); }))
        return;  // nothing moves any more
      if (shared->admitted.empty()) return;
      void* payload = shared->admitted.front();
      shared->admitted.pop_front();
      lock.unlock();
      reg->postReleased(payload);
      ++released;
    }
  });

  for (int i = 0; i < kProviders; ++i) EXPECT_EQ(ps[i]->result(4 * kHangMs), 0) << "provider " << i;
  {
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->producersDone = true;
  }
  shared->cv.notify_all();
  releaser.join();
  EXPECT_EQ(released, kProviders * kAnswers);
}

}  // namespace
