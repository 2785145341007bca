// The status document: the counters of housekeeping/service_figures.h and
// the live state of the queue, the hold registry and the wait registry, as
// one JSON object.
#include "housekeeping/service_figures.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "compat/monotonic_clock.h"
#include "core/scoped_lock.h"
#include "core/service_core.h"
#include "housekeeping/scheduler_environment.h"

namespace {

using nlohmann::json;

// Names of the counted result codes, by index (see countRefused).
const char* const RESULT_NAMES[FIGURES_RESULT_CODES] = {
    "EVR_OK",   "EVR_HANDLE_REFUSED", "other", "EVR_UNREGISTERED",
    "EVR_LIMIT", "EVR_THROTTLED",     "EVR_STOPPING", "EVR_NO_MEMORY",
};

uint64_t atLeastZero(int64_t value) { return value > 0 ? static_cast<uint64_t>(value) : 0; }

std::atomic<uint32_t> g_stripesTaken{0};

}  // namespace

__thread uint32_t g_figuresStripe = 0;

uint32_t takeFiguresStripe() {
  const uint32_t stripe = g_stripesTaken.fetch_add(1, std::memory_order_relaxed) % FIGURES_STRIPES;
  g_figuresStripe = stripe + 1;
  return stripe;
}

std::string describeService(ServiceCore& core) {
  const int64_t now = monotonicCoarseMs();
  // Copied under the registries' own locks, which are dropped before
  // anything is built.
  const std::vector<std::pair<unsigned long, int64_t>> oldest = core.bufferRegistry.oldestHolds();
  std::vector<std::pair<unsigned long, unsigned long>> sources;
  {
    ScopedLock lock(&core.idLock);
    sources.assign(core.idTable.begin(), core.idTable.end());
  }

  json modules = json::array();
  uint64_t busyNs = 0;
  int64_t readsRunning = 0;
  for (const _PlugInInfo& info : core.modules) {
    const ModuleFigures& figures = *info.figures;
    const ModuleFigures::Delivered& delivered = figures.delivered;
    int64_t oldestMs = 0;
    for (const auto& hold : oldest)
      if (hold.first == info.moduleId()) oldestMs = std::max<int64_t>(0, now - hold.second);
    json submitted = json::object();
    for (uint32_t index = 0; index < FIGURES_RESULT_CODES; ++index) {
      const uint64_t count = figures.submittedWith(index);
      if (count != 0) submitted[RESULT_NAMES[index]] = count;
    }
    const int64_t reads = figures.readsRunning.load(std::memory_order_relaxed);
    busyNs += delivered.busyNs.load(std::memory_order_relaxed);
    readsRunning += reads;
    modules.push_back({
        {"file", std::string(info.fileName.utf8_str())},
        {"id", info.moduleId()},
        {"writes", delivered.writes.load(std::memory_order_relaxed)},
        {"ioctls", delivered.ioctls.load(std::memory_order_relaxed)},
        {"busyNs", delivered.busyNs.load(std::memory_order_relaxed)},
        {"longestCallNs", delivered.longestCallNs.load(std::memory_order_relaxed)},
        {"keptNow", atLeastZero(figures.keptNow.load(std::memory_order_relaxed))},
        {"keptMost", delivered.keptMost.load(std::memory_order_relaxed)},
        {"oldestKeptMs", oldestMs},
        {"releases", figures.releases.load(std::memory_order_relaxed)},
        {"foreignReleases", figures.foreignReleases.load(std::memory_order_relaxed)},
        {"submitted", submitted},
        {"readsRunning", atLeastZero(reads)},
    });
  }

  json counted = json::array();
  for (const auto& source : sources) {
    const unsigned long left = source.second < COUNTED_EVENT_LIMIT ? COUNTED_EVENT_LIMIT - source.second : 0;
    counted.push_back({{"id", source.first}, {"allowanceLeft", left}});
  }
  const ServiceCounters& counters = core.counters;
  // Two readings of moving figures: while events flow, an event delivered
  // between them may be counted in both.
  const uint64_t queued = core.queueBudget.records();
  const uint64_t delivered = counters.eventsDelivered.load(std::memory_order_relaxed);
  const int64_t started = counters.startedMs.load(std::memory_order_relaxed);
  const json document = {
      {"schema", 1},
      {"pid", static_cast<int64_t>(getpid())},
      {"uptimeMs", started != 0 ? atLeastZero(now - started) : 0},
      {"sampleEvery", FIGURES_SAMPLE_EVERY},
      {"service",
       {
           {"eventsAccepted", delivered + queued},
           {"eventsDelivered", delivered},
           {"queueLength", queued},
           {"queueHighWater", core.queueBudget.highWater()},
           {"payloadBytesHeld", core.queueBudget.bytes() + core.bufferRegistry.keptBytes()},
           {"providersWaiting", core.waitRegistry.waitingProviders()},
           {"requestsRunning", atLeastZero(readsRunning)},
           {"countedSources", counted},
           {"heapBytes", counters.heapBytes.load(std::memory_order_relaxed)},
           {"heapLimitBytes", MEMORY_LIMIT_BYTES},
           {"throttling", core.throttling.load(std::memory_order_relaxed)},
           {"clockJumps", counters.clockJumps.load(std::memory_order_relaxed)},
           {"dispatchBusyNs", busyNs},
       }},
      {"modules", modules},
  };
  // A file name that is no valid UTF-8 must not cost the whole document.
  return document.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}
