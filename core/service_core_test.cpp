// Tests of the core's lifecycle: construction and destruction, stop in every
// state, and a full start and stop with no plugins directory.
#include "core/service_core.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "core/scoped_lock.h"
#include "tests/support/core_test_support.h"

namespace {

using selvar_test::FreeProbe;
using selvar_test::queuedCount;
using selvar_test::readFile;
using selvar_test::ScopedWorkdir;

// Large enough for FreeProbe to see the block go.
const size_t kBigPayload = 64 * 1024;

void expectStopped(ServiceCore& core) {
  {
    ScopedLock lock(&core.queueMutex);
    EXPECT_EQ(core.eventTrigger, nullptr);
  }
  EXPECT_EQ(core.eventThread, nullptr);
  EXPECT_EQ(core.schedulerThread, nullptr);
  EXPECT_EQ(queuedCount(core), 0u);
  EXPECT_TRUE(core.modules.empty());
}

bool waitForFile(const char* name) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!std::filesystem::exists(name)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

TEST(ServiceCoreLifecycle, ConstructionAndDestructionTouchNothing) {
  ScopedWorkdir dir;
  ASSERT_TRUE(dir.ok());
  {
    ServiceCore core(wxFileName("app/Selvar"));
    EXPECT_EQ(g_pDVRCore, &core);
    {
      ScopedLock lock(&core.queueMutex);
      EXPECT_EQ(core.eventTrigger, nullptr);
    }
    EXPECT_EQ(core.eventThread, nullptr);
    EXPECT_EQ(core.schedulerThread, nullptr);
    EXPECT_TRUE(core.modules.empty());
    EXPECT_EQ(queuedCount(core), 0u);
    EXPECT_FALSE(core.throttling.load());
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(ServiceCoreLifecycle, StopOnANeverStartedCoreReturns) {
  ServiceCore core(wxFileName("app/Selvar"));
  core.stop();
  expectStopped(core);
}

TEST(ServiceCoreLifecycle, SecondStopIsHarmless) {
  ServiceCore core(wxFileName("app/Selvar"));
  core.stop();
  core.stop();
  expectStopped(core);
}

TEST(ServiceCoreLifecycle, StopFreesWhatIsStillQueued) {
  SKIP_UNLESS_FREES_VISIBLE();
  ServiceCore core(wxFileName("app/Selvar"));
  {
    ScopedLock lock(&core.queueMutex);
    core.eventTrigger = new pt::trigger(true, false);
  }
  std::vector<char> bytes(kBigPayload, 'q');
  _EventParmsIn in;
  _EventParmsOut out;
  memset(&in, 0, sizeof(in));
  memset(&out, 0, sizeof(out));
  in.sourceId = 0x10000;
  in.flags = EVF_MASK1;
  in.data = bytes.data();
  in.dataSize = kBigPayload;
  core.submitEvent(&in, &out);
  ASSERT_EQ(queuedCount(core), 1u);
  void* payload = nullptr;
  {
    ScopedLock lock(&core.queueMutex);
    payload = core.eventQueue.front().data;
  }

  FreeProbe probe(kBigPayload, true);
  core.stop();
  expectStopped(core);
  EXPECT_TRUE(probe.freed(payload));
}

class ServiceCoreRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.ok());
    // The executable's directory has no plugins directory.
    core = std::make_unique<ServiceCore>(wxFileName(wxString((dir.path() / "Selvar").string())));
  }

  ScopedWorkdir dir;
  std::unique_ptr<ServiceCore> core;
};

TEST_F(ServiceCoreRun, StartWithoutPluginsDirectoryRunsBothThreads) {
  EXPECT_TRUE(core->start());
  {
    ScopedLock lock(&core->queueMutex);
    EXPECT_NE(core->eventTrigger, nullptr);
  }
  EXPECT_NE(core->eventThread, nullptr);
  EXPECT_NE(core->schedulerThread, nullptr);
  EXPECT_TRUE(core->modules.empty());
  // The scheduler reads the memory-watch switch, which writes core.xml into
  // the working directory.
  EXPECT_TRUE(waitForFile("core.xml"));
  core->stop();
  expectStopped(*core);
}

TEST_F(ServiceCoreRun, StopAfterStartLeavesNothingRunningOrQueued) {
  ASSERT_TRUE(core->start());
  ASSERT_TRUE(waitForFile("core.xml"));
  // The dispatch thread is running: an event queued now is delivered (to no
  // module) or freed by the stop, never left behind.
  core->postNotice("late notice");
  core->stop();
  expectStopped(*core);
  EXPECT_NE(readFile("core.xml").find("Throttling=\"1\""), std::string::npos);
}

TEST_F(ServiceCoreRun, SecondStopAfterStartIsHarmless) {
  ASSERT_TRUE(core->start());
  core->stop();
  core->stop();
  expectStopped(*core);
}

TEST_F(ServiceCoreRun, EventEntryRefusesWithoutTouchingAStoppedOrDestroyedCore) {
  // A module thread that goes on submitting through the stop and after the
  // core is gone (AddressSanitizer builds report any use of the freed core).
  ASSERT_TRUE(core->start());
  std::atomic<bool> destroyed{false};
  std::atomic<bool> done{false};
  std::atomic<long> calls{0}, refusedAfterDestruction{0}, wrongAfterDestruction{0};
  std::thread module([&] {
    const char bytes[] = "late event";
    _EventParmsIn in;
    memset(&in, 0, sizeof(in));
    in.sourceId = 0x10000;
    in.flags = EVF_MASK1;
    in.data = const_cast<char*>(bytes);
    in.dataSize = sizeof(bytes);
    while (!done.load()) {
      const bool after = destroyed.load();
      _EventParmsOut out;
      memset(&out, 0, sizeof(out));
      out.result = 999;
      FlatPluginEvent(&in, &out);
      calls.fetch_add(1);
      if (after) (out.result == EVR_STOPPING ? refusedAfterDestruction : wrongAfterDestruction).fetch_add(1);
    }
  });
  while (calls.load() < 100) std::this_thread::yield();
  core->stop();
  core.reset();
  destroyed = true;
  const long before = calls.load();
  while (calls.load() < before + 100) std::this_thread::yield();
  done = true;
  module.join();
  EXPECT_GT(refusedAfterDestruction.load(), 0);
  EXPECT_EQ(wrongAfterDestruction.load(), 0);
}

}  // namespace
