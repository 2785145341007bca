// Integration tests of the stop sequence with a started core and test
// modules: the last drain delivers everything queued before it ends, and
// events submitted while the modules close are freed, never delivered.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/running_core.h"

namespace {

using selvar_test::AllocatorSwap;
using selvar_test::ModuleConfig;
using selvar_test::ModuleFixture;
using selvar_test::ModuleRecord;
using selvar_test::recordsWith;
using selvar_test::RunningCore;
using selvar_test::textEvent;
using selvar_test::waitForWith;
using selvar_test::WatchedAllocations;

const uint32_t kOutsider = 0x00700000u;

ModuleConfig receiver(const std::string& id, const std::string& mask1, const ModuleConfig& extra = {}) {
  ModuleConfig config = {{"id", id}, {"acceptsEvents", "1"}, {"mask1", mask1}};
  config.insert(config.end(), extra.begin(), extra.end());
  return config;
}

TEST(ServiceStop, LastDrainDeliversEverythingQueuedIncludingWhatItsDeliveriesSubmit) {
  ModuleFixture fx;
  // Keeps the dispatch thread in its Write while the stop begins, then
  // submits one more event from there.
  fx.install("slow.so", receiver("0x00410000", "0x10",
                                 {{"writeSleepMs", "400"},
                                  {"submit.write", "onClass=0x10 max=1 flags=0x2 class=0x20 text=from-write"}}));
  fx.install("sink.so", receiver("0x00420000", "0x20"));
  RunningCore rc(fx);
  ASSERT_TRUE(rc.start());

  EXPECT_EQ(rc.submit(textEvent(kOutsider, EVF_MASK1, 0x10u, "slow")), EVR_OK);
  ASSERT_TRUE(waitForWith(fx, "slow.so", "WRITE", "text", "slow"));
  EXPECT_EQ(rc.submit(textEvent(kOutsider, EVF_MASK1, 0x20u, "queued-1")), EVR_OK);
  EXPECT_EQ(rc.submit(textEvent(kOutsider, EVF_MASK1, 0x20u, "queued-2")), EVR_OK);
  rc.stop();

  const std::vector<ModuleRecord> submitted = recordsWith(fx, "slow.so", "SUBMIT", "at", "write");
  ASSERT_EQ(submitted.size(), 1u);
  EXPECT_EQ(submitted[0].num("result"), EVR_OK);
  std::vector<std::string> delivered;
  for (const ModuleRecord& write : fx.records("sink.so", "WRITE"))
    if (write.has("text")) delivered.push_back(write.str("text"));
  EXPECT_EQ(delivered, (std::vector<std::string>{"queued-1", "queued-2", "from-write"}));
  EXPECT_LT(recordsWith(fx, "sink.so", "WRITE", "text", "from-write").at(0).num("t"),
            fx.records("sink.so", "CLOSE").at(0).num("t"));
}

TEST(ServiceStop, EventsSubmittedDuringCloseAreRefusedAndNeverCopied) {
  // Nothing would deliver them any more: the submitter is told so.
  const size_t size = 70000;
  WatchedAllocations::reset(size, false);
  AllocatorSwap swap(&WatchedAllocations::allocate);
  ModuleFixture fx;
  fx.install("closer.so", {{"id", "0x00410000"}, {"submit.close", "flags=0x2 class=0x10 size=70000"}});
  fx.install("sink.so", receiver("0x00420000", "0x10"));
  RunningCore rc(fx);
  ASSERT_TRUE(rc.start());
  rc.stop();

  const std::vector<ModuleRecord> submitted = recordsWith(fx, "closer.so", "SUBMIT", "at", "close");
  ASSERT_EQ(submitted.size(), 1u);
  EXPECT_EQ(submitted[0].num("result"), EVR_STOPPING);
  EXPECT_TRUE(recordsWith(fx, "sink.so", "WRITE", "size", std::to_string(size)).empty());
  EXPECT_TRUE(WatchedAllocations::handedOut().empty());
}

}  // namespace
