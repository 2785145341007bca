// Integration tests of the request road with a started core and test
// modules: which reading modules a request (source 0) starts a Read in, and
// what happens to requests submitted while the module table is being built
// or taken down.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/running_core.h"

namespace {

using selvar_test::hex;
using selvar_test::ModuleConfig;
using selvar_test::ModuleFixture;
using selvar_test::ModuleRecord;
using selvar_test::recordsWith;
using selvar_test::RunningCore;
using selvar_test::textEvent;
using selvar_test::waitForWith;

ModuleConfig reader(uint32_t id, const ModuleConfig& masks) {
  ModuleConfig config = {{"id", hex(id)}, {"hasReader", "1"}};
  config.insert(config.end(), masks.begin(), masks.end());
  return config;
}

// Read calls that carried text (the scheduler's own Read calls carry none).
size_t readsOf(const ModuleFixture& fx, const std::string& name, const std::string& text) {
  return recordsWith(fx, name, "READ", "text", text).size();
}

size_t deliveriesOf(const ModuleFixture& fx, const std::string& name, const std::string& text) {
  return recordsWith(fx, name, "WRITE", "text", text).size() + recordsWith(fx, name, "IOCTL", "text", text).size();
}

TEST(RequestRoad, ClassTopByteIsShiftedRightAndOnlySelectedMasksCount) {
  ModuleFixture fx;
  fx.install("both.so", reader(0x00110000u, {{"mask2", "0x00800010"}}));
  fx.install("low.so", reader(0x00120000u, {{"mask2", "0x00000010"}}));
  fx.install("unshifted.so", reader(0x00130000u, {{"mask2", "0x01000010"}}));
  fx.install("other.so", reader(0x00140000u, {{"mask1", "0xFFFFFFFF"}}));
  RunningCore rc(fx);
  ASSERT_TRUE(rc.start());

  EXPECT_EQ(rc.submit(textEvent(0, EVF_MASK2, 0x01000010u, "shifted")), EVR_OK);
  ASSERT_TRUE(rc.callsEnded());

  EXPECT_EQ(readsOf(fx, "both.so", "shifted"), 1u);
  EXPECT_EQ(readsOf(fx, "low.so", "shifted"), 0u);
  EXPECT_EQ(readsOf(fx, "unshifted.so", "shifted"), 0u);
  EXPECT_EQ(readsOf(fx, "other.so", "shifted"), 0u);
}

TEST(RequestRoad, DeliveryFlagsChangeNothingForRequests) {
  ModuleFixture fx;
  fx.install("match.so", reader(0x00110000u, {{"mask1", "0x10"}, {"acceptsEvents", "1"}}));
  fx.install("nomatch.so", reader(0x00120000u, {{"mask2", "0x10"}, {"acceptsEvents", "1"}}));
  RunningCore rc(fx);
  ASSERT_TRUE(rc.start());

  EXPECT_EQ(rc.submit(textEvent(0, EVF_MASK1 | EVF_TO_OTHERS, 0x10u, "req-others")), EVR_OK);
  EXPECT_EQ(rc.submit(textEvent(0, EVF_MASK1 | EVF_TO_ALL, 0x10u, "req-all")), EVR_OK);
  ASSERT_TRUE(rc.callsEnded());
  // Anything queued before this event has been delivered once it arrives.
  EXPECT_EQ(rc.submit(textEvent(0x00700000u, EVF_MASK1, 0x10u, "sentinel")), EVR_OK);
  ASSERT_TRUE(waitForWith(fx, "match.so", "WRITE", "text", "sentinel"));

  EXPECT_EQ(readsOf(fx, "match.so", "req-others"), 1u);
  EXPECT_EQ(readsOf(fx, "match.so", "req-all"), 1u);
  EXPECT_EQ(readsOf(fx, "nomatch.so", "req-others"), 0u);
  EXPECT_EQ(readsOf(fx, "nomatch.so", "req-all"), 0u);
  for (const char* name : {"match.so", "nomatch.so"}) {
    EXPECT_EQ(deliveriesOf(fx, name, "req-others"), 0u) << name;
    EXPECT_EQ(deliveriesOf(fx, name, "req-all"), 0u) << name;
  }
}

TEST(RequestRoad, ClassZeroMatchesEveryTestedMask) {
  ModuleFixture fx;
  fx.install("zero.so", reader(0x00110000u, {{"mask3", "0"}}));
  fx.install("some.so", reader(0x00120000u, {{"mask3", "0x5"}}));
  fx.install("all.so", reader(0x00130000u, {{"mask3", "0xFFFFFFFF"}}));
  RunningCore rc(fx);
  ASSERT_TRUE(rc.start());

  EXPECT_EQ(rc.submit(textEvent(0, EVF_MASK3, 0, "class-zero")), EVR_OK);
  ASSERT_TRUE(rc.callsEnded());

  EXPECT_EQ(readsOf(fx, "zero.so", "class-zero"), 1u);
  EXPECT_EQ(readsOf(fx, "some.so", "class-zero"), 1u);
  EXPECT_EQ(readsOf(fx, "all.so", "class-zero"), 1u);
}

TEST(RequestRoad, RequestWithoutSelectorBitStartsNoRead) {
  ModuleFixture fx;
  ModuleConfig masks;
  for (int k = 0; k < PLUGIN_MASK_COUNT; ++k) masks.push_back({"mask" + std::to_string(k), "0xFFFFFFFF"});
  fx.install("a.so", reader(0x00110000u, masks));
  RunningCore rc(fx);
  ASSERT_TRUE(rc.start());

  EXPECT_EQ(rc.submit(textEvent(0, EVF_TO_OTHERS | EVF_TO_ALL, 0, "no-selector")), EVR_OK);
  EXPECT_EQ(rc.submit(textEvent(0, EVF_MASK8, 0, "mask8")), EVR_OK);
  ASSERT_TRUE(rc.callsEnded());

  EXPECT_EQ(readsOf(fx, "a.so", "mask8"), 1u);
  EXPECT_EQ(readsOf(fx, "a.so", "no-selector"), 0u);
}

TEST(RequestRoad, ModuleWithoutReaderFlagGetsNoRead) {
  ModuleFixture fx;
  fx.install("plain.so", {{"id", "0x00110000"}, {"mask1", "0xFFFFFFFF"}});
  fx.install("reader.so", reader(0x00120000u, {{"mask1", "0xFFFFFFFF"}}));
  RunningCore rc(fx);
  ASSERT_TRUE(rc.start());

  EXPECT_EQ(rc.submit(textEvent(0, EVF_MASK1, 0x10u, "for-readers")), EVR_OK);
  ASSERT_TRUE(rc.callsEnded());

  EXPECT_EQ(readsOf(fx, "reader.so", "for-readers"), 1u);
  EXPECT_EQ(fx.count("plain.so", "READ"), 0u);
}

TEST(RequestRoad, RequestsFromLoadStartTheirReadsAfterTheLoadPass) {
  ModuleFixture fx;
  // The module asks from its own Load, before it is in the module table.
  fx.install("self.so", reader(0x00110000u, {{"mask1", "0x10"},
                                             {"request.load", "flags=0x2 class=0x10 handle=0x21 text=from-load"}}));
  fx.install("peer.so", reader(0x00120000u, {{"mask1", "0x10"}}));
  RunningCore rc(fx);
  ASSERT_TRUE(rc.start());
  ASSERT_TRUE(waitForWith(fx, "self.so", "READ", "text", "from-load"));
  ASSERT_TRUE(waitForWith(fx, "peer.so", "READ", "text", "from-load"));
  ASSERT_TRUE(rc.callsEnded());

  const std::vector<ModuleRecord> asked = fx.records("self.so", "REQUEST");
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].num("result"), EVR_OK);
  const int64_t lastLoad =
      std::max(fx.records("self.so", "LOAD").at(0).num("t"), fx.records("peer.so", "LOAD").at(0).num("t"));
  for (const char* name : {"self.so", "peer.so"}) {
    const std::vector<ModuleRecord> reads = recordsWith(fx, name, "READ", "text", "from-load");
    ASSERT_EQ(reads.size(), 1u) << name;
    EXPECT_GT(reads[0].num("t"), lastLoad) << name;
    EXPECT_EQ(reads[0].u32("handle"), 0x21u) << name;
  }
}

TEST(RequestRoad, RequestsDuringStopStartNothing) {
  ModuleFixture fx;
  fx.install("closer.so", reader(0x00110000u, {{"mask1", "0x10"},
                                               {"request.close", "flags=0x2 class=0x10 text=from-close"},
                                               {"request.unload", "flags=0x2 class=0x10 text=from-unload"}}));
  fx.install("peer.so", reader(0x00120000u, {{"mask1", "0x10"}}));
  RunningCore rc(fx);
  ASSERT_TRUE(rc.start());
  rc.stop();

  const std::vector<ModuleRecord> asked = fx.records("closer.so", "REQUEST");
  ASSERT_EQ(asked.size(), 2u);
  for (const ModuleRecord& request : asked) EXPECT_EQ(request.num("result"), EVR_OK);
  for (const char* name : {"closer.so", "peer.so"}) {
    EXPECT_EQ(readsOf(fx, name, "from-close"), 0u) << name;
    EXPECT_EQ(readsOf(fx, name, "from-unload"), 0u) << name;
  }
  EXPECT_EQ(rc.core.callTracker.liveCallsTotal(), 0);
}

}  // namespace
