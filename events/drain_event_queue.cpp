// The dispatch thread's pass over the queue: take the queued events in one
// step, choose each one's receivers (from the cached receiver lists),
// deliver, and free each payload when its last hold is released.
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "compat/monotonic_clock.h"
#include "core/scoped_lock.h"
#include "core/service_core.h"
#include "pluginhost/call_blocks.h"
#include "pluginhost/module_calls.h"

namespace {

// Ring slots the dispatch thread's batch keeps between bursts (192 bytes
// each on LP64: 768 KiB at most, and only the slots a burst used are ever
// touched). A longer burst's storage is given back once it is delivered.
const size_t kBatchSlotsKept = 4096;

// Coalescing. Each look at the queue is a lock step the submitters wait
// for, and a batch swapped away leaves them a ring the dispatch thread's
// cache holds: while a stream of cheap events runs, a thread that looks
// again the moment it is done takes a handful of events per look, and every
// submitter pays for each look. So within a stream (a batch that is not the
// first since the thread woke) a short batch is followed by a short pause,
// on the CPU and touching nothing the submitters write, and the next look
// takes more at once. A long batch means the thread is behind: it looks
// again at once. Sparse events (one batch per wake-up) never wait, and a
// stream's end costs one pause. Only with more than one CPU: on one, the
// pause would only keep the submitters from running.
const size_t kCoalesceBelow = 256;  // events in a batch
const uint64_t kCoalesceNs = 2000;  // the pause

inline void cpuRelax() {
#if defined(__i386__) || defined(__x86_64__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  __asm__ __volatile__("yield");
#endif
}

// Out of line: waiting, not work, and kept apart from the drain's own code.
__attribute__((noinline)) void coalescePause() {
  static const bool severalCpus = sysconf(_SC_NPROCESSORS_ONLN) > 1;
  if (!severalCpus) return;
  const uint64_t until = monotonicNs() + kCoalesceNs;
  while (monotonicNs() < until) cpuRelax();
}

// Queued delivery matches the class with its top byte shifted left; bit 31
// falls away.
uint32_t deliveryPattern(uint32_t eventClass) {
  return (eventClass & 0x00FFFFFFu) | ((eventClass & 0xFF000000u) << 1);
}

// One call of a receiver's entry, seen by the hung-module watch.
inline void callReceiver(const _PlugInInfo& info, PluginEntryPoint entry, const char* name, void* in, void* out) {
  DispatchCallScope call(info.library, name);
  entry(in, out);
}

// The same call, timed: it stands for the sampleEvery deliveries up to its
// list's next timed event (see RouteCache). Out of line, so that the
// untimed path stays a test and a call.
// Returns what the call took.
__attribute__((noinline)) uint64_t timedCallReceiver(ModuleFigures::Delivered& figures, uint32_t sampleEvery,
                                                     const _PlugInInfo& info, PluginEntryPoint entry,
                                                     const char* name, void* in, void* out) {
  const uint64_t begin = monotonicNs();
  callReceiver(info, entry, name, in, out);
  const uint64_t took = monotonicNs() - begin;
  addAsSoleWriter(figures.busyNs, took * sampleEvery);
  if (took > figures.longestCallNs.load(std::memory_order_relaxed))
    figures.longestCallNs.store(took, std::memory_order_relaxed);
  return took;
}

// timedEvery: 0 for an untimed delivery, else the calls a timed one stands
// for; a timed one adds what it took to *timedNs.
inline void deliver(const Route& route, const char* name, void* in, void* out, uint32_t timedEvery,
                    uint64_t* timedNs) {
  if (__builtin_expect(timedEvery != 0, 0))
    *timedNs += timedCallReceiver(*route.figures, timedEvery, *route.info, route.entry, name, in, out);
  else
    callReceiver(*route.info, route.entry, name, in, out);
}

// Delivers through IOCTL code 2 or 3. Returns the receiver's keep word.
__attribute__((always_inline)) inline uint32_t deliverIoctl(const Route& route, const _EventParmsIn& event,
                                                            uint32_t timedEvery, uint64_t* timedNs) {
  const uint32_t code = route.code;
  _IOCTLParmsIn in;
  _IOCTLParmsOut out;
  initCallBlock(&in);
  initCallBlock(&out);
  in.code = code;
  in.argSize = 16;
  in.argVersion = 1;
  in.dataSize = event.dataSize;
  in.data = event.data;
  out.code = code;
  out.argSize = 8;
  out.argVersion = 1;
  deliver(route, "IOCTL", &in, &out, timedEvery, timedNs);
  return out.keep;
}

// Delivers through Write. Returns the receiver's keep word.
__attribute__((always_inline)) inline uint32_t deliverWrite(const Route& route, const _EventParmsIn& event,
                                                            uint32_t timedEvery, uint64_t* timedNs) {
  _WriteParmsIn in;
  _WriteParmsOut out;
  initCallBlock(&in);
  initCallBlock(&out);
  copyEventFields(&in, event);
  deliver(route, "Write", &in, &out, timedEvery, timedNs);
  return out.keep;
}

// The core whose drain runs on this thread: events its deliveries submit
// are the only ones the stop's last drain still takes.
thread_local const ServiceCore* g_drainingCore = nullptr;

}  // namespace

bool ServiceCore::onDispatchThread() const { return g_drainingCore == this; }

void ServiceCore::drainEventQueue() {
  g_drainingCore = this;
  bool inStream = false;  // a batch was delivered since the wake-up
  for (;;) {
    {
      // Everything queued so far, in one step; submitters go on filling the
      // (empty) ring the batch came from.
      ScopedLock lock(&queueMutex);
      if (eventQueue.empty()) {
        // The figures are brought up to date before the thread waits (a
        // few counter stores; no module is called).
        routeCache.fold();
        // The next push wakes the thread again.
        dispatchIdle = true;
        return;
      }
      eventQueue.swap(dispatchBatch);
    }
    routeCache.useTable(modules);
    uint64_t delivered = 0;
    while (!dispatchBatch.empty()) {
      deliverEvent(dispatchBatch.front());
      dispatchBatch.pop();
      ++delivered;
    }
    addAsSoleWriter(counters.eventsDelivered, delivered);
    // A burst's storage is not kept for ever.
    dispatchBatch.trim(kBatchSlotsKept);
    if (inStream && delivered < kCoalesceBelow) coalescePause();
    inStream = true;
  }
}

// kTimed: a timed event (the loop is compiled twice, so that an untimed
// delivery pays no test for it); its calls each stand for timedEvery.
// Returns the time the timed calls took.
template <bool kTimed>
__attribute__((always_inline)) inline uint64_t ServiceCore::deliverPass(const _EventParmsIn& event, Route* routes,
                                                                        size_t count, uint32_t timedEvery) {
  char* payload = static_cast<char*>(event.data);
  uint64_t timedNs = 0;
  // The dispatch thread holds the payload for the whole pass, even if every
  // receiver releases it at once.
  if (payload != nullptr) bufferRegistry.beginPass(payload, event.dataSize);
  bool passEnded = false;
  bool lastHold = false;
  for (size_t i = 0; i < count; ++i) {
    Route& route = routes[i];
    // No lock for a receiver that does not keep the payload; one short step
    // for one that does (which also ends the pass after the last receiver).
    if (payload != nullptr) bufferRegistry.offer(route.moduleId);
    const uint32_t keep = route.code != 0 ? deliverIoctl(route, event, kTimed ? timedEvery : 0, &timedNs)
                                          : deliverWrite(route, event, kTimed ? timedEvery : 0, &timedNs);
    if (keep == 0 || payload == nullptr) continue;
    bool recorded;
    if (i + 1 == count) {
      lastHold = bufferRegistry.keepAndEndPass(route.moduleId, &recorded);
      passEnded = true;
    } else {
      recorded = bufferRegistry.keep(route.moduleId);
    }
    // A receiver that gave the payload back during its call keeps nothing.
    if (recorded) route.info->figures->kept();
  }
  if (payload == nullptr) return timedNs;
  if (!passEnded) lastHold = bufferRegistry.endPass();
  if (lastHold) freeReleasedPayload(payload);
  return timedNs;
}

void ServiceCore::deliverEvent(const _EventParmsIn& event) {
  size_t count = 0;
  bool timed = false;
  Route* routes =
      routeCache.routes(modules, event.flags, deliveryPattern(event.eventClass), event.sourceId, &count, &timed);
  if (__builtin_expect(timed, 0))
    deliverTimed(event, routes, count);
  else
    deliverPass<false>(event, routes, count, 0);
}

// Rare: kept out of line, so that deliverEvent stays small.
__attribute__((noinline)) void ServiceCore::deliverTimed(const _EventParmsIn& event, Route* routes, size_t count) {
  routeCache.retune(deliverPass<true>(event, routes, count, routeCache.timedEvery()), count);
}
