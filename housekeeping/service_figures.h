// service_figures.h - what the running service counts about itself and its
// modules, for the status endpoint (app/status_endpoint.h) and Selvar-top.
//
// The counters are bumped where the work happens, on the threads that do it,
// with relaxed atomics: a figure read while it moves may be one step behind
// another, never torn. Nothing here takes a lock or changes what a module
// sees. Figures that only the dispatch thread writes are plain load+store
// pairs on a cache line of their own per module. Deliveries are counted per
// receiver list and credited to the modules and the sender when the
// dispatch thread turns to another list, at a timed event, and when the
// queue runs empty (RouteCache), so the delivery path itself stores nothing. Time inside Write and IOCTL
// is measured on the deliveries of one event in N per receiver list, N set
// by what the list's calls take (see FIGURES_TIMING_SHARE); busy time
// counts each timed call as many times as it stands for.
//
// describeService() builds the endpoint's JSON document; main thread only
// (the thread that alone changes the module table's shape).
#ifndef SELVAR_HOUSEKEEPING_SERVICE_FIGURES_H
#define SELVAR_HOUSEKEEPING_SERVICE_FIGURES_H

#include <atomic>
#include <cstdint>
#include <string>

// Timing a call reads the clock twice, which costs more than the rest of a
// fast delivery. So each receiver list times one event in N (a power of two)
// and N follows what the list's calls take: reading the clock stays under
// 1/FIGURES_TIMING_SHARE of the time spent in them, and N is at most
// FIGURES_SAMPLE_EVERY. Calls of a millisecond are all timed; calls of a few
// dozen nanoseconds, about one event in a thousand.
const uint32_t FIGURES_SAMPLE_EVERY = 4096;
const uint32_t FIGURES_TIMING_SHARE = 512;
// What timing one call costs (two clock reads and the call around them), in
// nanoseconds, as the sampling interval reckons it.
const uint32_t FIGURES_TIMING_COST_NS = 50;
// Result codes counted one by one: EVR_OK .. EVR_STOPPING at their own
// value, EVR_NO_MEMORY at the last index (index 2 has no code).
const uint32_t FIGURES_RESULT_CODES = 8;
// Submission counts are striped over this many cache lines, so that two
// threads submitting for one module do not pass a line back and forth.
const uint32_t FIGURES_STRIPES = 4;

// This thread's stripe (threads take them in turn as they first count).
extern __thread uint32_t g_figuresStripe __attribute__((tls_model("initial-exec")));
uint32_t takeFiguresStripe();
inline uint32_t figuresStripe() {
  return g_figuresStripe != 0 ? g_figuresStripe - 1 : takeFiguresStripe();
}

// Adds to a counter that only the calling thread writes: no atomic
// read-modify-write needed, readers see either value.
inline void addAsSoleWriter(std::atomic<uint64_t>& counter, uint64_t by) {
  counter.store(counter.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
}

struct ModuleFigures {
  // Dispatch thread only.
  struct alignas(64) Delivered {
    std::atomic<uint64_t> writes{0};
    std::atomic<uint64_t> ioctls{0};
    std::atomic<uint64_t> busyNs{0};         // timed calls, each times the calls it stands for
    std::atomic<uint64_t> longestCallNs{0};  // among timed deliveries
    std::atomic<uint64_t> keptMost{0};
    // Events this module sent that have been delivered: counted where they
    // are delivered, so that a submission pays nothing for its figures.
    std::atomic<uint64_t> sentDelivered{0};
  } delivered;
  // Any thread.
  alignas(64) std::atomic<int64_t> keptNow{0};  // may dip below 0 for an instant
  std::atomic<uint64_t> releases{0};
  std::atomic<uint64_t> foreignReleases{0};
  std::atomic<int64_t> readsRunning{0};
  // Refused submissions, rare: striped atomic counts by result code.
  struct alignas(64) Submitted {
    std::atomic<uint64_t> byResult[FIGURES_RESULT_CODES] = {};
  } submitted[FIGURES_STRIPES];

  // Events this module submitted with the result counted at index, all
  // stripes; for index 0 (EVR_OK), those accepted and already delivered.
  uint64_t submittedWith(uint32_t index) const {
    uint64_t total = index == 0 ? delivered.sentDelivered.load(std::memory_order_relaxed) : 0;
    for (const Submitted& stripe : submitted) total += stripe.byResult[index].load(std::memory_order_relaxed);
    return total;
  }

  // Dispatch thread: the module answered keep for one payload.
  void kept() {
    const int64_t now = keptNow.fetch_add(1, std::memory_order_relaxed) + 1;
    if (now > 0 && static_cast<uint64_t>(now) > delivered.keptMost.load(std::memory_order_relaxed))
      delivered.keptMost.store(static_cast<uint64_t>(now), std::memory_order_relaxed);
  }
  // A submission refused with result (accepted ones count as delivered).
  void countRefused(int result) {
    const uint32_t index = result >= 0 && static_cast<uint32_t>(result) < FIGURES_RESULT_CODES - 1
                               ? static_cast<uint32_t>(result)
                               : (result < 0 ? FIGURES_RESULT_CODES - 1 : 2);
    submitted[figuresStripe()].byResult[index].fetch_add(1, std::memory_order_relaxed);
  }
};

// Service-wide counters that have no other home.
struct ServiceCounters {
  // Accepted events are not counted apart: they are the delivered ones plus
  // those queued now, and a counter of their own would be one more line
  // for every submitter to take.
  alignas(64) std::atomic<uint64_t> eventsDelivered{0};  // dispatch thread, once per batch
  std::atomic<int64_t> requestsRunning{0};   // call threads
  std::atomic<uint64_t> clockJumps{0};       // scheduler thread
  std::atomic<uint64_t> heapBytes{0};        // scheduler thread: its last reading
  std::atomic<int64_t> startedMs{0};         // monotonic ms at start()
};

class ServiceCore;
// The status document: one JSON object, UTF-8 (docs/running-as-a-service.md,
// "Looking inside"). Main thread only.
std::string describeService(ServiceCore& core);

#endif  // SELVAR_HOUSEKEEPING_SERVICE_FIGURES_H
