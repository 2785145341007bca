// Tests of BufferRegistry: several holders per payload, who gets to free it,
// that a pointer the registry does not know is never reported freeable, the
// dispatch thread's pass (offer, keep, a release during the receiver's own
// call), many concurrent releasers of one payload, and address reuse.
#include "core/buffer_registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
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

// ---- stale, foreign, static and not-held pointers ----

char g_static[32];

TEST(BufferRegistry, PointersNotHeldByTheReleaserAreNeverFreeable) {
  BufferRegistry reg;
  char* payload = static_cast<char*>(malloc(64));
  char onStack[16];
  char* foreign = static_cast<char*>(malloc(64));
  reg.addHold(payload, 1);
  reg.addHold(payload, 2);
  for (unsigned long holder : {1ul, 2ul, 3ul, 0x80000000ul}) {
    EXPECT_FALSE(reg.releaseHold(onStack, holder));
    EXPECT_FALSE(reg.releaseHold(g_static, holder));
    EXPECT_FALSE(reg.releaseHold(foreign, holder));
    EXPECT_FALSE(reg.releaseHold(payload + 1, holder)) << "an address inside a held payload";
    EXPECT_FALSE(reg.releaseHold(payload + 63, holder));
  }
  EXPECT_FALSE(reg.releaseHold(payload, 3)) << "a holder without a hold";
  EXPECT_EQ(reg.holdCount(payload), 2u);
  EXPECT_FALSE(reg.releaseHold(payload, 1));
  EXPECT_FALSE(reg.releaseHold(payload, 1)) << "given back twice";
  EXPECT_TRUE(reg.releaseHold(payload, 2));
  EXPECT_FALSE(reg.releaseHold(payload, 2)) << "stale: already freed by this release";
  EXPECT_FALSE(reg.releaseHold(payload, 1));
  EXPECT_EQ(reg.payloadCount(), 0u);
  free(payload);
  free(foreign);
}

TEST(BufferRegistry, AnAddressHandedOutAgainAfterItsFreeIsANewPayload) {
  // The allocator hands the same block out again: the old holder's stale
  // release must not take the new life's hold away.
  BufferRegistry reg;
  char* block = static_cast<char*>(malloc(48));
  reg.addHold(block, 10);
  EXPECT_TRUE(reg.releaseHold(block, 10));
  free(block);
  char* again = static_cast<char*>(malloc(48));  // often the same address
  reg.addHold(again, 20);
  reg.addHold(again, 21);
  EXPECT_FALSE(reg.releaseHold(again, 10));
  EXPECT_EQ(reg.holdCount(again), 2u);
  EXPECT_FALSE(reg.releaseHold(again, 20));
  EXPECT_TRUE(reg.releaseHold(again, 21));
  free(again);
}

TEST(BufferRegistry, ManyPayloadsAtOnceGrowAndShrinkTheTable) {
  BufferRegistry reg;
  const int kCount = 20000;
  std::vector<std::unique_ptr<char[]>> payloads;
  for (int i = 0; i < kCount; ++i) payloads.emplace_back(new char[8]);
  for (int i = 0; i < kCount; ++i) {
    reg.addHold(payloads[i].get(), 1);
    if (i % 3 == 0) reg.addHold(payloads[i].get(), 2);
  }
  EXPECT_EQ(reg.payloadCount(), static_cast<size_t>(kCount));
  for (int i = 0; i < kCount; ++i) ASSERT_EQ(reg.holdCount(payloads[i].get()), i % 3 == 0 ? 2u : 1u) << i;
  // Released in a scattered order, so entries move up behind many holes.
  std::vector<int> order(kCount);
  for (int i = 0; i < kCount; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(7));
  for (int i : order) {
    const bool two = i % 3 == 0;
    ASSERT_EQ(reg.releaseHold(payloads[i].get(), 1), !two) << i;
    if (two) {
      ASSERT_TRUE(reg.releaseHold(payloads[i].get(), 2)) << i;
    }
  }
  EXPECT_EQ(reg.payloadCount(), 0u);
  for (int i = 0; i < kCount; ++i) EXPECT_EQ(reg.holdCount(payloads[i].get()), 0u);
}

// ---- the dispatch thread's pass ----

TEST(BufferRegistryPass, NobodyKeepsItThenThePassFreesIt) {
  BufferRegistry reg;
  char payload[8];
  reg.beginPass(payload);
  EXPECT_EQ(reg.holdCount(payload), 1u) << "the pass holds it";
  reg.offer(0x100);
  reg.offer(0x200);
  EXPECT_TRUE(reg.endPass());
  EXPECT_EQ(reg.holdCount(payload), 0u);
  EXPECT_EQ(reg.payloadCount(), 0u);
}

TEST(BufferRegistryPass, AKeeperOutlivesThePassAndItsReleaseFrees) {
  BufferRegistry reg;
  char payload[8];
  reg.beginPass(payload);
  reg.offer(0x100);
  reg.keep(0x100);
  reg.offer(0x200);
  reg.offer(0x300);
  reg.keep(0x300);
  EXPECT_EQ(reg.holdCount(payload), 3u);
  BufferRegistry::ReleaseKind kind = BufferRegistry::RELEASED_HOLD;
  EXPECT_FALSE(reg.releaseHold(payload, 0x200, &kind)) << "0x200 did not keep it";
  EXPECT_EQ(kind, BufferRegistry::RELEASED_NOTHING);
  EXPECT_FALSE(reg.endPass());
  EXPECT_EQ(reg.holdCount(payload), 2u);
  EXPECT_FALSE(reg.releaseHold(payload, 0x100, &kind));
  EXPECT_EQ(kind, BufferRegistry::RELEASED_HOLD);
  EXPECT_TRUE(reg.releaseHold(payload, 0x300));
  EXPECT_FALSE(reg.releaseHold(payload, 0x300));
}

TEST(BufferRegistryPass, KeepersThatGiveItBackDuringThePassLeaveItToThePass) {
  BufferRegistry reg;
  char payload[8];
  reg.beginPass(payload);
  reg.offer(0x100);
  reg.keep(0x100);
  EXPECT_FALSE(reg.releaseHold(payload, 0x100)) << "the pass still holds it";
  reg.offer(0x200);
  EXPECT_TRUE(reg.endPass());
  EXPECT_EQ(reg.payloadCount(), 0u);
}

TEST(BufferRegistryPass, AReleaseDuringTheReceiversOwnCallCancelsItsKeep) {
  // The receiver hands the payload to a thread of its own, which gives it
  // back before the receiver's call has returned keep = 1.
  BufferRegistry reg;
  char payload[8];
  reg.beginPass(payload);
  reg.offer(0x100);
  BufferRegistry::ReleaseKind kind = BufferRegistry::RELEASED_HOLD;
  EXPECT_FALSE(reg.releaseHold(payload, 0x100, &kind));
  // Neither a hold given back nor a foreign pointer: the live figures count
  // no kept payload for it either way.
  EXPECT_EQ(kind, BufferRegistry::RELEASED_OFFER);
  EXPECT_FALSE(reg.keep(0x100)) << "no hold recorded";
  EXPECT_EQ(reg.holdCount(payload), 1u) << "only the pass";
  EXPECT_TRUE(reg.endPass());
  EXPECT_EQ(reg.payloadCount(), 0u);
}

TEST(BufferRegistryPass, AReleaseByAnotherHolderDuringACallChangesNothing) {
  BufferRegistry reg;
  char payload[8];
  char other[8];
  reg.beginPass(payload);
  reg.offer(0x100);
  EXPECT_FALSE(reg.releaseHold(payload, 0x200)) << "not the holder being called";
  EXPECT_FALSE(reg.releaseHold(other, 0x100)) << "not the payload being delivered";
  reg.keep(0x100);
  EXPECT_EQ(reg.holdCount(payload), 2u);
  EXPECT_FALSE(reg.endPass());
  EXPECT_TRUE(reg.releaseHold(payload, 0x100));
}

TEST(BufferRegistryPass, AReleaseAfterTheCallReturnedWithoutKeepCannotCancelTheNextKeep) {
  // 0x100 returned keep = 0 and then gives the payload back anyway (a module
  // bug); the pass has moved on to 0x200, which keeps it.
  BufferRegistry reg;
  char payload[8];
  reg.beginPass(payload);
  reg.offer(0x100);
  reg.offer(0x200);
  EXPECT_FALSE(reg.releaseHold(payload, 0x100));
  reg.keep(0x200);
  EXPECT_FALSE(reg.endPass());
  EXPECT_EQ(reg.holdCount(payload), 1u);
  EXPECT_TRUE(reg.releaseHold(payload, 0x200));
}

TEST(BufferRegistryPass, AnOfferOfAnEarlierPassIsNotMatched) {
  // Same holder, same address (the block was freed and handed out again):
  // a release meant for the earlier pass must not cancel the later keep.
  BufferRegistry reg;
  char payload[8];
  reg.beginPass(payload);
  reg.offer(0x100);
  EXPECT_TRUE(reg.endPass());
  reg.beginPass(payload);
  EXPECT_FALSE(reg.releaseHold(payload, 0x100)) << "no offer of this pass yet";
  reg.offer(0x100);
  reg.keep(0x100);
  EXPECT_FALSE(reg.endPass());
  EXPECT_EQ(reg.holdCount(payload), 1u);
  EXPECT_TRUE(reg.releaseHold(payload, 0x100));
}

// ---- many threads ----

// Many holders of one payload give it back at the same moment: exactly one
// of them is told to free it, round after round on the same address.
TEST(BufferRegistryConcurrency, ManyConcurrentReleasersOfOnePayloadFreeItOnce) {
  const int kThreads = 8;
  const int kRounds = 300;
  BufferRegistry reg;
  char payload[16];
  std::atomic<int> round{-1};
  std::atomic<int> arrived{0};
  std::atomic<int> frees{0};
  std::vector<int> freesPerRound(kRounds, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRounds; ++r) {
        while (round.load() < r) std::this_thread::yield();
        if (reg.releaseHold(payload, 100 + t)) {
          frees.fetch_add(1);
          ++freesPerRound[r];  // only the one freeing thread writes it
        }
        arrived.fetch_add(1);
      }
    });
  }
  for (int r = 0; r < kRounds; ++r) {
    for (int t = 0; t < kThreads; ++t) reg.addHold(payload, 100 + t);
    arrived = 0;
    round = r;
    while (arrived.load() < kThreads) std::this_thread::yield();
    ASSERT_EQ(reg.holdCount(payload), 0u);
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(frees.load(), kRounds);
  for (int r = 0; r < kRounds; ++r) EXPECT_EQ(freesPerRound[r], 1) << "round " << r;
}

// The same with the dispatch thread's pass in the race: every receiver keeps
// and its releaser gives the payload back at once, often before the pass
// has even recorded the keep.
TEST(BufferRegistryConcurrency, PassAndImmediateReleasersFreeEachPayloadOnce) {
  const int kReceivers = 4;
  const int kPayloads = 20000;
  BufferRegistry reg;
  std::unique_ptr<std::atomic<int>[]> frees(new std::atomic<int>[kPayloads]);
  for (int i = 0; i < kPayloads; ++i) frees[i] = 0;
  std::vector<std::unique_ptr<char[]>> blocks;
  for (int i = 0; i < kPayloads; ++i) blocks.emplace_back(new char[16]);
  auto indexOf = [&](char* p) { return static_cast<int>(*reinterpret_cast<int*>(p)); };
  for (int i = 0; i < kPayloads; ++i) *reinterpret_cast<int*>(blocks[i].get()) = i;

  struct Releaser {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<char*> items;
    bool done = false;
  };
  Releaser releasers[kReceivers];
  std::vector<std::thread> threads;
  for (int r = 0; r < kReceivers; ++r) {
    threads.emplace_back([&, r] {
      Releaser& me = releasers[r];
      for (;;) {
        char* p;
        {
          std::unique_lock<std::mutex> lock(me.mutex);
          me.wake.wait(lock, [&] { return !me.items.empty() || me.done; });
          if (me.items.empty()) return;
          p = me.items.front();
          me.items.pop_front();
        }
        if (reg.releaseHold(p, 0x1000 + r)) frees[indexOf(p)].fetch_add(1);
        // A second, bogus release of the same pointer: never a second free.
        if (reg.releaseHold(p, 0x1000 + r)) frees[indexOf(p)].fetch_add(1);
      }
    });
  }
  // A thread that gives back pointers under IDs that never hold them.
  std::atomic<bool> stop{false};
  std::thread bogus([&] {
    std::mt19937 rng(99);
    while (!stop.load()) {
      char* p = blocks[rng() % kPayloads].get();
      if (reg.releaseHold(p, 0x2000 + rng() % kReceivers)) frees[indexOf(p)].fetch_add(100);
    }
  });
  for (int i = 0; i < kPayloads; ++i) {
    char* p = blocks[i].get();
    reg.beginPass(p);
    for (int r = 0; r < kReceivers; ++r) {
      reg.offer(0x1000 + r);
      const bool keeps = (i + r) % 3 != 0;
      if (keeps) {
        {
          std::lock_guard<std::mutex> lock(releasers[r].mutex);
          releasers[r].items.push_back(p);
        }
        releasers[r].wake.notify_one();
        if (i % 7 == 0) std::this_thread::yield();  // let the releaser run first now and then
        reg.keep(0x1000 + r);
      }
    }
    if (reg.endPass()) frees[i].fetch_add(1);
  }
  for (Releaser& me : releasers) {
    {
      std::lock_guard<std::mutex> lock(me.mutex);
      me.done = true;
    }
    me.wake.notify_one();
  }
  for (auto& th : threads) th.join();
  stop = true;
  bogus.join();
  int wrong = 0;
  for (int i = 0; i < kPayloads; ++i)
    if (frees[i].load() != 1) ++wrong;
  EXPECT_EQ(wrong, 0) << "payloads not freed exactly once";
  EXPECT_EQ(reg.payloadCount(), 0u);
}

}  // namespace
