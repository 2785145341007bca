// The service under load from all sides at once, then stopped in the middle
// of it.
//
// Four copies of stress_module.so (two of them providers) each run submitting
// threads: events with ID-stamped payloads to all, to the others and to one
// module, counted streams across their allowance, requests stopped at once or
// a little later, events without payload, releases of pointers never handed
// out; receivers keep a third of their payloads and give them back (some
// twice) a few milliseconds later. The run has two phases:
//   1. load for SELVAR_STRESS_SECONDS (default 5), then a pause: once every
//      thread is idle and every payload given back, each event the service
//      accepted must have reached exactly the modules its routing names, once;
//   2. load again, with one more thread (in copy 1) that floods the service
//      without ever pausing, from Open until Unload; the service is stopped
//      while the modules still submit. The stop must end within
//      kStopBound (it runs on a thread of its own, aborted after 60 s), the
//      queue must stay within its limits, and everything the service
//      accepted, in any phase, must have reached its receivers exactly once.
// After the stop: no payload was delivered twice to a module or delivered
// although refused, every kept payload was given back once and was unchanged
// until then, and every payload copy the service made was freed (counted
// through the allocation seam and a wrapped free(); AddressSanitizer builds
// add that none was freed twice or read after its free).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/scoped_lock.h"
#include "core/service_core.h"
#include "tests/stress/payload_tracker.h"
#include "tests/stress/stress_module.h"
#include "tests/support/core_test_support.h"

namespace fs = std::filesystem;
using selvar_test::PayloadTracker;
using selvar_test::QuietHeap;
using selvar_test::ScopedWorkdir;

namespace {

const uint32_t kModules = 4;
const uint32_t kSubmittersPerModule = 2;
const std::chrono::seconds kStopTimeout(60);
// The stop's own work: the last drain (at most a full queue plus what its
// deliveries add), joining two threads, the modules' Close and Unload.
const double kStopBoundSeconds = 10.0;
// Resident memory the flood may add beyond a full queue: the modules' own
// records of every event, the allocator's headers and (under
// AddressSanitizer) redzones and a quarantine of freed blocks.
const long kResidentMarginKiB = 160 * 1024;
const std::chrono::seconds kSettleTimeout(30);

#if defined(__SANITIZE_ADDRESS__)
const bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
const bool kAddressSanitizer = true;
#else
const bool kAddressSanitizer = false;
#endif
#else
const bool kAddressSanitizer = false;
#endif

long residentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.compare(0, 6, "VmRSS:") == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

struct StressCopy {
  void* handle = nullptr;
  uint32_t id = 0;
  StressSetRunningFn setRunning = nullptr;
  StressSetPhaseFn setPhase = nullptr;
  StressBusyFn busy = nullptr;
  StressKeptNowFn keptNow = nullptr;
  StressCountsFn counts = nullptr;
  StressRecordsFn records = nullptr;
  StressFirstAnomalyFn firstAnomaly = nullptr;
};

template <typename T>
T symbol(void* handle, const char* name) {
  return reinterpret_cast<T>(dlsym(handle, name));
}

std::string stressModulePath() {
  if (const char* chosen = std::getenv("SELVAR_STRESS_MODULE")) return chosen;
#ifdef SELVAR_STRESS_MODULE
  return SELVAR_STRESS_MODULE;
#else
  return (fs::read_symlink("/proc/self/exe").parent_path() / "stress_module.so").string();
#endif
}

int stressSeconds() {
  const char* chosen = std::getenv("SELVAR_STRESS_SECONDS");
  const int seconds = chosen != nullptr ? std::atoi(chosen) : 5;
  return seconds > 0 ? seconds : 5;
}

bool waitFor(const std::function<bool()>& condition, std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class ServiceStress : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.ok());
    PayloadTracker::install();
    fs::create_directory(dir.path() / "plugins");
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                    fs::perms::others_read | fs::perms::others_exec);
    const std::string source = stressModulePath();
    ASSERT_TRUE(fs::exists(source)) << source;
    for (uint32_t i = 0; i < kModules; ++i) {
      const fs::path path = dir.path() / "plugins" / ("stress" + std::to_string(i) + ".so");
      fs::copy_file(source, path);
      fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
      StressCopy& copy = copies[i];
      copy.handle = dlopen(path.c_str(), RTLD_NOW);
      ASSERT_NE(copy.handle, nullptr) << dlerror();
      StressSetup setup = {};
      setup.index = i;
      setup.moduleCount = kModules;
      setup.submitters = kSubmittersPerModule;
      setup.provider = i % 2 == 0;
      // Without AddressSanitizer's quarantine a block given back twice could
      // already hold a newer payload kept by the same module.
      setup.doubleRelease = kAddressSanitizer;
      setup.seed = 20240 + i;
      setup.flood = i == 1;
      symbol<StressConfigureFn>(copy.handle, "StressConfigure")(&setup);
      copy.id = symbol<StressModuleIdFn>(copy.handle, "StressModuleId")(i);
      copy.setRunning = symbol<StressSetRunningFn>(copy.handle, "StressSetRunning");
      copy.setPhase = symbol<StressSetPhaseFn>(copy.handle, "StressSetPhase");
      copy.busy = symbol<StressBusyFn>(copy.handle, "StressBusy");
      copy.keptNow = symbol<StressKeptNowFn>(copy.handle, "StressKeptNow");
      copy.counts = symbol<StressCountsFn>(copy.handle, "StressGetCounts");
      copy.records = symbol<StressRecordsFn>(copy.handle, "StressRecords");
      copy.firstAnomaly = symbol<StressFirstAnomalyFn>(copy.handle, "StressFirstAnomaly");
      ASSERT_TRUE(copy.setRunning && copy.setPhase && copy.busy && copy.keptNow && copy.counts && copy.records &&
                  copy.firstAnomaly);
    }
  }

  void TearDown() override {
    // The copies stay mapped (their records are read after the service's unload).
    if (core && !stopped) core->stop();
    core.reset();
  }

  void setRunning(bool running) {
    for (StressCopy& copy : copies) copy.setRunning(running ? 1 : 0);
  }
  void setPhase(uint8_t phase) {
    for (StressCopy& copy : copies) copy.setPhase(phase);
  }

  size_t queued() {
    ScopedLock lock(&core->queueMutex);
    return core->eventQueue.size();
  }

  // Everything idle: no submitter or Read busy, nothing kept, queue empty, no
  // call thread left.
  bool settled() {
    for (StressCopy& copy : copies)
      if (copy.busy() != 0 || copy.keptNow() != 0) return false;
    return core->undeliveredEvents() == 0 && core->callTracker.liveCallsTotal() == 0;
  }

  ScopedWorkdir dir;
  StressCopy copies[kModules];
  QuietHeap quiet;
  std::unique_ptr<ServiceCore> core;
  bool stopped = false;
};

// Deliveries per (module, payload) of records of one kind.
using PerModule = std::vector<std::map<uint64_t, int>>;

struct RoutingCheck {
  uint64_t checked = 0, missing = 0, unexpected = 0;
  std::string firstProblem;
};

// Every event the service accepted (of one phase, or of all: 0) against the
// deliveries its routing names: each receiver once, nobody else.
RoutingCheck checkRouting(const StressCopy* copies, uint8_t phase) {
  PerModule delivered(kModules);
  for (uint32_t m = 0; m < kModules; ++m) {
    size_t n = 0;
    const StressRecord* records = copies[m].records(&n);
    for (size_t i = 0; i < n; ++i)
      if (records[i].kind == STRESS_DELIVERED) ++delivered[m][records[i].id];
  }
  RoutingCheck check;
  for (uint32_t sender = 0; sender < kModules; ++sender) {
    size_t n = 0;
    const StressRecord* records = copies[sender].records(&n);
    for (size_t i = 0; i < n; ++i) {
      const StressRecord& r = records[i];
      if (r.kind != STRESS_SUBMITTED || (phase != 0 && r.phase != phase)) continue;
      ++check.checked;
      for (uint32_t m = 0; m < kModules; ++m) {
        int expected = 1;
        if (r.routing == STRESS_TO_OTHERS && m == sender) expected = 0;
        if (r.routing == STRESS_ROUTED && m != r.target) expected = 0;
        auto it = delivered[m].find(r.id);
        const int got = it == delivered[m].end() ? 0 : it->second;
        if (got == expected) continue;
        (got < expected ? check.missing : check.unexpected) += 1;
        if (check.firstProblem.empty())
          check.firstProblem = "payload " + std::to_string(r.id) + " (phase " + std::to_string(r.phase) +
                               ") routing " + std::to_string(r.routing) + " from module " + std::to_string(sender) +
                               ": module " + std::to_string(m) + " got it " + std::to_string(got) +
                               " times, expected " + std::to_string(expected);
      }
    }
  }
  return check;
}

TEST_F(ServiceStress, ModulesSubmitKeepReleaseRequestAndStopWhileTheServiceStops) {
  const int seconds = stressSeconds();
  core = std::make_unique<ServiceCore>(wxFileName(wxString((dir.path() / "Selvar").string())));
  core->schedulerEnvironment = &quiet;
  setPhase(1);
  setRunning(true);
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(core->start());
  ASSERT_EQ(core->modules.size(), kModules);

  // Phase 1: load, then a pause until everything settled.
  size_t maxQueued = 0;
  while (std::chrono::steady_clock::now() - started < std::chrono::seconds(seconds)) {
    maxQueued = std::max(maxQueued, queued());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  setRunning(false);
  ASSERT_TRUE(waitFor([&] { return settled(); }, kSettleTimeout))
      << "the service did not settle after the load was paused: " << queued() << " queued, "
      << core->callTracker.liveCallsTotal() << " call threads";

  // Every accepted event of phase 1 reached exactly the modules its routing
  // names, once each.
  const RoutingCheck phase1 = checkRouting(copies, 1);
  const uint64_t checkedEvents = phase1.checked;
  const uint64_t missing = phase1.missing, unexpected = phase1.unexpected;
  const std::string firstProblem = phase1.firstProblem;
  EXPECT_GT(checkedEvents, 1000u) << "the load did not get going";
  EXPECT_EQ(missing, 0u) << firstProblem;
  EXPECT_EQ(unexpected, 0u) << firstProblem;

  // Phase 2: load again, flood included; the service stops in the middle
  // of it. A sampler watches the queue and the resident size throughout.
  const long residentBefore = residentKiB();
  std::atomic<bool> sampling{true};
  std::atomic<uint64_t> mostRecords{0}, mostBytes{0};
  std::atomic<long> mostResident{residentBefore};
  std::thread sampler([&] {
    while (sampling.load()) {
      mostRecords = std::max<uint64_t>(mostRecords.load(), core->queueBudget.records());
      mostBytes = std::max<uint64_t>(mostBytes.load(), core->queueBudget.bytes());
      mostResident = std::max(mostResident.load(), residentKiB());
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  setPhase(2);
  setRunning(true);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  setPhase(3);
  const auto stopBegan = std::chrono::steady_clock::now();
  std::packaged_task<void()> stopTask([this] { core->stop(); });
  std::future<void> stopDone = stopTask.get_future();
  std::thread stopper(std::move(stopTask));
  if (stopDone.wait_for(kStopTimeout) != std::future_status::ready) {
    std::cerr << "ServiceStress: the stop did not end within " << kStopTimeout.count() << " s; "
              << core->callTracker.liveCallsTotal() << " call threads still running\n";
    std::abort();  // a hang: nothing sensible can follow
  }
  stopper.join();
  stopped = true;
  const double stopSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - stopBegan).count();
  sampling = false;
  sampler.join();
  EXPECT_EQ(core->callTracker.liveCallsTotal(), 0);
  EXPECT_LT(stopSeconds, kStopBoundSeconds) << "the stop did not end within its bound under the flood";
  EXPECT_LE(mostRecords.load(), EVENT_QUEUE_MAX_RECORDS + STOP_DRAIN_EXTRA_EVENTS);
  EXPECT_LE(mostBytes.load(), EVENT_QUEUE_MAX_BYTES);
  const long residentGrowth = mostResident.load() - residentBefore;
  EXPECT_LE(residentGrowth, static_cast<long>(EVENT_QUEUE_MAX_BYTES >> 10) + kResidentMarginKiB);

  // Every event accepted in any phase, the stop included, reached exactly
  // the modules its routing names, once each.
  const RoutingCheck all = checkRouting(copies, 0);
  const uint64_t acceptedAll = all.checked, missingAll = all.missing, unexpectedAll = all.unexpected;
  const std::string firstLoss = all.firstProblem;
  EXPECT_EQ(missingAll, 0u) << "accepted events that never reached their receivers: " << firstLoss;
  EXPECT_EQ(unexpectedAll, 0u) << firstLoss;

  // After the stop: per module, no payload delivered twice, nothing delivered
  // that the service refused, every kept payload given back exactly once.
  std::map<uint64_t, bool> accepted;
  for (uint32_t m = 0; m < kModules; ++m) {
    size_t n = 0;
    const StressRecord* records = copies[m].records(&n);
    for (size_t i = 0; i < n; ++i)
      if (records[i].kind == STRESS_SUBMITTED) accepted[records[i].id] = true;
  }
  StressCounts total = {};
  for (uint32_t m = 0; m < kModules; ++m) {
    SCOPED_TRACE("module " + std::to_string(m));
    StressCounts counts = {};
    copies[m].counts(&counts);
    EXPECT_EQ(counts.anomalies, 0u) << copies[m].firstAnomaly();
    std::map<uint64_t, int> deliveries, keeps, releases;
    size_t n = 0;
    const StressRecord* records = copies[m].records(&n);
    for (size_t i = 0; i < n; ++i) {
      const StressRecord& r = records[i];
      if (r.kind == STRESS_DELIVERED) ++deliveries[r.id];
      if (r.kind == STRESS_KEPT) ++keeps[r.id];
      if (r.kind == STRESS_RELEASED) ++releases[r.id];
    }
    size_t twice = 0, phantom = 0;
    for (const auto& [id, times] : deliveries) {
      if (times != 1) ++twice;
      if (accepted.count(id) == 0) ++phantom;
    }
    EXPECT_EQ(twice, 0u) << "payloads delivered more than once to this module";
    EXPECT_EQ(phantom, 0u) << "payloads delivered that the service had not accepted";
    EXPECT_EQ(keeps, releases) << "kept and given-back payloads differ";
    total.submitted += counts.submitted;
    total.refused += counts.refused;
    total.delivered += counts.delivered;
    total.foreignDeliveries += counts.foreignDeliveries;
    total.kept += counts.kept;
    total.released += counts.released;
    total.doubleReleases += counts.doubleReleases;
    total.unknownReleases += counts.unknownReleases;
    total.requests += counts.requests;
    total.stops += counts.stops;
    total.answers += counts.answers;
    total.refusedAnswers += counts.refusedAnswers;
    total.countedOk += counts.countedOk;
    total.countedLimit += counts.countedLimit;
    total.countedUnregistered += counts.countedUnregistered;
    total.registrations += counts.registrations;
    total.nullEvents += counts.nullEvents;
    total.queueFull += counts.queueFull;
    total.stopping += counts.stopping;
    total.flooded += counts.flooded;
  }

  // Every payload copy the service made was freed.
  EXPECT_GT(PayloadTracker::allocated(), 0u);
  EXPECT_EQ(PayloadTracker::allocated(), PayloadTracker::freed())
      << PayloadTracker::outstanding() << " payload copies were not freed";

  // The run's figures, for the reliability record.
  std::cout << "[stress] load " << seconds << " s + 1.5 s with a flood, then stop (took " << stopSeconds << " s)"
            << (kAddressSanitizer ? " [AddressSanitizer]" : "") << "\n"
            << "[stress] accepted events " << total.submitted << " (answers " << total.answers
            << "), refused submissions " << total.refused << ", checked routed in phase 1 " << checkedEvents << "\n"
            << "[stress] counted ok " << total.countedOk << ", allowance reached " << total.countedLimit
            << ", unregistered " << total.countedUnregistered << ", registrations " << total.registrations << "\n"
            << "[stress] requests " << total.requests << ", stops " << total.stops << ", answers refused "
            << total.refusedAnswers << ", events without payload " << total.nullEvents << "\n"
            << "[stress] deliveries " << total.delivered << " (+" << total.foreignDeliveries
            << " service documents), kept " << total.kept << ", given back " << total.released << " (twice "
            << total.doubleReleases << "), unknown pointers given back " << total.unknownReleases << "\n"
            << "[stress] payload copies made " << PayloadTracker::allocated() << ", freed " << PayloadTracker::freed()
            << ", most queued " << maxQueued << "\n"
            << "[stress] flood: accepted " << total.flooded << ", refused for a full queue " << total.queueFull
            << ", refused as stopping " << total.stopping << "; checked after the stop " << acceptedAll
            << " accepted events\n"
            << "[stress] queue at most " << mostRecords.load() << " records, " << (mostBytes.load() >> 10)
            << " KiB of payload; resident " << (residentBefore >> 10) << " MiB before the flood, at most "
            << (mostResident.load() >> 10) << " MiB (+" << (residentGrowth >> 10) << " MiB)\n";
}

}  // namespace
