// End-to-end tests of provider pacing with a started core and test modules:
// a request starts a provider's Read, whose answers reach a receiver in
// order, one payload in flight at a time; the requester's stop closes the
// handle; and stopping the service frees a provider blocked in its wait.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/running_core.h"

namespace {

using selvar_test::framePayload;
using selvar_test::hex;
using selvar_test::ModuleConfig;
using selvar_test::ModuleFixture;
using selvar_test::ModuleRecord;
using selvar_test::monotonicMicros;
using selvar_test::payloadSum;
using selvar_test::pointerField;
using selvar_test::recordsWith;
using selvar_test::RunningCore;
using selvar_test::submissionStart;
using selvar_test::textEvent;
using selvar_test::waitForWith;

const uint32_t kProvider = 0x00310000u;
const uint32_t kReceiver = 0x00320000u;
const uint32_t kHandle = 0x31u;
const char kHandleText[] = "0x31";

// Answers requests of class 0x10 with events of class 0x40 (mask 1).
ModuleConfig provider(const ModuleConfig& extra) {
  ModuleConfig config = {{"id", hex(kProvider)},  {"hasReader", "1"},         {"mask1", "0x10"},
                         {"provide", "1"},         {"provide.flags", "0x2"},   {"provide.class", "0x40"}};
  config.insert(config.end(), extra.begin(), extra.end());
  return config;
}

ModuleConfig receiver(const ModuleConfig& extra = {}) {
  ModuleConfig config = {{"id", hex(kReceiver)}, {"acceptsEvents", "1"}, {"mask1", "0x40"}};
  config.insert(config.end(), extra.begin(), extra.end());
  return config;
}

std::vector<ModuleRecord> answersReceived(const ModuleFixture& fx) {
  return recordsWith(fx, "receiver.so", "WRITE", "handle", kHandleText);
}

std::vector<ModuleRecord> answersSent(const ModuleFixture& fx) {
  return recordsWith(fx, "provider.so", "ANSWER", "handle", kHandleText);
}

int32_t ask(RunningCore& rc) { return rc.submit(textEvent(0, EVF_MASK1, 0x10u, "ask", kHandle)); }

TEST(ProviderPacing, AnswersArriveInOrder) {
  ModuleFixture fx;
  fx.install("provider.so", provider({{"provide.count", "5"}}));
  fx.install("receiver.so", receiver());
  RunningCore rc(fx);
  ASSERT_TRUE(rc.start());

  EXPECT_EQ(ask(rc), EVR_OK);
  ASSERT_TRUE(waitForWith(fx, "provider.so", "READEND", "handle", kHandleText));
  ASSERT_TRUE(waitForWith(fx, "receiver.so", "WRITE", "handle", kHandleText, 5));

  const ModuleRecord end = recordsWith(fx, "provider.so", "READEND", "handle", kHandleText).at(0);
  EXPECT_EQ(end.str("reason"), "count");
  EXPECT_EQ(end.num("answers"), 5);
  const std::vector<ModuleRecord> got = answersReceived(fx);
  ASSERT_EQ(got.size(), 5u);
  for (size_t i = 0; i < got.size(); ++i) {
    const uint32_t frame = static_cast<uint32_t>(i + 1);
    EXPECT_EQ(got[i].u32("frame"), frame);
    EXPECT_EQ(got[i].u32("source"), kProvider);
    EXPECT_EQ(got[i].u32("sum"), payloadSum(framePayload(frame, 64).data(), 64)) << "frame " << frame;
  }
}

TEST(ProviderPacing, NextAnswerWaitsUntilTheKeptOneIsReleased) {
  ModuleFixture fx;
  fx.install("provider.so", provider({{"provide.count", "3"}}));
  fx.install("receiver.so", receiver({{"keep.write", "1"}, {"releaseAfterMs", "60"}}));
  RunningCore rc(fx);
  ASSERT_TRUE(rc.start());

  EXPECT_EQ(ask(rc), EVR_OK);
  ASSERT_TRUE(waitForWith(fx, "provider.so", "READEND", "handle", kHandleText));
  ASSERT_TRUE(fx.waitForRecords("receiver.so", "RELEASE", 3));

  const std::vector<ModuleRecord> sent = answersSent(fx);
  const std::vector<ModuleRecord> got = answersReceived(fx);
  const std::vector<ModuleRecord> released = fx.records("receiver.so", "RELEASE");
  ASSERT_EQ(sent.size(), 3u);
  ASSERT_EQ(got.size(), 3u);
  ASSERT_EQ(released.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(sent[i].num("result"), EVR_OK);
    EXPECT_EQ(got[i].u32("frame"), i + 1);
    EXPECT_EQ(pointerField(released[i]), pointerField(got[i]));
  }
  for (size_t i = 1; i < 3; ++i) {
    // Blocked in the submission until the previous answer came back ...
    EXPECT_GE(sent[i].num("us"), 20000) << "answer " << i + 1;
    // ... and delivered only after that release had begun.
    EXPECT_GE(got[i].num("t"), submissionStart(released[i - 1])) << "answer " << i + 1;
  }
}

TEST(ProviderPacing, StopFromTheRequesterRefusesTheProvidersNextAnswer) {
  ModuleFixture fx;
  fx.install("provider.so", provider({{"provide.count", "0"}, {"provide.limit", "50"}}));
  fx.install("receiver.so", receiver({{"stop.afterAnswers", "2"}}));
  RunningCore rc(fx);
  ASSERT_TRUE(rc.start());

  EXPECT_EQ(ask(rc), EVR_OK);
  ASSERT_TRUE(waitForWith(fx, "provider.so", "READEND", "handle", kHandleText));
  ASSERT_TRUE(rc.callsEnded());
  rc.stop();  // every delivery has been made

  const std::vector<ModuleRecord> stops = fx.records("receiver.so", "STOP");
  ASSERT_EQ(stops.size(), 1u);
  EXPECT_EQ(stops[0].u32("handle"), kHandle);
  EXPECT_EQ(stops[0].num("result"), EVR_OK);
  EXPECT_TRUE(rc.core.waitRegistry.isClosed(kHandle));

  const ModuleRecord end = recordsWith(fx, "provider.so", "READEND", "handle", kHandleText).at(0);
  EXPECT_EQ(end.str("reason"), "refused");
  const std::vector<ModuleRecord> sent = answersSent(fx);
  ASSERT_GE(sent.size(), 3u);
  EXPECT_EQ(sent.back().num("result"), EVR_HANDLE_REFUSED);
  for (size_t i = 0; i + 1 < sent.size(); ++i) EXPECT_EQ(sent[i].num("result"), EVR_OK) << "answer " << i + 1;
  // An answer begun after the stop had closed the handle is refused.
  for (const ModuleRecord& answer : sent) {
    if (submissionStart(answer) > stops[0].num("t")) {
      EXPECT_EQ(answer.num("result"), EVR_HANDLE_REFUSED);
    }
  }
  // At most the answer already waiting for its turn when the stop came gets through.
  const int64_t admitted = end.num("answers");
  EXPECT_GE(admitted, 2);
  EXPECT_LE(admitted, 3);
  EXPECT_EQ(answersReceived(fx).size(), static_cast<size_t>(admitted));
}

TEST(ProviderPacing, ServiceStopReleasesAProviderBlockedInItsWait) {
  ModuleFixture fx;
  fx.install("provider.so", provider({{"provide.count", "0"}, {"provide.limit", "10"}}));
  fx.install("receiver.so", receiver({{"keep.write", "1"}, {"releaseOn", "never"}}));
  auto rc = std::make_unique<RunningCore>(fx);
  ASSERT_TRUE(rc->start());

  EXPECT_EQ(ask(*rc), EVR_OK);
  ASSERT_TRUE(waitForWith(fx, "receiver.so", "WRITE", "handle", kHandleText));
  // The first answer is never released: the second waits for it.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_EQ(answersSent(fx).size(), 1u);
  const int64_t stopBegan = monotonicMicros();

  auto stopped = std::make_shared<std::promise<void>>();
  std::future<void> done = stopped->get_future();
  RunningCore* core = rc.get();
  std::thread stopper([core, stopped] {
    core->stop();
    stopped->set_value();
  });
  if (done.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    // A hung stop would hang the test binary too: leave it to its thread.
    stopper.detach();
    rc.release()->abandon();
    FAIL() << "stop() did not return while a provider waited for its slot";
  }
  stopper.join();
  if (rc->core.callTracker.liveCallsTotal() != 0) {
    // The unload pass gave up on the provider, which still waits: destroying
    // the core under it would hang or crash the test binary.
    rc.release()->abandon();
    FAIL() << "the provider's Read call outlived stop()";
  }

  const std::vector<ModuleRecord> sent = answersSent(fx);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].num("result"), EVR_OK);
  EXPECT_EQ(sent[1].num("result"), EVR_HANDLE_REFUSED);
  EXPECT_LT(submissionStart(sent[1]), stopBegan);  // it was waiting before the stop began
  const ModuleRecord end = recordsWith(fx, "provider.so", "READEND", "handle", kHandleText).at(0);
  EXPECT_EQ(end.str("reason"), "refused");

  // The receiver never gives its answer back; the test does, for the leak check.
  char* kept = pointerField(answersReceived(fx).at(0));
  EXPECT_EQ(rc->core.bufferRegistry.holdCount(kept), 1u);
  EXPECT_EQ(rc->release(kept, kReceiver), EVR_OK);
  EXPECT_EQ(rc->core.bufferRegistry.holdCount(kept), 0u);
}

}  // namespace
