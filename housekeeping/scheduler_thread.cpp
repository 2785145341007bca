#include "housekeeping/scheduler_thread.h"

#include <time.h>

#include <cstdio>

#include "core/service_core.h"
#include "housekeeping/scheduler_environment.h"
#include "pluginhost/plugin_thread.h"

SchedulerPasses::SchedulerPasses(ServiceCore* core_, SchedulerEnvironment* environment_)
    : core(core_), environment(environment_), watch(false), previous(0) {}

void SchedulerPasses::begin() {
  for (size_t i = 0; i < core->modules.size(); ++i) {
    _PlugInInfo& info = core->modules[i];
    if (info.library != nullptr && info.loadInfo.hasReader != 0) startReadCall(core, info);
  }
  watch = core->loadMemoryWatchSetting() != 0;
  previous = 0;
}

void SchedulerPasses::pass() {
  const int32_t now = environment->now();
  if (previous != 0) {
    const int difference = static_cast<int>(difftime(static_cast<time_t>(now), static_cast<time_t>(previous)));
    if (difference > 1 || difference < -1) {
      char text[64];
      snprintf(text, sizeof(text), "system time changed by %d seconds", difference);
      core->counters.clockJumps.fetch_add(1, std::memory_order_relaxed);
      core->postNotice(text);
    }
    if (!watch) {
      previous = now;
      return;
    }
  } else {
    if (!watch) {
      previous = now;
      return;
    }
    core->postMemoryState(now);
  }
  if (now != previous) {
    const uint64_t used = environment->usedHeapBytes();
    core->counters.heapBytes.store(used, std::memory_order_relaxed);
    core->updateThrottling(used > MEMORY_LIMIT_BYTES, now);
  }
  previous = now;
}

SchedulerThread::SchedulerThread(ServiceCore* core_) : pt::thread(false), core(core_) {}

SchedulerThread::~SchedulerThread() { waitfor(); }

void SchedulerThread::execute() {
  SchedulerEnvironment* environment = core->schedulerEnvironment;
  SchedulerPasses passes(core, environment);
  passes.begin();
  while (!get_signaled()) {
    environment->waitPass(relaxsem, SCHEDULER_PASS_MS);
    passes.pass();
  }
}
