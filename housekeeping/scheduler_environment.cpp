#include "housekeeping/scheduler_environment.h"

#include <malloc.h>
#include <time.h>

int32_t SchedulerEnvironment::now() { return static_cast<int32_t>(time(nullptr)); }

uint64_t SchedulerEnvironment::usedHeapBytes() {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
  const struct mallinfo2 info = mallinfo2();
#else
  const struct mallinfo info = mallinfo();
#endif
  // Summed in 64 bits: two 32-bit fields can overflow their own width.
  return static_cast<uint64_t>(info.hblkhd) + static_cast<uint64_t>(info.uordblks);
}

SchedulerEnvironment* SchedulerEnvironment::system() {
  static SchedulerEnvironment instance;
  return &instance;
}
