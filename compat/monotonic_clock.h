// monotonic_clock.h - the one clock the service measures time and deadlines
// with: CLOCK_MONOTONIC, which a change of the wall clock leaves alone.
//
// Header-only; any thread. Condition variables that wait with a deadline
// from deadlineAfter() must be set up by initMonotonicCond().
#ifndef SELVAR_COMPAT_MONOTONIC_CLOCK_H
#define SELVAR_COMPAT_MONOTONIC_CLOCK_H

#include <pthread.h>
#include <time.h>

#include <cstdint>

inline uint64_t monotonicNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

inline int64_t monotonicMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The same clock at the resolution of the scheduler tick (a few ms), about
// five times cheaper to read: for time stamps, not for measuring.
inline int64_t monotonicCoarseMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The absolute deadline msecs (0 or more) from now, for
// pthread_cond_timedwait on a condition set up by initMonotonicCond().
inline timespec deadlineAfter(int msecs) {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  ts.tv_sec += msecs / 1000;
  ts.tv_nsec += static_cast<long>(msecs % 1000) * 1000000L;
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_sec += 1;
    ts.tv_nsec -= 1000000000L;
  }
  return ts;
}

inline void initMonotonicCond(pthread_cond_t* cond) {
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(cond, &attr);
  pthread_condattr_destroy(&attr);
}

#endif  // SELVAR_COMPAT_MONOTONIC_CLOCK_H
