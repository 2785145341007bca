#include "pluginhost/call_tracker.h"

#include <errno.h>
#include <time.h>

#include "core/scoped_lock.h"

CallTracker::CallTracker() {
  pthread_mutex_init(&mutex, nullptr);
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&idle, &attr);
  pthread_condattr_destroy(&attr);
}

CallTracker::~CallTracker() {
  pthread_cond_destroy(&idle);
  pthread_mutex_destroy(&mutex);
}

void CallTracker::enter(const void* module) {
  ScopedLock lock(&mutex);
  ++live[module];
}

void CallTracker::leave(const void* module) {
  ScopedLock lock(&mutex);
  auto it = live.find(module);
  if (it == live.end()) return;
  if (--it->second <= 0) live.erase(it);
  pthread_cond_broadcast(&idle);
}

bool CallTracker::waitIdle(const void* module, int timeoutMs) {
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  if (timeoutMs > 0) {
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
  }
  ScopedLock lock(&mutex);
  while (live.count(module) != 0) {
    if (timeoutMs < 0) {
      pthread_cond_wait(&idle, lock.mutex());
    } else if (pthread_cond_timedwait(&idle, lock.mutex(), &deadline) == ETIMEDOUT) {
      return live.count(module) == 0;
    }
  }
  return true;
}

int CallTracker::liveCalls(const void* module) {
  ScopedLock lock(&mutex);
  auto it = live.find(module);
  return it == live.end() ? 0 : it->second;
}

int CallTracker::liveCallsTotal() {
  ScopedLock lock(&mutex);
  int total = 0;
  for (auto& entry : live) total += entry.second;
  return total;
}
