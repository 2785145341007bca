// payload_tracker.h - counts the payload copies the service makes and frees.
//
// install() puts PayloadTracker::allocate in the allocation seam
// (g_payloadAllocator), so every payload copy is recorded. The program must be
// linked with -Wl,--wrap=free: every free() in the service library then passes
// through the tracker, which counts the first free of each recorded block and
// forgets it. When the service has stopped, allocated() == freed() means every
// payload was freed; AddressSanitizer adds that none was freed twice.
// Thread-safe; the hook allocates nothing.
#ifndef SELVAR_TESTS_STRESS_PAYLOAD_TRACKER_H
#define SELVAR_TESTS_STRESS_PAYLOAD_TRACKER_H

#include <cstddef>
#include <cstdint>

namespace selvar_test {

class PayloadTracker {
 public:
  // Installs the allocator. Call before any thread submits.
  static void install();
  // The seam's allocator: malloc, recorded; fails while failures are armed
  // on the calling thread.
  static void* allocate(size_t size);
  // The next `count` allocations on the calling thread fail.
  static void failOnThisThread(unsigned count);

  static uint64_t allocated();
  static uint64_t freed();
  static uint64_t failed();
  static uint64_t outstanding() { return allocated() - freed(); }
  // Whether block is a recorded payload that has not been freed yet.
  static bool isLive(const void* block);
};

}  // namespace selvar_test

#endif  // SELVAR_TESTS_STRESS_PAYLOAD_TRACKER_H
