#include "core/buffer_registry.h"

#include "core/scoped_lock.h"

BufferRegistry::BufferRegistry() { pthread_mutex_init(&mutex, nullptr); }

BufferRegistry::~BufferRegistry() { pthread_mutex_destroy(&mutex); }

void BufferRegistry::addHold(char* payload, unsigned long holder) {
  if (payload == nullptr) return;
  ScopedLock lock(&mutex);
  holds.emplace(payload, holder);
}

bool BufferRegistry::releaseHold(char* payload, unsigned long holder) {
  if (payload == nullptr) return true;
  ScopedLock lock(&mutex);
  auto range = holds.equal_range(payload);
  bool removed = false;
  for (auto it = range.first; it != range.second;) {
    if (it->second == holder) {
      it = holds.erase(it);
      removed = true;
    } else {
      ++it;
    }
  }
  // Without a hold of this holder the pointer is not ours to free: a stale or
  // foreign pointer must never reach free().
  return removed && holds.find(payload) == holds.end();
}

size_t BufferRegistry::holdCount(char* payload) {
  ScopedLock lock(&mutex);
  return holds.count(payload);
}
