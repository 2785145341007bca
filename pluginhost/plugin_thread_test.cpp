// Integration tests of the call threads, with a started core and test
// modules: the private payload copy each Read gets, provider records around
// Reads with a request handle, the blocks of the after-load IOCTL and of a
// launched Write, a copy that cannot be made, and the call tracker that keeps
// a module loaded while one of its calls runs.
#include "pluginhost/plugin_thread.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/running_core.h"

namespace {

using selvar_test::AllocatorSwap;
using selvar_test::eventRecord;
using selvar_test::hex;
using selvar_test::ModuleConfig;
using selvar_test::ModuleFixture;
using selvar_test::ModuleRecord;
using selvar_test::payloadSum;
using selvar_test::pointerField;
using selvar_test::recordsWith;
using selvar_test::RunningCore;
using selvar_test::waitForWith;
using selvar_test::waitUntil;
using selvar_test::WatchedAllocations;

const uint32_t kReaderA = 0x00110000u;
const uint32_t kReaderB = 0x00120000u;
const uint32_t kRequestClass = 0x10u;

// A module that takes Read calls for requests of kRequestClass under mask 1.
ModuleConfig reader(uint32_t id, const ModuleConfig& extra = {}) {
  ModuleConfig config = {{"id", hex(id)}, {"hasReader", "1"}, {"mask1", hex(kRequestClass)}};
  config.insert(config.end(), extra.begin(), extra.end());
  return config;
}

// A request (source 0) for readers of kRequestClass.
_EventParmsIn request(const void* data, uint32_t size, uint32_t handle = 0) {
  return eventRecord(0, EVF_MASK1, kRequestClass, data, size, handle);
}

// Reads that carried a payload: the scheduler's own Read calls carry none.
std::vector<ModuleRecord> payloadReads(const ModuleFixture& fx, const std::string& name, uint32_t size) {
  return recordsWith(fx, name, "READ", "size", std::to_string(size));
}

std::vector<unsigned char> binaryPattern(size_t size) {
  std::vector<unsigned char> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(i * 31 + 7);
  return bytes;
}

TEST(PluginThreadRead, EachReadGetsItsOwnCopyAndTheSubmitterMayReuseItsBuffer) {
  ModuleFixture fx;
  // Both Reads sleep, so both copies are alive at the same time.
  fx.install("a.so", reader(kReaderA, {{"readSleepMs", "200"}}));
  fx.install("b.so", reader(kReaderB, {{"readSleepMs", "200"}}));
  RunningCore rc(fx);
  ASSERT_TRUE(rc.start());

  std::vector<unsigned char> buffer = binaryPattern(1000);
  const uint32_t sum = payloadSum(buffer.data(), buffer.size());
  EXPECT_EQ(rc.submit(request(buffer.data(), 1000)), EVR_OK);
  // The submission has returned: the buffer is the submitter's again.
  memset(buffer.data(), 0xEE, buffer.size());

  ASSERT_TRUE(waitForWith(fx, "a.so", "READ", "size", "1000"));
  ASSERT_TRUE(waitForWith(fx, "b.so", "READ", "size", "1000"));
  const ModuleRecord a = payloadReads(fx, "a.so", 1000).at(0);
  const ModuleRecord b = payloadReads(fx, "b.so", 1000).at(0);
  EXPECT_EQ(a.u32("sum"), sum);
  EXPECT_EQ(b.u32("sum"), sum);
  EXPECT_NE(pointerField(a), pointerField(b));
  EXPECT_NE(pointerField(a), reinterpret_cast<char*>(buffer.data()));
  EXPECT_NE(pointerField(b), reinterpret_cast<char*>(buffer.data()));
  EXPECT_EQ(a.u32("async"), 1u);
  EXPECT_EQ(a.u32("handle"), 0u);
}

TEST(PluginThreadRead, CopiesAreFreedWhenTheCallsEndWhateverTheModulesReturn) {
  // Large blocks, so that FreeProbe sees them go without AddressSanitizer too.
  const size_t size = 64 * 1024;
  WatchedAllocations::reset(size, false);
  AllocatorSwap swap(&WatchedAllocations::allocate);
  ModuleFixture fx;
  fx.install("a.so", reader(kReaderA, {{"readReturn", "-7"}}));
  fx.install("b.so", reader(kReaderB, {{"readSleepMs", "100"}}));
  RunningCore rc(fx);
  ASSERT_TRUE(rc.start());

  std::vector<unsigned char> buffer = binaryPattern(size);
  selvar_test::FreeProbe probe(size, false);
  EXPECT_EQ(rc.submit(request(buffer.data(), static_cast<uint32_t>(size))), EVR_OK);
  ASSERT_TRUE(rc.callsEnded());

  ASSERT_EQ(payloadReads(fx, "a.so", size).size(), 1u);
  ASSERT_EQ(payloadReads(fx, "b.so", size).size(), 1u);
  const std::vector<void*> copies = WatchedAllocations::handedOut();
  ASSERT_EQ(copies.size(), 2u);
  for (void* copy : copies) EXPECT_TRUE(probe.freed(copy)) << copy;
}

TEST(PluginThreadRead, ReadWithoutRequestHandleIsNoProvider) {
  ModuleFixture fx;
  // The Read holds, then answers under a handle of its own choosing.
  fx.install("a.so", reader(kReaderA, {{"readHoldMs", "200"},
                                       {"submit.read", "onHandle=0 handle=0x55 flags=0x2 class=0x20 text=answer"}}));
  RunningCore rc(fx);
  ASSERT_TRUE(rc.start());

  const std::string ask = "ask";
  EXPECT_EQ(rc.submit(request(ask.data(), 3)), EVR_OK);
  ASSERT_TRUE(waitForWith(fx, "a.so", "READ", "size", "3"));
  EXPECT_EQ(rc.core.waitRegistry.providerCount(), 0u);

  ASSERT_TRUE(rc.callsEnded());
  const std::vector<ModuleRecord> answers = recordsWith(fx, "a.so", "SUBMIT", "at", "read");
  // The request's Read answered, and so did the scheduler's if it came first.
  ASSERT_GE(answers.size(), 1u);
  for (const ModuleRecord& answer : answers) EXPECT_EQ(answer.num("result"), EVR_HANDLE_REFUSED);
}

TEST(PluginThreadRead, ReadWithRequestHandleIsAProviderExactlyWhileItRuns) {
  ModuleFixture fx;
  fx.install("a.so", reader(kReaderA, {{"readHoldMs", "200"}}));
  RunningCore rc(fx);
  ASSERT_TRUE(rc.start());
  EXPECT_EQ(rc.core.waitRegistry.providerCount(), 0u);

  const std::string ask = "ask";
  EXPECT_EQ(rc.submit(request(ask.data(), 3, 0x42)), EVR_OK);
  ASSERT_TRUE(waitForWith(fx, "a.so", "READ", "handle", "0x42"));
  EXPECT_EQ(rc.core.waitRegistry.providerCount(), 1u);

  ASSERT_TRUE(waitForWith(fx, "a.so", "READEND", "handle", "0x42"));
  ASSERT_TRUE(rc.callsEnded());
  EXPECT_EQ(rc.core.waitRegistry.providerCount(), 0u);
}

TEST(PluginThreadRead, NoReadRunsWhenThePayloadCopyCannotBeMade) {
  WatchedAllocations::reset(1000, true);
  AllocatorSwap swap(&WatchedAllocations::allocate);
  ModuleFixture fx;
  fx.install("a.so", reader(kReaderA));
  fx.install("b.so", reader(kReaderB));
  RunningCore rc(fx);
  ASSERT_TRUE(rc.start());

  std::vector<unsigned char> refused = binaryPattern(1000);
  std::vector<unsigned char> accepted = binaryPattern(999);
  EXPECT_EQ(rc.submit(request(refused.data(), 1000)), EVR_OK);
  EXPECT_EQ(rc.submit(request(accepted.data(), 999)), EVR_OK);
  ASSERT_TRUE(waitForWith(fx, "a.so", "READ", "size", "999"));
  ASSERT_TRUE(waitForWith(fx, "b.so", "READ", "size", "999"));
  ASSERT_TRUE(rc.callsEnded());

  EXPECT_EQ(WatchedAllocations::requestCount(), 2);  // one copy per matching reader
  EXPECT_TRUE(payloadReads(fx, "a.so", 1000).empty());
  EXPECT_TRUE(payloadReads(fx, "b.so", 1000).empty());
}

TEST(PluginThreadIoctl, AfterLoadIoctlCarriesNoPayloadAndRunsOnACallThread) {
  ModuleFixture fx;
  fx.install("a.so", {{"id", hex(kReaderA)}, {"ioctlOnLoad", "1"}});
  RunningCore rc(fx);
  ASSERT_TRUE(rc.start());
  ASSERT_TRUE(waitForWith(fx, "a.so", "IOCTL", "code", "1"));
  rc.stop();

  const std::vector<ModuleRecord> calls = recordsWith(fx, "a.so", "IOCTL", "code", "1");
  ASSERT_EQ(calls.size(), 1u);
  const ModuleRecord& call = calls[0];
  EXPECT_EQ(call.u32("insize"), sizeof(_IOCTLParmsIn));
  EXPECT_EQ(call.u32("inver"), 1u);
  EXPECT_EQ(call.u32("argSize"), 8u);
  EXPECT_EQ(call.u32("argVersion"), 1u);
  EXPECT_EQ(call.u32("size"), 0u);
  EXPECT_EQ(call.num("ptr"), 0);
  EXPECT_FALSE(call.has("sum"));
  EXPECT_EQ(call.u32("outsize"), sizeof(_IOCTLParmsOut));
  EXPECT_EQ(call.u32("outcode"), 1u);
  EXPECT_EQ(call.u32("outargSize"), 8u);
  EXPECT_EQ(call.u32("outargVersion"), 1u);
  const ModuleRecord load = fx.records("a.so", "LOAD").at(0);
  EXPECT_NE(call.num("tid"), load.num("tid"));
}

TEST(PluginThreadWrite, LaunchedWriteHasAnAllZeroEventPartAndIsAsync) {
  ModuleFixture fx;
  fx.install("a.so", {{"id", hex(kReaderA)}});
  RunningCore rc(fx);
  ASSERT_TRUE(rc.start());
  _PlugInInfo* info = rc.module("a.so");
  ASSERT_NE(info, nullptr);

  EXPECT_TRUE(startWriteCall(&rc.core, *info));
  ASSERT_TRUE(fx.waitForRecords("a.so", "WRITE", 1));
  ASSERT_TRUE(rc.callsEnded());
  rc.stop();

  const std::vector<ModuleRecord> writes = fx.records("a.so", "WRITE");
  ASSERT_EQ(writes.size(), 1u);  // the module takes no events: this is the launched one
  const ModuleRecord& write = writes[0];
  EXPECT_EQ(write.u32("insize"), sizeof(_WriteParmsIn));
  EXPECT_EQ(write.u32("inver"), 1u);
  EXPECT_EQ(write.u32("code"), 0u);
  EXPECT_EQ(write.u32("async"), 1u);
  EXPECT_EQ(write.u32("source"), 0u);
  EXPECT_EQ(write.u32("flags"), 0u);
  EXPECT_EQ(write.u32("class"), 0u);
  EXPECT_EQ(write.u32("handle"), 0u);
  EXPECT_EQ(write.u32("size"), 0u);
  EXPECT_EQ(write.num("ptr"), 0);
  EXPECT_EQ(write.str("ext"), "");
  const unsigned char zeros[sizeof(_WriteParmsIn{}.extension)] = {};
  EXPECT_EQ(write.u32("extsum"), payloadSum(zeros, sizeof(zeros)));
  EXPECT_EQ(write.u32("outsize"), sizeof(_WriteParmsOut));
  EXPECT_EQ(write.num("outzero"), 1);
}

TEST(PluginThreadTracking, ARunningReadIsCountedUntilItEnds) {
  ModuleFixture fx;
  fx.install("a.so", reader(kReaderA, {{"readSleepMs", "300"}}));
  RunningCore rc(fx);
  ASSERT_TRUE(rc.start());
  const void* library = rc.module("a.so")->library;

  const std::string ask = "ask";
  EXPECT_EQ(rc.submit(request(ask.data(), 3)), EVR_OK);
  ASSERT_TRUE(waitForWith(fx, "a.so", "READ", "size", "3"));
  EXPECT_GT(rc.core.callTracker.liveCalls(library), 0);

  ASSERT_TRUE(fx.waitForRecords("a.so", "READEND", fx.count("a.so", "READ")));
  EXPECT_TRUE(waitUntil([&] { return rc.core.callTracker.liveCalls(library) == 0; }));
}

TEST(PluginThreadTracking, UnloadWaitsForARunningReadToEnd) {
  ModuleFixture fx;
  fx.install("a.so", reader(kReaderA, {{"readSleepMs", "500"}}));
  RunningCore rc(fx);
  ASSERT_TRUE(rc.start());

  const std::string ask = "ask";
  EXPECT_EQ(rc.submit(request(ask.data(), 3)), EVR_OK);
  ASSERT_TRUE(waitForWith(fx, "a.so", "READ", "size", "3"));
  rc.stop();

  // Everything below was logged before stop() returned.
  const std::vector<ModuleRecord> log = fx.log("a.so");
  long unload = -1;
  std::vector<long> readEnds;
  for (size_t i = 0; i < log.size(); ++i) {
    if (log[i].kind == "UNLOAD") unload = static_cast<long>(i);
    if (log[i].kind == "READEND") readEnds.push_back(static_cast<long>(i));
  }
  ASSERT_GE(unload, 0);
  EXPECT_EQ(readEnds.size(), fx.count("a.so", "READ"));
  ASSERT_FALSE(readEnds.empty());
  for (long readEnd : readEnds) EXPECT_LT(readEnd, unload);
}

TEST(PluginThreadTracking, AReadTheUnloadPassGaveUpOnReturnsAfterTheCoreIsGone) {
  // Longer than the unload pass waits (10 s); with a handle, so that its
  // clean-up would unregister a provider in the core's wait registry.
  ModuleFixture fx;
  fx.install("a.so", reader(kReaderA, {{"readSleepMs", "11500"}}));
  {
    RunningCore rc(fx);
    ASSERT_TRUE(rc.start());
    const std::string ask = "ask";
    EXPECT_EQ(rc.submit(request(ask.data(), 3, 0x00110042u)), EVR_OK);
    ASSERT_TRUE(waitForWith(fx, "a.so", "READ", "size", "3"));
    rc.stop();
    EXPECT_EQ(fx.count("a.so", "UNLOAD"), 0u) << "the unload pass did not give up on the Read";
  }
  // The core is destroyed; the library stayed loaded. The Read returns into
  // its call thread, which must touch nothing of the core (AddressSanitizer
  // builds report any use of the freed core).
  EXPECT_TRUE(fx.waitForRecords("a.so", "READEND", fx.count("a.so", "READ"), std::chrono::milliseconds(5000)));
  pt::psleep(50);  // the call thread's clean-up after READEND
}

}  // namespace
