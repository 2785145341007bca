// Tests of event submission with no modules loaded: which road a record
// takes, what is queued and with which payload, counted sources and their
// allowance, payload release and freeing, allocation failure, answers under
// request handles, and submissions after the service stopped.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/payload_alloc.h"
#include "core/scoped_lock.h"
#include "core/service_core.h"
#include "tests/support/core_test_support.h"
#include "tests/support/running_core.h"

namespace {

using selvar_test::AllocationLog;
using selvar_test::AllocatorSwap;
using selvar_test::FreeProbe;
using selvar_test::QueuedEvent;
using selvar_test::queuedCount;
using selvar_test::takeQueued;
using selvar_test::TestCore;

const uint32_t kSource = 0x00010000u;
const uint32_t kOtherHolder = 0x00020000u;
const uint32_t kCountedClass = EVC_COUNTED | 0x10u;
// Large enough for FreeProbe to see the block come and go.
const size_t kBigPayload = 64 * 1024;

void* failingAllocator(size_t) { return nullptr; }

_EventParmsIn record(uint32_t source, uint32_t flags, uint32_t eventClass = 0x10u, const void* data = nullptr,
                     uint32_t dataSize = 0, uint32_t requestHandle = 0) {
  return selvar_test::eventRecord(source, flags, eventClass, data, dataSize, requestHandle);
}

class SubmitEvent : public ::testing::Test {
 protected:
  void SetUp() override {
    // A started core with no modules: requests walk an empty, complete table.
    t.core.tableState = ServiceCore::TABLE_OPEN;
    AllocationLog::reset();
  }

  int submit(const _EventParmsIn& in) {
    _EventParmsOut out;
    memset(&out, 0, sizeof(out));
    out.size = sizeof(out);
    out.version = 1;
    out.result = 0x7777;  // every road must write it
    EXPECT_EQ(t.core.submitEvent(&in, &out), 0);
    return out.result;
  }

  int registerSource(uint32_t source) {
    _EventParmsIn in = record(source, EVF_MASK0, kCountedClass);
    EVENT_REGISTRATION(&in) = 1;
    return submit(in);
  }
  int counted(uint32_t source) { return submit(record(source, EVF_MASK0, kCountedClass)); }

  size_t queued() { return queuedCount(t.core); }
  std::vector<QueuedEvent> taken() { return takeQueued(t.core); }

  // Submits a payload-carrying event and takes its queued record off the
  // queue without freeing the payload; the caller owns the returned block.
  char* queuedPayload(size_t size) {
    std::vector<char> bytes(size, 'p');
    EXPECT_EQ(submit(record(kSource, EVF_MASK1, 0x10u, bytes.data(), static_cast<uint32_t>(size))), EVR_OK);
    ScopedLock lock(&t.core.queueMutex);
    if (t.core.eventQueue.empty()) return nullptr;
    char* payload = static_cast<char*>(t.core.eventQueue.front().data);
    t.core.eventQueue.pop();
    return payload;
  }

  TestCore t;
};

// --- Roads chosen by source and flags ---

TEST_F(SubmitEvent, SourceZeroWithoutFlagsIsARequestAndQueuesNothing) {
  EXPECT_EQ(submit(record(0, 0)), EVR_OK);
  EXPECT_EQ(queued(), 0u);
  EXPECT_TRUE(t.core.deferredRequests.empty());
}

TEST_F(SubmitEvent, StopWordClosesTheHandle) {
  EXPECT_EQ(submit(record(0, EVF_STOP, 0, nullptr, 0, 5)), EVR_OK);
  EXPECT_TRUE(t.core.waitRegistry.isClosed(5));
  EXPECT_FALSE(t.core.waitRegistry.isClosed(6));
  EXPECT_EQ(queued(), 0u);
}

TEST_F(SubmitEvent, RequestReopensAClosedHandle) {
  submit(record(0, EVF_STOP, 0, nullptr, 0, 5));
  ASSERT_TRUE(t.core.waitRegistry.isClosed(5));
  EXPECT_EQ(submit(record(0, EVF_MASK0, 0x10u, nullptr, 0, 5)), EVR_OK);
  EXPECT_FALSE(t.core.waitRegistry.isClosed(5));
  EXPECT_EQ(queued(), 0u);
}

TEST_F(SubmitEvent, ReleaseAndStopBitsTogetherAreARequest) {
  submit(record(0, EVF_STOP, 0, nullptr, 0, 5));
  ASSERT_TRUE(t.core.waitRegistry.isClosed(5));
  // Neither a stop (the handle would stay closed) nor a release (it would
  // leave the handle alone): a request, which reopens it.
  EXPECT_EQ(submit(record(0, EVF_RELEASE | EVF_STOP, 0x10u, nullptr, 0, 5)), EVR_OK);
  EXPECT_FALSE(t.core.waitRegistry.isClosed(5));
  EXPECT_EQ(queued(), 0u);
}

TEST_F(SubmitEvent, StopWordFromANonZeroSourceIsAnEvent) {
  EXPECT_EQ(submit(record(kSource, EVF_STOP, 0x10u, nullptr, 0, 0)), EVR_OK);
  const std::vector<QueuedEvent> events = taken();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].record.flags, EVF_STOP);
  EXPECT_EQ(events[0].record.sourceId, kSource);
}

// --- Payloads ---

TEST_F(SubmitEvent, DataWithZeroSizeIsQueuedWithoutPayload) {
  AllocatorSwap swap(&AllocationLog::allocate);
  char bytes[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(submit(record(kSource, EVF_MASK1, 0x10u, bytes, 0)), EVR_OK);
  const std::vector<QueuedEvent> events = taken();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_FALSE(events[0].hadData);
  EXPECT_EQ(events[0].record.dataSize, 0u);
  EXPECT_EQ(AllocationLog::count, 0);
}

TEST_F(SubmitEvent, PayloadIsCopiedOnceAtSubmission) {
  AllocatorSwap swap(&AllocationLog::allocate);
  char bytes[] = "payload bytes";
  EXPECT_EQ(submit(record(kSource, EVF_MASK1, 0x10u, bytes, sizeof(bytes))), EVR_OK);
  EXPECT_EQ(AllocationLog::count, 1);
  {
    ScopedLock lock(&t.core.queueMutex);
    ASSERT_EQ(t.core.eventQueue.size(), 1u);
    EXPECT_EQ(t.core.eventQueue.front().data, AllocationLog::last);
    EXPECT_NE(t.core.eventQueue.front().data, static_cast<void*>(bytes));
  }
  // The caller may reuse its buffer at once.
  memset(bytes, 'x', sizeof(bytes));
  const std::vector<QueuedEvent> events = taken();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].payload, std::string("payload bytes", sizeof(bytes)));
  EXPECT_EQ(events[0].record.dataSize, sizeof(bytes));
}

TEST_F(SubmitEvent, AllocationFailureIsReportedAndQueuesNothing) {
  AllocatorSwap swap(&failingAllocator);
  char bytes[8] = {};
  EXPECT_EQ(submit(record(kSource, EVF_MASK1, 0x10u, bytes, sizeof(bytes))), EVR_NO_MEMORY);
  EXPECT_EQ(queued(), 0u);
}

// --- Counted sources ---

TEST_F(SubmitEvent, RegistrationAllows766CountedEvents) {
  ASSERT_EQ(registerSource(kSource), EVR_OK);
  for (int i = 1; i <= COUNTED_EVENT_LIMIT; ++i) ASSERT_EQ(counted(kSource), EVR_OK) << "event " << i;
  EXPECT_EQ(counted(kSource), EVR_LIMIT);
  EXPECT_EQ(counted(kSource), EVR_UNREGISTERED);
  // The registration itself is an event too.
  EXPECT_EQ(queued(), 1u + COUNTED_EVENT_LIMIT);
}

TEST_F(SubmitEvent, RegistrationAfterTheLimitStartsANewAllowance) {
  ASSERT_EQ(registerSource(kSource), EVR_OK);
  for (int i = 1; i <= COUNTED_EVENT_LIMIT; ++i) ASSERT_EQ(counted(kSource), EVR_OK);
  ASSERT_EQ(counted(kSource), EVR_LIMIT);
  EXPECT_EQ(registerSource(kSource), EVR_OK);
  EXPECT_EQ(counted(kSource), EVR_OK);
}

TEST_F(SubmitEvent, UnregisteredCountedSourceIsRefused) {
  EXPECT_EQ(counted(kSource), EVR_UNREGISTERED);
  EXPECT_EQ(queued(), 0u);
}

TEST_F(SubmitEvent, CountedEventsAreRefusedWhileThrottling) {
  ASSERT_EQ(registerSource(kSource), EVR_OK);
  taken();
  t.core.throttling = true;
  EXPECT_EQ(counted(kSource), EVR_THROTTLED);
  EXPECT_EQ(queued(), 0u);
}

TEST_F(SubmitEvent, RegistrationWhileThrottlingIsRefusedAndNotKept) {
  t.core.throttling = true;
  EXPECT_EQ(registerSource(kSource), EVR_THROTTLED);
  EXPECT_EQ(queued(), 0u);
  t.core.throttling = false;
  EXPECT_EQ(counted(kSource), EVR_UNREGISTERED);
}

TEST_F(SubmitEvent, UncountedEventsPassWhileThrottling) {
  t.core.throttling = true;
  // EVF_MASK0 without the counted class bit, and the class bit without EVF_MASK0.
  EXPECT_EQ(submit(record(kSource, EVF_MASK0, 0x10u)), EVR_OK);
  EXPECT_EQ(submit(record(kSource, EVF_MASK1, kCountedClass)), EVR_OK);
  EXPECT_EQ(queued(), 2u);
}

TEST_F(SubmitEvent, AllocationFailureDropsACountedSourcesRegistration) {
  ASSERT_EQ(registerSource(kSource), EVR_OK);
  char bytes[8] = {};
  {
    AllocatorSwap swap(&failingAllocator);
    EXPECT_EQ(submit(record(kSource, EVF_MASK0, kCountedClass, bytes, sizeof(bytes))), EVR_NO_MEMORY);
  }
  EXPECT_EQ(counted(kSource), EVR_UNREGISTERED);
  EXPECT_EQ(queued(), 1u);  // the registration only
}

// --- Release road ---

TEST_F(SubmitEvent, ReleaseOfAnUnheldPointerFreesNothing) {
  SKIP_UNLESS_FREES_VISIBLE();
  char* mine = static_cast<char*>(malloc(kBigPayload));
  ASSERT_NE(mine, nullptr);
  memset(mine, 'm', kBigPayload);
  FreeProbe probe(kBigPayload, true);
  EXPECT_EQ(submit(record(kSource, EVF_RELEASE, 0, mine, kBigPayload)), EVR_OK);
  EXPECT_FALSE(probe.freed(mine));
  EXPECT_EQ(mine[0], 'm');
  EXPECT_EQ(mine[kBigPayload - 1], 'm');
  free(mine);
}

TEST_F(SubmitEvent, ReleaseOfAStackBufferIsHarmless) {
  char buffer[32] = "on the stack";
  EXPECT_EQ(submit(record(kSource, EVF_RELEASE, 0, buffer, sizeof(buffer))), EVR_OK);
  EXPECT_STREQ(buffer, "on the stack");
}

TEST_F(SubmitEvent, ReleaseWithoutDataIsAccepted) {
  EXPECT_EQ(submit(record(kSource, EVF_RELEASE)), EVR_OK);
  EXPECT_EQ(queued(), 0u);
}

TEST_F(SubmitEvent, ReleaseByOneOfTwoHoldersKeepsThePayload) {
  SKIP_UNLESS_FREES_VISIBLE();
  AllocatorSwap swap(&AllocationLog::allocate);
  char* payload = queuedPayload(kBigPayload);
  ASSERT_NE(payload, nullptr);
  ASSERT_EQ(payload, AllocationLog::last);
  // As during a delivery pass in which receiver kOtherHolder kept it.
  t.core.bufferRegistry.addHold(payload, EVENT_SOURCE_CORE);
  t.core.bufferRegistry.addHold(payload, kOtherHolder);

  FreeProbe probe(kBigPayload, true);
  EXPECT_EQ(submit(record(kOtherHolder, EVF_RELEASE, 0, payload, kBigPayload)), EVR_OK);
  EXPECT_FALSE(probe.freed(payload));
  EXPECT_EQ(t.core.bufferRegistry.holdCount(payload), 1u);
  EXPECT_EQ(payload[kBigPayload - 1], 'p');

  // The dispatch thread's own release makes it the last holder.
  EXPECT_TRUE(t.core.bufferRegistry.releaseHold(payload, EVENT_SOURCE_CORE));
  free(payload);
}

TEST_F(SubmitEvent, ReleaseOfTheLastHoldFreesThePayload) {
  SKIP_UNLESS_FREES_VISIBLE();
  AllocatorSwap swap(&AllocationLog::allocate);
  char* payload = queuedPayload(kBigPayload);
  ASSERT_NE(payload, nullptr);
  t.core.bufferRegistry.addHold(payload, EVENT_SOURCE_CORE);
  t.core.bufferRegistry.addHold(payload, kOtherHolder);
  // The delivery pass ended with the receiver still holding it.
  ASSERT_FALSE(t.core.bufferRegistry.releaseHold(payload, EVENT_SOURCE_CORE));

  FreeProbe probe(kBigPayload, true);
  EXPECT_EQ(submit(record(kOtherHolder, EVF_RELEASE, 0, payload, kBigPayload)), EVR_OK);
  EXPECT_EQ(t.core.bufferRegistry.holdCount(payload), 0u);
  EXPECT_TRUE(probe.freed(payload));
  // Not ours any more: a second release of the stale pointer frees nothing.
  EXPECT_EQ(submit(record(kOtherHolder, EVF_RELEASE, 0, payload, kBigPayload)), EVR_OK);
}

// --- Answers under request handles ---

TEST_F(SubmitEvent, AnswerFromANonProviderIsRefused) {
  SKIP_UNLESS_FREES_VISIBLE();
  AllocatorSwap swap(&AllocationLog::allocate);
  std::vector<char> bytes(kBigPayload, 'a');
  ASSERT_FALSE(t.core.waitRegistry.isClosed(9));
  FreeProbe probe(kBigPayload, false);
  EXPECT_EQ(submit(record(kSource, EVF_MASK1, 0x10u, bytes.data(), kBigPayload, 9)), EVR_HANDLE_REFUSED);
  EXPECT_EQ(queued(), 0u);
  EXPECT_EQ(AllocationLog::count, 1);
  EXPECT_TRUE(probe.freed(AllocationLog::last));
}

TEST_F(SubmitEvent, AnswerFromAProviderUnderAnOpenHandleIsQueued) {
  t.core.waitRegistry.setProvider(pthread_self(), true);
  char bytes[] = "answer";
  EXPECT_EQ(submit(record(kSource, EVF_MASK1, 0x10u, bytes, sizeof(bytes), 9)), EVR_OK);
  t.core.waitRegistry.setProvider(pthread_self(), false);
  const std::vector<QueuedEvent> events = taken();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].record.requestHandle, 9u);
  EXPECT_EQ(events[0].payload, std::string(bytes, sizeof(bytes)));
}

TEST_F(SubmitEvent, AnswerFromAProviderUnderAClosedHandleIsRefused) {
  submit(record(0, EVF_STOP, 0, nullptr, 0, 9));
  t.core.waitRegistry.setProvider(pthread_self(), true);
  char bytes[] = "answer";
  EXPECT_EQ(submit(record(kSource, EVF_MASK1, 0x10u, bytes, sizeof(bytes), 9)), EVR_HANDLE_REFUSED);
  t.core.waitRegistry.setProvider(pthread_self(), false);
  EXPECT_EQ(queued(), 0u);
}

// --- After the service stopped ---

TEST_F(SubmitEvent, SubmissionAfterStopIsRefusedAndCopiesNothing) {
  t.core.stop();
  {
    ScopedLock lock(&t.core.queueMutex);
    ASSERT_EQ(t.core.eventTrigger, nullptr);
  }
  AllocatorSwap swap(&AllocationLog::allocate);
  std::vector<char> bytes(kBigPayload, 's');
  EXPECT_EQ(submit(record(kSource, EVF_MASK1, 0x10u, bytes.data(), kBigPayload)), EVR_STOPPING);
  EXPECT_EQ(submit(record(kSource, EVF_MASK1, 0x10u, bytes.data(), kBigPayload, 7)), EVR_HANDLE_REFUSED);
  EXPECT_EQ(queued(), 0u);
  EXPECT_EQ(AllocationLog::count, 0);
}

// --- The queue's bound ---

TEST_F(SubmitEvent, FullQueueRefusesWithNoMemoryAndCopiesNothing) {
  AllocatorSwap swap(&AllocationLog::allocate);
  const char byte = 'q';
  for (uint32_t i = 0; i < EVENT_QUEUE_MAX_RECORDS; ++i)
    ASSERT_EQ(submit(record(kSource, EVF_MASK1, 0x10u, &byte, 1)), EVR_OK) << i;
  const int copies = AllocationLog::count;
  EXPECT_EQ(submit(record(kSource, EVF_MASK1, 0x10u, &byte, 1)), EVR_NO_MEMORY);
  EXPECT_EQ(submit(record(kSource, EVF_MASK1, 0x10u, nullptr, 0)), EVR_NO_MEMORY) << "records count too";
  EXPECT_EQ(AllocationLog::count, copies);
  EXPECT_EQ(queued(), EVENT_QUEUE_MAX_RECORDS);
  // Taken off the queue, the records give their room back.
  takeQueued(t.core);
  EXPECT_EQ(submit(record(kSource, EVF_MASK1, 0x10u, &byte, 1)), EVR_OK);
}

TEST_F(SubmitEvent, PayloadBytesHaveTheirOwnLimit) {
  std::vector<char> big(EVENT_QUEUE_MAX_BYTES / 4, 'b');
  for (int i = 0; i < 4; ++i)
    ASSERT_EQ(submit(record(kSource, EVF_MASK1, 0x10u, big.data(), static_cast<uint32_t>(big.size()))), EVR_OK);
  const char byte = 'q';
  EXPECT_EQ(submit(record(kSource, EVF_MASK1, 0x10u, &byte, 1)), EVR_NO_MEMORY);
  EXPECT_EQ(submit(record(kSource, EVF_MASK1, 0x10u, nullptr, 0)), EVR_OK) << "no payload bytes";
  // A counted source whose event found no room is unregistered, as after a failed copy.
  _EventParmsIn reg = record(kSource, EVF_MASK0, EVC_COUNTED, nullptr, 0);
  EVENT_REGISTRATION(&reg) = 1;
  EXPECT_EQ(submit(reg), EVR_OK);
  EXPECT_EQ(submit(record(kSource, EVF_MASK0, EVC_COUNTED, &byte, 1)), EVR_NO_MEMORY);
  EXPECT_EQ(submit(record(kSource, EVF_MASK0, EVC_COUNTED, nullptr, 0)), EVR_UNREGISTERED);
}

}  // namespace
