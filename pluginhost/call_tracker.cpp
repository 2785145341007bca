#include "pluginhost/call_tracker.h"

#include <errno.h>
#include <time.h>

#include "compat/monotonic_clock.h"
#include "core/scoped_lock.h"

struct CallTracker::Shared {
  PthreadMutex mutex;
  pthread_cond_t idle;    // broadcast when a count or pins drop
  std::map<const void*, int> live GUARDED_BY(mutex);
  int references GUARDED_BY(mutex) = 1;  // the tracker's own, plus one per live call
  bool ownerGone GUARDED_BY(mutex) = false;
  int pins GUARDED_BY(mutex) = 0;
};

namespace {

void destroy(CallTracker::Shared* shared) {
  pthread_cond_destroy(&shared->idle);
  pthread_mutex_destroy(&shared->mutex);
  delete shared;
}

}  // namespace

CallTracker::CallTracker() : shared_(new Shared) {
  pthread_mutex_init(&shared_->mutex, nullptr);
  initMonotonicCond(&shared_->idle);
}

CallTracker::~CallTracker() {
  bool last = false;
  {
    ScopedLock lock(&shared_->mutex);
    shared_->ownerGone = true;
    while (shared_->pins > 0) pthread_cond_wait(&shared_->idle, lock.mutex());
    last = --shared_->references == 0;
  }
  if (last) destroy(shared_);
}

void CallTracker::enter(const void* library) {
  ScopedLock lock(&shared_->mutex);
  ++shared_->live[library];
  ++shared_->references;
}

void CallTracker::leave(Shared* shared, const void* library) {
  bool last = false;
  {
    ScopedLock lock(&shared->mutex);
    auto it = shared->live.find(library);
    if (it == shared->live.end()) return;
    if (--it->second <= 0) shared->live.erase(it);
    last = --shared->references == 0;
    pthread_cond_broadcast(&shared->idle);
  }
  if (last) destroy(shared);
}

bool CallTracker::pinOwner(Shared* shared) {
  ScopedLock lock(&shared->mutex);
  if (shared->ownerGone) return false;
  ++shared->pins;
  return true;
}

void CallTracker::unpinOwner(Shared* shared) {
  ScopedLock lock(&shared->mutex);
  if (--shared->pins == 0) pthread_cond_broadcast(&shared->idle);
}

bool CallTracker::waitIdle(const void* library, int timeoutMs) {
  const timespec deadline = deadlineAfter(timeoutMs > 0 ? timeoutMs : 0);
  ScopedLock lock(&shared_->mutex);
  while (shared_->live.count(library) != 0) {
    if (timeoutMs < 0) {
      pthread_cond_wait(&shared_->idle, lock.mutex());
    } else if (pthread_cond_timedwait(&shared_->idle, lock.mutex(), &deadline) == ETIMEDOUT) {
      return shared_->live.count(library) == 0;
    }
  }
  return true;
}

int CallTracker::liveCalls(const void* library) {
  ScopedLock lock(&shared_->mutex);
  auto it = shared_->live.find(library);
  return it == shared_->live.end() ? 0 : it->second;
}

int CallTracker::liveCallsTotal() {
  ScopedLock lock(&shared_->mutex);
  int total = 0;
  for (auto& entry : shared_->live) total += entry.second;
  return total;
}
