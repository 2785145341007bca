// Tests of the scheduler's passes: the clock watch, the memory watch and its
// episodes, driven pass by pass with a scripted clock and heap; and one run of
// the real scheduler thread through the core's start and stop calls.
#include "housekeeping/scheduler_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "housekeeping/scheduler_environment.h"
#include "housekeeping/status_document.h"
#include "tests/support/core_test_support.h"

namespace {

using selvar_test::QueuedEvent;
using selvar_test::ScopedWorkdir;
using selvar_test::takeQueued;
using selvar_test::TestCore;
using selvar_test::writeFile;

const int32_t T0 = 1700000000;
const uint64_t UNDER = 0x01000000u;
const uint64_t OVER = MEMORY_LIMIT_BYTES + 1;

// A clock and heap the test sets before each pass.
class ScriptedEnvironment : public SchedulerEnvironment {
 public:
  int32_t now() override { return clock; }
  uint64_t usedHeapBytes() override {
    ++heapReads;
    return heap;
  }

  int32_t clock = T0;
  uint64_t heap = UNDER;
  int heapReads = 0;
};

std::string notice(const std::string& text) { return "notice:" + text; }

std::string state(int throttling, int32_t time) {
  return "state:<?xml ?><Vantri><Memory ID=\"-2147483648\" Throttling=\"" + std::to_string(throttling) +
         "\" Time=\"" + std::to_string(time) + "\" /></Vantri>";
}

std::string saved(int throttling) {
  return "saved:<?xml ?><Vantri Delta=\"0\"><Memory ID=\"-2147483648\" Throttling=\"" +
         std::to_string(throttling) + "\" /></Vantri>";
}

const char kLow[] = "available system memory is low, throttling video";
const char kOk[] = "available system memory ok, not throttling video";

// The queued events as "kind:payload" strings, in queue order.
std::vector<std::string> describe(const std::vector<QueuedEvent>& events) {
  std::vector<std::string> out;
  for (const QueuedEvent& e : events) {
    const uint32_t flags = e.record.flags;
    const uint32_t cls = e.record.eventClass;
    if (flags == 0x40u && cls == EVC_NOTICE)
      out.push_back("notice:" + e.payload);
    else if (flags == 0x4u && cls == EVC_DOCUMENT)
      out.push_back("state:" + e.payload);
    else if (flags == 0x100u && cls == EVC_DOCUMENT)
      out.push_back("saved:" + e.payload);
    else
      out.push_back("other(flags " + std::to_string(flags) + ", class " + std::to_string(cls) + "):" + e.payload);
  }
  return out;
}

class SchedulerPassesTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.ok()); }

  // Reads the switch; returns what that posted.
  std::vector<std::string> begin() {
    passes.begin();
    return events();
  }
  void passAt(int32_t clock, uint64_t heap = UNDER) {
    environment.clock = clock;
    environment.heap = heap;
    passes.pass();
  }
  std::vector<std::string> events() { return describe(takeQueued(t.core)); }
  // One pass per second from first to last inclusive, all at the same heap.
  void secondsUnder(int32_t first, int32_t last) {
    for (int32_t s = first; s <= last; ++s) passAt(s, UNDER);
  }

  ScopedWorkdir dir;
  TestCore t;
  ScriptedEnvironment environment;
  SchedulerPasses passes{&t.core, &environment};
};

using Strings = std::vector<std::string>;

// --- Clock watch ---

TEST_F(SchedulerPassesTest, OneSecondStepsEitherWayAreNotJumps) {
  begin();
  passAt(T0);
  events();
  passAt(T0 + 1);
  passAt(T0);
  EXPECT_EQ(events(), Strings{});
}

TEST_F(SchedulerPassesTest, TwoSecondStepIsReportedOnce) {
  begin();
  passAt(T0);
  events();
  passAt(T0 + 2);
  passAt(T0 + 2);
  EXPECT_EQ(events(), Strings{notice("system time changed by 2 seconds")});
}

TEST_F(SchedulerPassesTest, StepBackIsReportedNegative) {
  begin();
  passAt(T0);
  events();
  passAt(T0 - 3600);
  EXPECT_EQ(events(), Strings{notice("system time changed by -3600 seconds")});
}

// --- Memory watch ---

TEST_F(SchedulerPassesTest, FirstPassWithTheWatchOnPostsTheState) {
  EXPECT_EQ(begin(), Strings{saved(1)});
  EXPECT_TRUE(passes.watchOn());
  passAt(T0);
  EXPECT_EQ(events(), Strings{state(0, T0)});
}

TEST_F(SchedulerPassesTest, HeapAtTheLimitIsNotOver) {
  begin();
  passAt(T0, MEMORY_LIMIT_BYTES);
  EXPECT_FALSE(t.core.throttling.load());
  EXPECT_EQ(events(), Strings{state(0, T0)});
}

TEST_F(SchedulerPassesTest, OneByteOverTheLimitIsOver) {
  begin();
  passAt(T0, MEMORY_LIMIT_BYTES + 1);
  EXPECT_TRUE(t.core.throttling.load());
}

TEST_F(SchedulerPassesTest, HeapAbove4GiBIsOverAndNotItsLow32Bits) {
  begin();
  // 4112 MiB: its low 32 bits alone would read as 16 MiB.
  passAt(T0, (4096ull + 16) << 20);
  EXPECT_TRUE(t.core.throttling.load());
}

TEST_F(SchedulerPassesTest, OverLimitOnTheFirstPassStartsAnEpisode) {
  begin();
  passAt(T0, OVER);
  EXPECT_EQ(events(), (Strings{state(0, T0), notice(kLow), state(1, T0)}));
  EXPECT_TRUE(t.core.throttling.load());
}

TEST_F(SchedulerPassesTest, FlagFollowsTheNextSampleButTheEpisodeLastsMoreThan59Seconds) {
  begin();
  passAt(T0);
  passAt(T0 + 1, OVER);
  EXPECT_EQ(events(), (Strings{state(0, T0), notice(kLow), state(1, T0 + 1)}));

  passAt(T0 + 2);
  EXPECT_FALSE(t.core.throttling.load());
  secondsUnder(T0 + 3, T0 + 1 + 59);
  EXPECT_EQ(events(), Strings{});

  passAt(T0 + 1 + 60);
  EXPECT_EQ(events(), (Strings{notice(kOk), state(0, T0 + 1)}));

  secondsUnder(T0 + 62, T0 + 200);
  EXPECT_EQ(events(), Strings{});
}

TEST_F(SchedulerPassesTest, UnderSample59SecondsAfterDoesNotEndTheEpisode) {
  begin();
  passAt(T0, OVER);
  events();
  // One second steps keep the clock watch quiet.
  secondsUnder(T0 + 1, T0 + 59);
  EXPECT_EQ(events(), Strings{});
  passAt(T0 + 60);
  EXPECT_EQ(events(), (Strings{notice(kOk), state(0, T0)}));
}

TEST_F(SchedulerPassesTest, LimitCrossedEveryFewSecondsIsOneEpisode) {
  begin();
  passAt(T0, OVER);
  secondsUnder(T0 + 1, T0 + 4);
  passAt(T0 + 5, OVER);
  secondsUnder(T0 + 6, T0 + 9);
  passAt(T0 + 10, OVER);
  EXPECT_EQ(events(), (Strings{state(0, T0), notice(kLow), state(1, T0)}));

  secondsUnder(T0 + 11, T0 + 69);
  EXPECT_EQ(events(), Strings{});
  passAt(T0 + 70);
  EXPECT_EQ(events(), (Strings{notice(kOk), state(0, T0 + 10)}));
}

TEST_F(SchedulerPassesTest, NewEpisodeAfterAnEndedOneIsReportedAgain) {
  begin();
  passAt(T0, OVER);
  secondsUnder(T0 + 1, T0 + 60);
  events();
  passAt(T0 + 61, OVER);
  EXPECT_EQ(events(), (Strings{notice(kLow), state(1, T0 + 61)}));
}

TEST_F(SchedulerPassesTest, HeapIsSampledOnlyWhenTheSecondChanges) {
  begin();
  passAt(T0);
  passAt(T0);
  EXPECT_EQ(environment.heapReads, 1);
  passAt(T0 + 1);
  EXPECT_EQ(environment.heapReads, 2);
}

TEST_F(SchedulerPassesTest, WatchOffPostsNoMemoryStateButStillWatchesTheClock) {
  writeFile("core.xml", "<Vantri><Memory Throttling=\"0\"/></Vantri>");
  EXPECT_EQ(begin(), Strings{saved(0)});
  EXPECT_FALSE(passes.watchOn());

  passAt(T0, OVER);
  passAt(T0 + 1, OVER);
  EXPECT_EQ(events(), Strings{});
  EXPECT_FALSE(t.core.throttling.load());
  EXPECT_EQ(environment.heapReads, 0);

  passAt(T0 + 11, OVER);
  EXPECT_EQ(events(), Strings{notice("system time changed by 10 seconds")});
}

// --- The real thread ---

// Passes come as fast as a 1 ms wait allows; each wait is counted.
class QuickEnvironment : public SchedulerEnvironment {
 public:
  void waitPass(pt::timedsem& relax, int) override {
    relax.wait(1);
    waits.fetch_add(1);
  }
  int32_t now() override { return T0; }
  uint64_t usedHeapBytes() override { return UNDER; }
  std::atomic<int> waits{0};
};

TEST(SchedulerThreadRun, StopEndsARunningThread) {
  ScopedWorkdir dir;
  ASSERT_TRUE(dir.ok());
  // Heap-held so that a hung stop can be abandoned without tearing the core
  // down under the running thread.
  auto t = std::make_unique<TestCore>();
  auto environment = std::make_unique<QuickEnvironment>();
  t->core.schedulerEnvironment = environment.get();

  ASSERT_TRUE(t->core.startSchedulerThread());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (environment->waits.load() < 3 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_GE(environment->waits.load(), 3);

  ServiceCore* core = &t->core;
  std::packaged_task<void()> stop([core] { core->stopSchedulerThread(); });
  std::future<void> stopped = stop.get_future();
  std::thread(std::move(stop)).detach();
  if (stopped.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << "stopSchedulerThread did not return";
    t.release();
    environment.release();
    return;
  }
  EXPECT_EQ(t->core.schedulerThread, nullptr);
  // The thread read the switch (and wrote core.xml) before its first pass.
  const Strings posted = describe(takeQueued(t->core));
  ASSERT_FALSE(posted.empty());
  EXPECT_EQ(posted.front(), saved(1));
  EXPECT_TRUE(std::filesystem::exists("core.xml"));
}

}  // namespace
