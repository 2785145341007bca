// scheduler_thread.h - the core's housekeeping thread.
//
// At its start it launches the start Read call of every reading module and
// reads the memory-watch switch; then every 100 ms it watches the clock and,
// when the watch is on, the heap once per second. The core creates, starts,
// signals and deletes it on the main thread; the destructor joins the thread.
// The pass logic lives in SchedulerPasses so tests can drive it directly.
#ifndef SELVAR_HOUSEKEEPING_SCHEDULER_THREAD_H
#define SELVAR_HOUSEKEEPING_SCHEDULER_THREAD_H

#include <cstdint>

#include "compat/pt.h"

class ServiceCore;
class SchedulerEnvironment;

// The state of one scheduler run: the watch switch and the previous reading.
class SchedulerPasses {
 public:
  SchedulerPasses(ServiceCore* core, SchedulerEnvironment* environment);

  // Start Read calls and the watch switch (steps before the first pass).
  void begin();
  // One pass after its wait: clock watch, then memory watch.
  void pass();

  bool watchOn() const { return watch; }

 private:
  ServiceCore* core;
  SchedulerEnvironment* environment;
  bool watch;
  int32_t previous;  // 0 before the first pass
};

class SchedulerThread : public pt::thread {
 public:
  explicit SchedulerThread(ServiceCore* core);
  ~SchedulerThread() override;

 protected:
  void execute() override;
  void cleanup() override {}

 private:
  ServiceCore* core;
};

// Pass period.
const int SCHEDULER_PASS_MS = 100;

#endif  // SELVAR_HOUSEKEEPING_SCHEDULER_THREAD_H
