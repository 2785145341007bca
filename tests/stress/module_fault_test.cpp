// A started service with copies of the test module, and a module that
// misbehaves with payloads: it gives back pointers it never got, gives back a
// payload twice, or submits when the service cannot copy the payload. The
// service must free nothing it does not own, free a payload once, lose
// nothing it accepted, and go on delivering.
//
// The test thread submits as the module would (with the module's ID), through
// the service's own entry. Payload copies are counted through the allocation
// seam and a wrapped free() (payload_tracker.h); AddressSanitizer builds also
// catch a block freed twice or a free of memory the service never allocated.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/service_core.h"
#include "tests/stress/payload_tracker.h"
#include "tests/support/core_test_support.h"
#include "tests/support/module_fixture.h"

using selvar_test::ModuleConfig;
using selvar_test::ModuleFixture;
using selvar_test::ModuleRecord;
using selvar_test::PayloadTracker;
using selvar_test::QuietHeap;
using selvar_test::ScopedWorkdir;

namespace {

const uint32_t kIdA = 0x00010000u;
const uint32_t kIdB = 0x00020000u;
const uint32_t kCountedSource = 0x00510000u;
const uint32_t kCountedClass = EVC_COUNTED | 0x01u;

// A module that takes events through Write (mask 0: anything; mask 1: low
// classes) and Read. With keepFirst it keeps the first payload Write gives it
// and never gives it back itself: the test does that, as the module would.
ModuleConfig receiver(uint32_t id, bool keepFirst) {
  return {{"id", std::to_string(id)}, {"acceptsEvents", "1"}, {"hasReader", "1"}, {"mask0", "0xFFFFFFFF"},
          {"mask1", "0xFF"}, {"keep.write", keepFirst ? "1" : "0"}, {"keep.ioctl", "0"}, {"keepMax", "1"},
          {"releaseOn", "never"}, {"logMax", "100000"}};
}

class ModuleFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(workdir.ok());
    PayloadTracker::install();
  }

  void TearDown() override {
    if (core) {
      core->stop();
      core.reset();
      // Everything the service copied was freed by the end of the stop.
      EXPECT_EQ(PayloadTracker::allocated(), PayloadTracker::freed());
    }
  }

  void start() {
    core = std::make_unique<ServiceCore>(wxFileName(wxString(fixture.executablePath())));
    core->schedulerEnvironment = &quiet;
    ASSERT_TRUE(core->start());
  }

  static _EventParmsIn record(uint32_t source, uint32_t flags, uint32_t eventClass, const void* data, uint32_t size,
                              uint8_t registration = 0, uint32_t handle = 0) {
    _EventParmsIn in;
    memset(&in, 0, sizeof(in));
    in.size = sizeof(in);
    in.version = 1;
    in.sourceId = source;
    in.flags = flags;
    in.eventClass = eventClass;
    in.data = const_cast<void*>(data);
    in.dataSize = size;
    in.requestHandle = handle;
    EVENT_REGISTRATION(&in) = registration;
    return in;
  }
  int32_t submit(uint32_t source, uint32_t flags, uint32_t eventClass, const void* data, uint32_t size,
                 uint8_t registration = 0, uint32_t handle = 0) {
    const _EventParmsIn in = record(source, flags, eventClass, data, size, registration, handle);
    _EventParmsOut out;
    memset(&out, 0, sizeof(out));
    out.size = sizeof(out);
    out.version = 1;
    out.result = 999;
    EXPECT_EQ(FlatPluginEvent(&in, &out), 0);
    return out.result;
  }
  int32_t release(uint32_t source, const void* pointer, uint32_t size = 16) {
    return submit(source, EVF_RELEASE, 0, pointer, size);
  }

  // Deliveries (WRITE or IOCTL code 2/3) whose payload text is `text`.
  std::vector<ModuleRecord> deliveriesOf(const std::string& module, const std::string& text) {
    std::vector<ModuleRecord> found;
    for (const ModuleRecord& r : fixture.log(module))
      if ((r.kind == "WRITE" || r.kind == "IOCTL") && r.has("text") && r.str("text") == text) found.push_back(r);
    return found;
  }
  bool waitForDelivery(const std::string& module, const std::string& text) {
    return selvar_test::waitUntil([&] { return !deliveriesOf(module, text).empty(); });
  }
  void* keptPointer(const std::string& module, const std::string& text) {
    const std::vector<ModuleRecord> found = deliveriesOf(module, text);
    if (found.size() != 1 || found[0].u32("keep") != 1) return nullptr;
    return reinterpret_cast<void*>(static_cast<uintptr_t>(found[0].num("ptr")));
  }

  ScopedWorkdir workdir;
  ModuleFixture fixture;
  QuietHeap quiet;
  std::unique_ptr<ServiceCore> core;
};

TEST_F(ModuleFaults, PointersNeverHandedOutAreGivenBackWithoutAnythingBeingFreed) {
  fixture.install("a.so", receiver(kIdA, true));
  ASSERT_NO_FATAL_FAILURE(start());
  // The start-up documents come and go first (the scheduler's first pass
  // posts one 100 ms in), so that the count of frees below is this test's.
  ASSERT_TRUE(fixture.waitForRecords("a.so", "IOCTL", 2));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::string kept(4096, 'k');
  ASSERT_EQ(submit(kIdB, EVF_MASK1, 0x01, kept.data(), kept.size()), EVR_OK);
  ASSERT_TRUE(waitForDelivery("a.so", kept));
  void* payload = keptPointer("a.so", kept);
  ASSERT_NE(payload, nullptr) << "a.so did not keep the payload";
  ASSERT_TRUE(PayloadTracker::isLive(payload));

  // The module's own heap block, a stack buffer, static storage, an address
  // inside the payload it keeps, NULL: none of them is the service's to free.
  char* ownHeap = static_cast<char*>(malloc(64));
  char onStack[32] = {0};
  static char staticBlock[32];
  const uint64_t freedBefore = PayloadTracker::freed();
  for (const void* pointer : {static_cast<const void*>(ownHeap), static_cast<const void*>(onStack),
                              static_cast<const void*>(staticBlock), static_cast<const void*>(static_cast<char*>(payload) + 1),
                              static_cast<const void*>(nullptr)}) {
    EXPECT_EQ(release(kIdA, pointer), EVR_OK);
    EXPECT_EQ(release(0x7777, pointer), EVR_OK);
  }
  EXPECT_EQ(PayloadTracker::freed(), freedBefore) << "a pointer the service never handed out was freed";
  EXPECT_TRUE(PayloadTracker::isLive(payload)) << "the payload a.so keeps was freed";
  free(ownHeap);  // a second free here would be reported by AddressSanitizer

  // The service goes on, and the kept payload is still the module's to give back.
  const std::string next = "after the bad releases";
  ASSERT_EQ(submit(kIdB, EVF_MASK1, 0x01, next.data(), next.size()), EVR_OK);
  EXPECT_TRUE(waitForDelivery("a.so", next));
  EXPECT_EQ(release(kIdA, payload), EVR_OK);
  EXPECT_FALSE(PayloadTracker::isLive(payload));
}

TEST_F(ModuleFaults, APayloadGivenBackTwiceIsFreedOnceAndOnlyWhenItsLastKeeperGivesItBack) {
  ModuleConfig a = receiver(kIdA, true);
  ModuleConfig b = receiver(kIdB, true);
  fixture.install("a.so", a);
  fixture.install("b.so", b);
  ASSERT_NO_FATAL_FAILURE(start());
  const std::string text(8192, 's');
  ASSERT_EQ(submit(0x00400000u, EVF_MASK1, 0x01, text.data(), text.size()), EVR_OK);
  ASSERT_TRUE(waitForDelivery("a.so", text));
  ASSERT_TRUE(waitForDelivery("b.so", text));
  void* payload = keptPointer("a.so", text);
  ASSERT_NE(payload, nullptr);
  ASSERT_EQ(keptPointer("b.so", text), payload) << "both modules are given the shared payload";
  // The dispatch thread's own hold goes when its pass over the event ends.
  ASSERT_TRUE(selvar_test::waitUntil([&] { return core->bufferRegistry.holdCount(static_cast<char*>(payload)) == 2; }));

  const uint64_t freedBefore = PayloadTracker::freed();
  // a gives it back three times: b still keeps it.
  for (int i = 0; i < 3; ++i) EXPECT_EQ(release(kIdA, payload), EVR_OK);
  EXPECT_TRUE(PayloadTracker::isLive(payload)) << "a's repeated release freed the payload b keeps";
  EXPECT_EQ(core->bufferRegistry.holdCount(static_cast<char*>(payload)), 1u);
  // b's release frees it; b's second release frees nothing.
  EXPECT_EQ(release(kIdB, payload), EVR_OK);
  EXPECT_FALSE(PayloadTracker::isLive(payload));
  EXPECT_EQ(release(kIdB, payload), EVR_OK);
  EXPECT_EQ(release(kIdA, payload), EVR_OK);
  EXPECT_EQ(PayloadTracker::freed(), freedBefore + 1);

  const std::string next = "after the double release";
  ASSERT_EQ(submit(0x00400000u, EVF_MASK1, 0x01, next.data(), next.size()), EVR_OK);
  EXPECT_TRUE(waitForDelivery("a.so", next));
  EXPECT_TRUE(waitForDelivery("b.so", next));
}

TEST_F(ModuleFaults, APayloadThatCannotBeCopiedIsRefusedAndNeitherDeliveredNorLeaked) {
  fixture.install("a.so", receiver(kIdA, false));
  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_EQ(submit(kCountedSource, EVF_MASK0, kCountedClass, nullptr, 0, 1), EVR_OK);

  const uint64_t allocatedBefore = PayloadTracker::allocated();
  const uint64_t failedBefore = PayloadTracker::failed();
  const std::string lost = "this copy fails";
  PayloadTracker::failOnThisThread(1);
  EXPECT_EQ(submit(kCountedSource, EVF_MASK0, kCountedClass, lost.data(), lost.size()), EVR_NO_MEMORY);
  PayloadTracker::failOnThisThread(0);
  EXPECT_EQ(PayloadTracker::failed(), failedBefore + 1);
  EXPECT_EQ(PayloadTracker::allocated(), allocatedBefore);
  // The refused counted event also ended its source's registration.
  EXPECT_EQ(submit(kCountedSource, EVF_MASK0, kCountedClass, nullptr, 0), EVR_UNREGISTERED);

  // Events behind it are delivered; it is not.
  const std::string marker = "submitted after the failed copy";
  ASSERT_EQ(submit(kIdB, EVF_MASK1, 0x01, marker.data(), marker.size()), EVR_OK);
  ASSERT_TRUE(waitForDelivery("a.so", marker));
  EXPECT_TRUE(deliveriesOf("a.so", lost).empty()) << "the refused event was delivered";

  // A request whose payload cannot be copied starts no Read; the next one does.
  const std::string firstRequest = "request copy fails";
  const std::string secondRequest = "request copied";
  PayloadTracker::failOnThisThread(1);
  EXPECT_EQ(submit(0, EVF_MASK1, 0x01, firstRequest.data(), firstRequest.size(), 0, 7), EVR_OK);
  PayloadTracker::failOnThisThread(0);
  EXPECT_EQ(submit(0, EVF_MASK1, 0x01, secondRequest.data(), secondRequest.size(), 0, 8), EVR_OK);
  ASSERT_TRUE(selvar_test::waitUntil([&] {
    for (const ModuleRecord& r : fixture.records("a.so", "READ"))
      if (r.has("text") && r.str("text") == secondRequest) return true;
    return false;
  }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  for (const ModuleRecord& r : fixture.records("a.so", "READ"))
    EXPECT_FALSE(r.has("text") && r.str("text") == firstRequest) << "a Read ran without its payload copy";
}

// A null in-record is refused untouched; a null out-record only means that
// the result is not written: the event and the request still go through.
TEST_F(ModuleFaults, NullRecordsAreRefusedOrTakenWithoutCrashing) {
  fixture.install("a.so", receiver(kIdA, false));
  ASSERT_NO_FATAL_FAILURE(start());
  _EventParmsOut out;
  memset(&out, 0, sizeof(out));
  out.result = 999;
  EXPECT_EQ(FlatPluginEvent(nullptr, &out), 0);
  EXPECT_EQ(out.result, 999);
  EXPECT_EQ(FlatPluginEvent(nullptr, nullptr), 0);

  const std::string event = "event without an out-record";
  const std::string request = "request without an out-record";
  const _EventParmsIn queued = record(kIdB, EVF_MASK1, 0x01, event.data(), event.size());
  const _EventParmsIn asked = record(0, EVF_MASK1, 0x01, request.data(), request.size());
  EXPECT_EQ(FlatPluginEvent(&queued, nullptr), 0);
  EXPECT_EQ(FlatPluginEvent(&asked, nullptr), 0);
  EXPECT_TRUE(waitForDelivery("a.so", event));
  EXPECT_TRUE(selvar_test::waitUntil([&] {
    for (const ModuleRecord& r : fixture.records("a.so", "READ"))
      if (r.has("text") && r.str("text") == request) return true;
    return false;
  }));
}

}  // namespace
