// scheduler_environment.h - where the scheduler takes time, heap use and its
// pass waits from.
//
// The service uses the system's; tests substitute their own to drive
// clock jumps and memory episodes in milliseconds. Called only on the
// scheduler thread.
#ifndef SELVAR_HOUSEKEEPING_SCHEDULER_ENVIRONMENT_H
#define SELVAR_HOUSEKEEPING_SCHEDULER_ENVIRONMENT_H

#include <cstdint>

#include "compat/pt.h"

class SchedulerEnvironment {
 public:
  virtual ~SchedulerEnvironment() = default;

  // Waits before a pass: up to msecs on the thread's relax semaphore, which
  // the thread's stop request posts.
  virtual void waitPass(pt::timedsem& relax, int msecs) { relax.wait(msecs); }
  // Seconds since the epoch, as a 32-bit time value.
  virtual int32_t now();
  // The service's heap use in bytes: mapped blocks plus allocated bytes.
  // 64 bits on every target: a 64-bit service may use more than 4 GiB.
  virtual uint64_t usedHeapBytes();

  // The shared instance backed by the system.
  static SchedulerEnvironment* system();
};

// Heap above this many bytes (190 MiB) is over the limit.
const uint64_t MEMORY_LIMIT_BYTES = 0x0BE00000u;
// An episode ends at the first sample under the limit taken more than this
// many seconds after the latest over-limit sample.
const int32_t MEMORY_HYSTERESIS_S = 59;

#endif  // SELVAR_HOUSEKEEPING_SCHEDULER_ENVIRONMENT_H
