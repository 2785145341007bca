// Semaphores, triggers, sleep and thread identity on POSIX threads.
#include "compat/pt.h"

#include <errno.h>
#include <time.h>

#include "compat/monotonic_clock.h"
#include "core/scoped_lock.h"

namespace pt {
waitable::waitable() {
  pthread_mutex_init(&mtx, nullptr);
  initMonotonicCond(&cond);
}

waitable::~waitable() {
  pthread_cond_destroy(&cond);
  pthread_mutex_destroy(&mtx);
}

bool waitable::waitUntil(ScopedLock& lock, const timespec& deadline) {
  return pthread_cond_timedwait(&cond, lock.mutex(), &deadline) != ETIMEDOUT;
}

semaphore::semaphore(int initvalue) : count(initvalue) {}

void semaphore::wait() {
  ScopedLock lock(&mtx);
  while (count <= 0) pthread_cond_wait(&cond, lock.mutex());
  --count;
}

void semaphore::post() {
  {
    ScopedLock lock(&mtx);
    ++count;
  }
  // Signalled after the unlock: the woken waiter does not run straight into
  // the mutex this thread still holds (one wake-up instead of two). Waiters
  // test the count under the mutex, so none can miss the post.
  pthread_cond_signal(&cond);
}

timedsem::timedsem(int initvalue) : semaphore(initvalue) {}

bool timedsem::wait(int msecs) {
  if (msecs < 0) {
    semaphore::wait();
    return true;
  }
  const timespec deadline = deadlineAfter(msecs);
  ScopedLock lock(&mtx);
  while (count <= 0) {
    if (!waitUntil(lock, deadline) && count <= 0) return false;
  }
  --count;
  return true;
}

trigger::trigger(bool autoreset_, bool state_) : state(state_), autoreset(autoreset_) {}

void trigger::wait() {
  ScopedLock lock(&mtx);
  while (!state) pthread_cond_wait(&cond, lock.mutex());
  if (autoreset) state = false;
}

bool trigger::wait(int msecs) {
  if (msecs < 0) {
    wait();
    return true;
  }
  const timespec deadline = deadlineAfter(msecs);
  ScopedLock lock(&mtx);
  while (!state) {
    if (!waitUntil(lock, deadline) && !state) return false;
  }
  if (autoreset) state = false;
  return true;
}

void trigger::post() {
  {
    ScopedLock lock(&mtx);
    state = true;
  }
  // After the unlock, as in semaphore::post. An auto-reset trigger lets one
  // waiter through; a manual one lets all.
  if (autoreset)
    pthread_cond_signal(&cond);
  else
    pthread_cond_broadcast(&cond);
}

void trigger::reset() {
  ScopedLock lock(&mtx);
  state = false;
}

void psleep(unsigned milliseconds) {
  timespec ts;
  ts.tv_sec = milliseconds / 1000;
  ts.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
  }
}

bool pthrequal(pthread_t id) { return pthread_equal(id, pthread_self()) != 0; }

}  // namespace pt
