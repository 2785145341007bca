// Integration tests of queued delivery with a started core and test modules:
// which receivers the dispatch thread picks and through which entry, the
// blocks they get, who frees a payload that receivers keep, receivers
// without entry points, and events submitted before the dispatch thread runs
// or from inside a delivery.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/running_core.h"

namespace {

using selvar_test::blockFreed;
using selvar_test::eventRecord;
using selvar_test::hex;
using selvar_test::kCanSeeFrees;
using selvar_test::ModuleConfig;
using selvar_test::ModuleFixture;
using selvar_test::ModuleRecord;
using selvar_test::payloadSum;
using selvar_test::pointerField;
using selvar_test::recordsWith;
using selvar_test::RunningCore;
using selvar_test::textEvent;
using selvar_test::waitForWith;
using selvar_test::waitUntil;

// A sender that is no module.
const uint32_t kOutsider = 0x00700000u;
// The sink takes only these (mask 7); no other module here subscribes to them.
const uint32_t kSentinelClass = 0x00400000u;

ModuleConfig module(uint32_t id, const ModuleConfig& extra = {}) {
  ModuleConfig config = {{"id", hex(id)}};
  config.insert(config.end(), extra.begin(), extra.end());
  return config;
}

ModuleConfig receiver(uint32_t id, const std::string& mask1, const ModuleConfig& extra = {}) {
  ModuleConfig config = {{"id", hex(id)}, {"acceptsEvents", "1"}, {"mask1", mask1}};
  config.insert(config.end(), extra.begin(), extra.end());
  return config;
}

class Dispatch : public ::testing::Test {
 protected:
  // Installs the sink; call before start().
  void installSink() { fx.install("sink.so", receiver(0x00600000u, "0", {{"mask7", hex(kSentinelClass)}})); }

  // Returns once everything queued before this call has been delivered: the
  // one dispatch thread takes events in order.
  void flush() {
    const std::string text = "sentinel-" + std::to_string(++sentinels);
    ASSERT_EQ(rc->submit(textEvent(kOutsider, EVF_MASK7, kSentinelClass, text)), EVR_OK);
    ASSERT_TRUE(waitForWith(fx, "sink.so", "WRITE", "text", text));
  }

  void start() {
    rc = std::make_unique<RunningCore>(fx);
    ASSERT_TRUE(rc->start());
  }

  std::vector<ModuleRecord> writes(const std::string& name, const std::string& text) {
    return recordsWith(fx, name, "WRITE", "text", text);
  }
  std::vector<ModuleRecord> ioctls(const std::string& name, const std::string& text) {
    return recordsWith(fx, name, "IOCTL", "text", text);
  }

  ModuleFixture fx;
  std::unique_ptr<RunningCore> rc;
  int sentinels = 0;
};

TEST_F(Dispatch, ToOthersReachesEveryOtherModuleByIoctl2WhateverItsMasks) {
  fx.install("src.so", module(0x00210000u));
  fx.install("plain.so", module(0x00220000u));
  fx.install("matching.so", receiver(0x00230000u, "0x10"));
  installSink();
  start();

  EXPECT_EQ(rc->submit(textEvent(0x00210000u, EVF_TO_OTHERS | EVF_MASK1, 0x10u, "to-others")), EVR_OK);
  flush();

  for (const char* name : {"plain.so", "matching.so"}) {
    const std::vector<ModuleRecord> got = ioctls(name, "to-others");
    ASSERT_EQ(got.size(), 1u) << name;
    EXPECT_EQ(got[0].u32("code"), static_cast<uint32_t>(IOCTL_EVENT_OTHERS)) << name;
    EXPECT_EQ(got[0].u32("argSize"), 16u) << name;
    EXPECT_EQ(got[0].u32("size"), 9u) << name;
    EXPECT_TRUE(writes(name, "to-others").empty()) << name;
  }
  // The source has no mask for it and takes no events: it gets nothing.
  EXPECT_TRUE(ioctls("src.so", "to-others").empty());
  EXPECT_TRUE(writes("src.so", "to-others").empty());
}

TEST_F(Dispatch, ToOthersStillReachesAMatchingSourceByWrite) {
  fx.install("src.so", receiver(0x00210000u, "0x10"));
  fx.install("other.so", module(0x00220000u));
  installSink();
  start();

  EXPECT_EQ(rc->submit(textEvent(0x00210000u, EVF_TO_OTHERS | EVF_MASK1, 0x10u, "own")), EVR_OK);
  flush();

  EXPECT_EQ(writes("src.so", "own").size(), 1u);
  EXPECT_TRUE(ioctls("src.so", "own").empty());
  EXPECT_EQ(ioctls("other.so", "own").size(), 1u);
}

TEST_F(Dispatch, ToAllWithToOthersReachesTheSourceByIoctl3) {
  fx.install("src.so", receiver(0x00210000u, "0x10"));
  fx.install("other.so", module(0x00220000u));
  installSink();
  start();

  EXPECT_EQ(rc->submit(textEvent(0x00210000u, EVF_TO_OTHERS | EVF_TO_ALL | EVF_MASK1, 0x10u, "all")), EVR_OK);
  flush();

  const std::vector<ModuleRecord> own = ioctls("src.so", "all");
  ASSERT_EQ(own.size(), 1u);
  EXPECT_EQ(own[0].u32("code"), static_cast<uint32_t>(IOCTL_EVENT_ALL));
  EXPECT_TRUE(writes("src.so", "all").empty());
  const std::vector<ModuleRecord> other = ioctls("other.so", "all");
  ASSERT_EQ(other.size(), 1u);
  EXPECT_EQ(other[0].u32("code"), static_cast<uint32_t>(IOCTL_EVENT_OTHERS));
}

// Deliveries are counted per receiver list and credited when the dispatch
// thread turns to another list; a sender that receives its own event is
// counted by the entry it got.
TEST_F(Dispatch, FiguresCountEachDeliveryByTheEntryItWentThrough) {
  fx.install("src.so", receiver(0x00210000u, "0x10"));
  fx.install("other.so", receiver(0x00220000u, "0x10"));
  installSink();
  start();
  const ModuleFigures::Delivered& src = rc->module("src.so")->figures->delivered;
  const ModuleFigures::Delivered& other = rc->module("other.so")->figures->delivered;
  // The sentinel has a list of its own: once it has arrived, everything
  // before it is counted.
  auto settle = [&] { flush(); };
  // As it starts, the core tells every module what is loaded and, from the
  // scheduler's thread, the memory watch's state (an IOCTL each): both are
  // counted before the test's own events.
  ASSERT_TRUE(waitUntil([&] { return src.ioctls >= 2 && other.ioctls >= 2; }));
  settle();
  const uint64_t srcWrites = src.writes, srcIoctls = src.ioctls, srcBusy = src.busyNs;
  const uint64_t otherWrites = other.writes, otherIoctls = other.ioctls;

  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(rc->submit(textEvent(0x00210000u, EVF_TO_OTHERS | EVF_MASK1, 0x10u, "own")), EVR_OK);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(rc->submit(textEvent(0x00220000u, EVF_MASK1, 0x10u, "plain")), EVR_OK);
  settle();

  EXPECT_EQ(src.writes - srcWrites, 5u);
  EXPECT_EQ(src.ioctls - srcIoctls, 0u);
  EXPECT_EQ(other.ioctls - otherIoctls, 3u);
  EXPECT_EQ(other.writes - otherWrites, 2u);
  // Few events at a time: every call was timed and stands for itself alone.
  EXPECT_GT(src.busyNs - srcBusy, 0u);
  EXPECT_LE(src.busyNs - srcBusy, 5 * src.longestCallNs);
}

// More kinds of events than the cache keeps receiver lists for, from many
// senders that are not modules: the cache starts over, and no delivery is
// lost or goes uncounted.
TEST_F(Dispatch, FiguresStayExactWhenTheReceiverListsStartOver) {
  fx.install("greedy.so", module(0x00210000u, {{"acceptsEvents", "1"}, {"mask6", "0xFFFFFFFF"}}));
  installSink();
  start();
  const ModuleFigures::Delivered& greedy = rc->module("greedy.so")->figures->delivered;
  flush();
  const uint64_t before = greedy.writes;

  const uint32_t kinds = static_cast<uint32_t>(RouteCache::kMaxKeys) + 100;
  for (uint32_t i = 0; i < kinds; ++i)
    ASSERT_EQ(rc->submit(textEvent(kOutsider + i, EVF_MASK6, i + 1, "kind")), EVR_OK);
  flush();

  EXPECT_EQ(writes("greedy.so", "kind").size(), kinds);
  EXPECT_EQ(greedy.writes - before, kinds);
}

TEST_F(Dispatch, ClassBit31IsIgnoredAndTheTopByteShiftedLeft) {
  fx.install("shifted.so", module(0x00210000u, {{"acceptsEvents", "1"}, {"mask6", "0x02000002"}}));
  fx.install("asis.so", module(0x00220000u, {{"acceptsEvents", "1"}, {"mask6", "0x81000002"}}));
  fx.install("rightshifted.so", module(0x00230000u, {{"acceptsEvents", "1"}, {"mask6", "0x00800002"}}));
  installSink();
  start();

  EXPECT_EQ(rc->submit(textEvent(kOutsider, EVF_MASK6, 0x81000002u, "bit31")), EVR_OK);
  flush();

  const std::vector<ModuleRecord> got = writes("shifted.so", "bit31");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].u32("class"), 0x81000002u);
  EXPECT_TRUE(writes("asis.so", "bit31").empty());
  EXPECT_TRUE(writes("rightshifted.so", "bit31").empty());
}

TEST_F(Dispatch, EventWithoutSelectorBitIsNotWritten) {
  ModuleConfig all = {{"acceptsEvents", "1"}};
  for (int k = 0; k < PLUGIN_MASK_COUNT; ++k) all.push_back({"mask" + std::to_string(k), "0xFFFFFFFF"});
  fx.install("greedy.so", module(0x00210000u, all));
  installSink();
  start();

  EXPECT_EQ(rc->submit(textEvent(kOutsider, 0, 0, "no-selector")), EVR_OK);
  EXPECT_EQ(rc->submit(textEvent(kOutsider, EVF_MASK8, 0, "mask8")), EVR_OK);
  flush();

  EXPECT_EQ(writes("greedy.so", "mask8").size(), 1u);
  EXPECT_TRUE(writes("greedy.so", "no-selector").empty());
}

TEST_F(Dispatch, WriteBlockCarriesTheEventAsSubmitted) {
  // 152 extension bytes, the last one non-zero so that all of them show.
  std::string extHex;
  unsigned char ext[152];
  for (size_t i = 0; i < sizeof(ext); ++i) {
    ext[i] = static_cast<unsigned char>(i * 7 + 1);
    char byte[3];
    snprintf(byte, sizeof(byte), "%02x", ext[i]);
    extHex += byte;
  }
  fx.install("sender.so", module(0x00210000u, {{"submit.open", "flags=0x2 class=0x01000010 ext=" + extHex +
                                                                   " text=verbatim"}}));
  fx.install("reader.so", receiver(0x00220000u, "0x02000010"));
  installSink();
  start();
  ASSERT_TRUE(waitForWith(fx, "reader.so", "WRITE", "text", "verbatim"));
  flush();

  const std::vector<ModuleRecord> got = writes("reader.so", "verbatim");
  ASSERT_EQ(got.size(), 1u);
  const ModuleRecord& write = got[0];
  EXPECT_EQ(write.u32("insize"), sizeof(_WriteParmsIn));
  EXPECT_EQ(write.u32("inver"), 1u);
  EXPECT_EQ(write.u32("code"), 0u);
  EXPECT_EQ(write.u32("async"), 0u);
  EXPECT_EQ(write.u32("source"), 0x00210000u);
  EXPECT_EQ(write.u32("flags"), EVF_MASK1);
  EXPECT_EQ(write.u32("class"), 0x01000010u);
  EXPECT_EQ(write.u32("handle"), 0u);
  EXPECT_EQ(write.u32("size"), 8u);
  EXPECT_EQ(write.str("ext"), extHex);
  EXPECT_EQ(write.u32("extsum"), payloadSum(ext, sizeof(ext)));
  EXPECT_EQ(write.u32("reg"), ext[EVENT_REGISTRATION_OFFSET]);
  EXPECT_EQ(write.u32("outsize"), sizeof(_WriteParmsOut));
  EXPECT_EQ(write.num("outzero"), 1);
}

// A submitter's record is its own memory: bytes no field names (padding on
// LP64) may hold anything, and none of them may reach a receiver's block.
TEST_F(Dispatch, BlocksCarryNoneOfTheSubmittersUnnamedBytes) {
  fx.install("reader.so", receiver(0x00220000u, "0x10", {{"hasReader", "1"}}));
  installSink();
  start();
  for (uint32_t source : {kOutsider, 0u}) {  // queued Write, then a request's Read
    const std::string text = "padded-" + std::to_string(source);
    _EventParmsIn in;
    memset(&in, 0xA5, sizeof(in));
    in.size = sizeof(in);
    in.version = 1;
    in.dataSize = static_cast<uint32_t>(text.size());
    in.data = const_cast<char*>(text.data());
    in.sourceId = source;
    in.requestHandle = 0;
    in.flags = EVF_MASK1;
    in.eventClass = 0x10u;
    memset(in.extension, 0, sizeof(in.extension));
    ASSERT_EQ(rc->submit(in), EVR_OK);
  }
  flush();
  ASSERT_TRUE(rc->callsEnded());

  const std::vector<ModuleRecord> written = writes("reader.so", "padded-" + std::to_string(kOutsider));
  const std::vector<ModuleRecord> read = recordsWith(fx, "reader.so", "READ", "text", "padded-0");
  ASSERT_EQ(written.size(), 1u);
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(written[0].num("gapzero"), 1);
  EXPECT_EQ(read[0].num("gapzero"), 1);
}

TEST_F(Dispatch, EventWithoutPayloadIsDeliveredWithNoDataAndNoHold) {
  fx.install("keeper.so", receiver(0x00210000u, "0x10", {{"keep.write", "1"}}));
  installSink();
  start();

  const char bytes[] = "ignored";
  EXPECT_EQ(rc->submit(eventRecord(kOutsider, EVF_MASK1, 0x10u, nullptr, 7)), EVR_OK);
  EXPECT_EQ(rc->submit(eventRecord(kOutsider, EVF_MASK1, 0x10u, bytes, 0)), EVR_OK);
  flush();

  const std::vector<ModuleRecord> got = recordsWith(fx, "keeper.so", "WRITE", "source", hex(kOutsider));
  ASSERT_EQ(got.size(), 2u);
  for (const ModuleRecord& write : got) {
    EXPECT_EQ(write.u32("size"), 0u);
    EXPECT_EQ(write.num("ptr"), 0);
    EXPECT_EQ(write.num("keep"), 1);  // asked to keep, yet there is nothing to hold
  }
  EXPECT_EQ(rc->core.bufferRegistry.holdCount(nullptr), 0u);
}

TEST_F(Dispatch, PayloadKeptByTwoReceiversIsFreedByTheLastRelease) {
  fx.install("early.so", receiver(0x00210000u, "0x10", {{"keep.write", "1"}, {"releaseAfterMs", "30"}}));
  fx.install("late.so", receiver(0x00220000u, "0x10", {{"keep.write", "1"}, {"releaseAfterMs", "400"}}));
  start();

  const std::string payload(2000, 'k');
  EXPECT_EQ(rc->submit(textEvent(kOutsider, EVF_MASK1, 0x10u, payload)), EVR_OK);
  ASSERT_TRUE(waitForWith(fx, "early.so", "WRITE", "source", hex(kOutsider)));
  ASSERT_TRUE(waitForWith(fx, "late.so", "WRITE", "source", hex(kOutsider)));
  char* shared = pointerField(recordsWith(fx, "early.so", "WRITE", "source", hex(kOutsider)).at(0));
  EXPECT_EQ(pointerField(recordsWith(fx, "late.so", "WRITE", "source", hex(kOutsider)).at(0)), shared);

  ASSERT_TRUE(fx.waitForRecords("early.so", "RELEASE", 1));
  const size_t holdsBetween = rc->core.bufferRegistry.holdCount(shared);
  const bool freedBetween = blockFreed(shared);
  ASSERT_EQ(fx.count("late.so", "RELEASE"), 0u) << "the second release came too early to look in between";
  EXPECT_EQ(holdsBetween, 1u);
  EXPECT_FALSE(freedBetween);

  ASSERT_TRUE(fx.waitForRecords("late.so", "RELEASE", 1));
  EXPECT_EQ(rc->core.bufferRegistry.holdCount(shared), 0u);
  if (kCanSeeFrees) {
    EXPECT_TRUE(blockFreed(shared));
  }
  for (const char* name : {"early.so", "late.so"}) {
    const ModuleRecord release = fx.records(name, "RELEASE").at(0);
    EXPECT_EQ(pointerField(release), shared) << name;
    EXPECT_EQ(release.num("intact"), 1) << name;
    EXPECT_EQ(release.num("result"), EVR_OK) << name;
  }
}

TEST_F(Dispatch, PayloadNeverReleasedStaysHeldByItsReceiver) {
  fx.install("hoarder.so", receiver(0x00210000u, "0x10", {{"keep.write", "1"}, {"releaseOn", "never"}}));
  installSink();
  start();

  EXPECT_EQ(rc->submit(textEvent(kOutsider, EVF_MASK1, 0x10u, "hoarded")), EVR_OK);
  flush();
  const std::vector<ModuleRecord> got = writes("hoarder.so", "hoarded");
  ASSERT_EQ(got.size(), 1u);
  char* payload = pointerField(got[0]);
  EXPECT_EQ(rc->core.bufferRegistry.holdCount(payload), 1u);
  EXPECT_FALSE(blockFreed(payload));

  // Given back on the module's behalf, so that the payload does not outlive the test.
  EXPECT_EQ(rc->release(payload, 0x00210000u), EVR_OK);
  EXPECT_EQ(rc->core.bufferRegistry.holdCount(payload), 0u);
}

TEST_F(Dispatch, ReceiverWithoutEntryPointsIsSkippedAndHoldsNothing) {
  fx.install("loadonly.so", receiver(0x00210000u, "0x10"), "load_only_module.so");
  fx.install("full.so", receiver(0x00220000u, "0x10"));
  installSink();
  start();

  EXPECT_EQ(rc->submit(textEvent(kOutsider, EVF_MASK1, 0x10u, "write-road")), EVR_OK);
  EXPECT_EQ(rc->submit(textEvent(kOutsider, EVF_TO_OTHERS, 0, "ioctl-road")), EVR_OK);
  flush();

  const std::vector<ModuleRecord> written = writes("full.so", "write-road");
  const std::vector<ModuleRecord> told = ioctls("full.so", "ioctl-road");
  ASSERT_EQ(written.size(), 1u);
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(rc->core.bufferRegistry.holdCount(pointerField(written[0])), 0u);
  EXPECT_EQ(rc->core.bufferRegistry.holdCount(pointerField(told[0])), 0u);
  if (kCanSeeFrees) {
    EXPECT_TRUE(blockFreed(pointerField(written[0])));
    EXPECT_TRUE(blockFreed(pointerField(told[0])));
  }
}

TEST_F(Dispatch, EventsFromLoadAndOpenAreDeliveredOnceTheDispatchThreadRuns) {
  fx.install("early.so", module(0x00210000u, {{"submit.load", "flags=0x2 class=0x10 text=from-load"},
                                              {"submit.open", "flags=0x2 class=0x10 text=from-open"}}));
  fx.install("reader.so", receiver(0x00220000u, "0x10"));
  installSink();
  start();
  ASSERT_TRUE(waitForWith(fx, "reader.so", "WRITE", "text", "from-open"));
  flush();

  for (const ModuleRecord& submitted : fx.records("early.so", "SUBMIT")) EXPECT_EQ(submitted.num("result"), EVR_OK);
  const std::vector<ModuleRecord> fromLoad = writes("reader.so", "from-load");
  const std::vector<ModuleRecord> fromOpen = writes("reader.so", "from-open");
  ASSERT_EQ(fromLoad.size(), 1u);
  ASSERT_EQ(fromOpen.size(), 1u);
  EXPECT_LT(fromLoad[0].num("n"), fromOpen[0].num("n"));
  int64_t lastOpen = 0;
  for (const char* name : {"early.so", "reader.so", "sink.so"})
    lastOpen = std::max(lastOpen, fx.records(name, "OPEN").at(0).num("t"));
  EXPECT_GT(fromLoad[0].num("t"), lastOpen);
  EXPECT_NE(fromLoad[0].num("tid"), fx.records("reader.so", "LOAD").at(0).num("tid"));
}

TEST_F(Dispatch, EventSubmittedFromInsideWriteIsDeliveredToo) {
  fx.install("echo.so", receiver(0x00210000u, "0x10", {{"submit.write", "onClass=0x10 flags=0x2 class=0x20 text=echoed"}}));
  fx.install("listener.so", receiver(0x00220000u, "0x20"));
  installSink();
  start();

  EXPECT_EQ(rc->submit(textEvent(kOutsider, EVF_MASK1, 0x10u, "ping")), EVR_OK);
  ASSERT_TRUE(waitForWith(fx, "listener.so", "WRITE", "text", "echoed"));
  flush();

  const std::vector<ModuleRecord> submitted = recordsWith(fx, "echo.so", "SUBMIT", "at", "write");
  ASSERT_EQ(submitted.size(), 1u);
  EXPECT_EQ(submitted[0].num("result"), EVR_OK);
  EXPECT_EQ(writes("listener.so", "echoed").size(), 1u);
}

TEST_F(Dispatch, AnswerWithHandleFromInsideWriteIsRefused) {
  fx.install("echo.so", receiver(0x00210000u, "0x10",
                                 {{"submit.write", "onClass=0x10 handle=0x99 flags=0x2 class=0x20 text=answer"}}));
  fx.install("listener.so", receiver(0x00220000u, "0x20"));
  installSink();
  start();

  EXPECT_EQ(rc->submit(textEvent(kOutsider, EVF_MASK1, 0x10u, "ping")), EVR_OK);
  ASSERT_TRUE(waitForWith(fx, "echo.so", "SUBMIT", "at", "write"));
  flush();

  const std::vector<ModuleRecord> submitted = recordsWith(fx, "echo.so", "SUBMIT", "at", "write");
  ASSERT_EQ(submitted.size(), 1u);
  EXPECT_EQ(submitted[0].num("result"), EVR_HANDLE_REFUSED);
  EXPECT_TRUE(writes("listener.so", "answer").empty());
}

}  // namespace
