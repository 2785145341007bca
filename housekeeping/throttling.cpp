// The memory watch's state machine: the throttling flag follows every sample,
// notices and state documents mark whole episodes.
#include "core/service_core.h"
#include "housekeeping/scheduler_environment.h"

void ServiceCore::updateThrottling(bool overLimit, int32_t now) {
  throttling.store(overLimit, std::memory_order_relaxed);
  if (overLimit) {
    if (lowMemorySince == 0) {
      postNotice("available system memory is low, throttling video");
      postMemoryState(now);
    }
    lowMemorySince = now;
    return;
  }
  if (lowMemorySince != 0 && static_cast<int32_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(lowMemorySince)) > MEMORY_HYSTERESIS_S) {
    postNotice("available system memory ok, not throttling video");
    postMemoryState(lowMemorySince);
    lowMemorySince = 0;
  }
}
