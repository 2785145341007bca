// payload_tracker.cpp - the allocation seam's recorder and the free() wrapper.
#include "tests/stress/payload_tracker.h"

#include <atomic>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <unordered_set>

#include "core/payload_alloc.h"

extern "C" void __real_free(void* block);
extern "C" void __wrap_free(void* block);

namespace selvar_test {
namespace {

const size_t kShards = 64;

struct Shard {
  std::mutex lock;
  std::unordered_set<const void*> live;
};

Shard* shards() {
  // Never destroyed: threads of a service that was not stopped may still free
  // payloads while the program exits.
  static Shard* all = new Shard[kShards];
  return all;
}

Shard& shardOf(const void* block) { return shards()[std::hash<const void*>()(block) % kShards]; }

std::atomic<uint64_t> g_allocated{0};
std::atomic<uint64_t> g_freed{0};
std::atomic<uint64_t> g_failed{0};
thread_local unsigned t_failures = 0;

}  // namespace

void PayloadTracker::install() {
  shards();
  g_payloadAllocator = &PayloadTracker::allocate;
}

void* PayloadTracker::allocate(size_t size) {
  if (t_failures > 0) {
    --t_failures;
    g_failed.fetch_add(1);
    return nullptr;
  }
  void* block = malloc(size);
  if (block == nullptr) return nullptr;
  Shard& shard = shardOf(block);
  {
    std::lock_guard<std::mutex> hold(shard.lock);
    shard.live.insert(block);
  }
  g_allocated.fetch_add(1);
  return block;
}

void PayloadTracker::failOnThisThread(unsigned count) { t_failures = count; }

uint64_t PayloadTracker::allocated() { return g_allocated.load(); }
uint64_t PayloadTracker::freed() { return g_freed.load(); }
uint64_t PayloadTracker::failed() { return g_failed.load(); }

bool PayloadTracker::isLive(const void* block) {
  Shard& shard = shardOf(block);
  std::lock_guard<std::mutex> hold(shard.lock);
  return shard.live.count(block) != 0;
}

}  // namespace selvar_test

// Every free() of the service library comes here (-Wl,--wrap=free). The
// block is forgotten before it is really freed, so an address the allocator
// hands out again is recorded afresh.
extern "C" void __wrap_free(void* block) {
  if (block != nullptr) {
    selvar_test::Shard& shard = selvar_test::shardOf(block);
    bool wasPayload;
    {
      std::lock_guard<std::mutex> hold(shard.lock);
      wasPayload = shard.live.erase(block) != 0;
    }
    if (wasPayload) selvar_test::g_freed.fetch_add(1);
  }
  __real_free(block);
}
