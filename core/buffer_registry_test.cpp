// Tests of BufferRegistry: several holders per payload, who gets to free it,
// and that a pointer the registry does not know is never reported freeable.
#include "core/buffer_registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace {

const unsigned long kCore = 0;  // stands for the dispatch thread's holder id

TEST(BufferRegistry, OnlyTheLastHolderToReleaseGetsThePayload) {
  BufferRegistry reg;
  char payload[8];
  reg.addHold(payload, kCore);
  reg.addHold(payload, 0x10001);
  reg.addHold(payload, 0x10002);
  EXPECT_EQ(reg.holdCount(payload), 3u);

  EXPECT_FALSE(reg.releaseHold(payload, 0x10001));
  EXPECT_EQ(reg.holdCount(payload), 2u);
  EXPECT_FALSE(reg.releaseHold(payload, kCore));
  EXPECT_EQ(reg.holdCount(payload), 1u);
  EXPECT_TRUE(reg.releaseHold(payload, 0x10002));
  EXPECT_EQ(reg.holdCount(payload), 0u);
}

TEST(BufferRegistry, ReleaseDropsEveryHoldOfThatHolder) {
  BufferRegistry reg;
  char payload[8];
  reg.addHold(payload, 7);
  reg.addHold(payload, 7);
  reg.addHold(payload, 7);
  reg.addHold(payload, 9);

  EXPECT_FALSE(reg.releaseHold(payload, 7));
  EXPECT_EQ(reg.holdCount(payload), 1u);
  EXPECT_TRUE(reg.releaseHold(payload, 9));
}

TEST(BufferRegistry, SoleHolderWithRepeatedHoldsFreesInOneRelease) {
  BufferRegistry reg;
  char payload[8];
  reg.addHold(payload, 7);
  reg.addHold(payload, 7);
  EXPECT_TRUE(reg.releaseHold(payload, 7));
  EXPECT_EQ(reg.holdCount(payload), 0u);
}

TEST(BufferRegistry, UnknownPointerIsNeverFreeable) {
  BufferRegistry reg;
  char known[8];
  char unknown[8];
  reg.addHold(known, 1);
  EXPECT_FALSE(reg.releaseHold(unknown, 1));
  EXPECT_FALSE(reg.releaseHold(unknown, 2));
  EXPECT_EQ(reg.holdCount(known), 1u);
}

TEST(BufferRegistry, HolderWithoutAHoldCannotFreeAnotherHoldersPayload) {
  BufferRegistry reg;
  char payload[8];
  reg.addHold(payload, 1);
  EXPECT_FALSE(reg.releaseHold(payload, 2));
  EXPECT_EQ(reg.holdCount(payload), 1u);
  EXPECT_TRUE(reg.releaseHold(payload, 1));
}

TEST(BufferRegistry, SecondReleaseOfAFreedPayloadIsRefused) {
  BufferRegistry reg;
  char payload[8];
  reg.addHold(payload, 1);
  EXPECT_TRUE(reg.releaseHold(payload, 1));
  EXPECT_FALSE(reg.releaseHold(payload, 1)) << "would free the same payload twice";
}

TEST(BufferRegistry, NullPayloadIsNotRecordedAndReleasesAsFreeable) {
  BufferRegistry reg;
  reg.addHold(nullptr, 1);
  EXPECT_EQ(reg.holdCount(nullptr), 0u);
  EXPECT_TRUE(reg.releaseHold(nullptr, 1));
  EXPECT_TRUE(reg.releaseHold(nullptr, 99));
}

TEST(BufferRegistry, PayloadsAreCountedSeparately) {
  BufferRegistry reg;
  char a[8];
  char b[8];
  reg.addHold(a, 1);
  reg.addHold(b, 1);
  reg.addHold(b, 2);

  EXPECT_TRUE(reg.releaseHold(a, 1));
  EXPECT_EQ(reg.holdCount(b), 2u);
  EXPECT_FALSE(reg.releaseHold(b, 1));
  EXPECT_TRUE(reg.releaseHold(b, 2));
}

TEST(BufferRegistry, HoldAddedAfterAFreeStartsANewLife) {
  // The same address handed out again by the allocator is a new payload.
  BufferRegistry reg;
  char payload[8];
  reg.addHold(payload, 1);
  EXPECT_TRUE(reg.releaseHold(payload, 1));
  reg.addHold(payload, 2);
  EXPECT_FALSE(reg.releaseHold(payload, 1));
  EXPECT_TRUE(reg.releaseHold(payload, 2));
}

// Every thread holds every payload from the start. Each thread, in its own
// order, passes each payload on to a recipient id of its own (adding the
// recipient's hold before dropping its own, as the dispatcher does) and then
// drops the recipient's hold. Exactly one release per payload may say "free".
TEST(BufferRegistryConcurrency, EachPayloadIsFreedExactlyOnce) {
  const int kThreads = 4;
  const int kPayloads = 5000;
  BufferRegistry reg;
  std::vector<std::unique_ptr<char[]>> payloads;
  for (int i = 0; i < kPayloads; ++i) payloads.emplace_back(new char[16]);
  for (int i = 0; i < kPayloads; ++i)
    for (int t = 0; t < kThreads; ++t) reg.addHold(payloads[i].get(), t + 1);

  std::unique_ptr<std::atomic<int>[]> frees(new std::atomic<int>[kPayloads]);
  for (int i = 0; i < kPayloads; ++i) frees[i] = 0;
  std::atomic<int> ownReleaseSaidFree{0};

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const unsigned long self = t + 1;
      const unsigned long recipient = 0x1000 + t;
      std::vector<int> order(kPayloads);
      for (int i = 0; i < kPayloads; ++i) order[i] = i;
      std::shuffle(order.begin(), order.end(), std::mt19937(1234 + t));
      for (int i : order) {
        char* p = payloads[i].get();
        reg.addHold(p, recipient);
        if (reg.releaseHold(p, self)) ++ownReleaseSaidFree;  // recipient still holds it
        if (reg.releaseHold(p, recipient)) ++frees[i];
      }
    });
  }
  for (auto& th : threads) th.join();

  EXPECT_EQ(ownReleaseSaidFree.load(), 0);
  int freedOnce = 0;
  for (int i = 0; i < kPayloads; ++i) {
    EXPECT_EQ(frees[i].load(), 1) << "payload " << i;
    if (frees[i].load() == 1) ++freedOnce;
    EXPECT_EQ(reg.holdCount(payloads[i].get()), 0u);
  }
  EXPECT_EQ(freedOnce, kPayloads);
}

}  // namespace
