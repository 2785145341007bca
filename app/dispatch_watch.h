// dispatch_watch.h - tells when event routing has stopped, and keeps
// systemd's watchdog fed only while it has not.
//
// Every queued delivery runs on the one dispatch thread, so one module that
// never returns from Write or IOCTL stops all routing. The watch reads the
// dispatch thread's ModuleCallRecord (pluginhost/module_calls.h), never a
// lock of the core, and from the daemon's main loop:
//   - logs "plugin %s has not returned from %s for %d seconds; event routing
//     is stalled" (error) once a delivery has run DISPATCH_STALL_LIMIT_MS,
//     and "plugin %s returned after %d seconds; event routing goes on"
//     (information) when it is over: one pair per stall;
//   - sends "WATCHDOG=1" through sd_notify every half WATCHDOG_USEC while no
//     stall is reported, when the watchdog is meant for this process.
// Main thread only: the log lines go out at once.
//
// DispatchWatch also serves as the clock-free half of the progress record:
// the dispatch thread reads no clock, the watch times each call it sees.
#ifndef SELVAR_APP_DISPATCH_WATCH_H
#define SELVAR_APP_DISPATCH_WATCH_H

#include <sys/types.h>

#include <cstdint>

#include "pluginhost/module_calls.h"

// How long one delivery may run before routing counts as stalled.
const int64_t DISPATCH_STALL_LIMIT_MS = 10000;
// How often the main loop looks, at most. A call's time is counted from the
// first look that saw it, so a stall is reported up to this much late.
const int64_t DISPATCH_WATCH_TICK_MS = 1000;

// The watchdog period to serve, in ms, from the environment systemd gives
// (WATCHDOG_USEC, WATCHDOG_PID); 0 when there is none for this process.
// Under Type=forking, WATCHDOG_PID names the launcher systemd started, which
// forked the daemon: launcher is that process's PID as the launcher saw it.
// A WATCHDOG_PID naming any third process means "not for us".
int64_t watchdogPeriodMs(const char* usec, const char* pid, pid_t self, pid_t launcher);

// Times passed to tick() and timeoutMs() are monotonicMs() readings
// (compat/monotonic_clock.h), which a clock change leaves alone.
class DispatchWatch {
 public:
  // watchdogMs: from watchdogPeriodMs; 0 sends nothing.
  DispatchWatch(const ModuleCallRecord& dispatch, int64_t watchdogMs, int64_t stallLimitMs = DISPATCH_STALL_LIMIT_MS);
  virtual ~DispatchWatch() {}

  // Looks at the dispatch thread, logs, pings. Call at least every
  // timeoutMs(now) ms.
  void tick(int64_t nowMs);
  int64_t timeoutMs(int64_t nowMs) const;
  bool stalled() const { return stallReported; }

 protected:
  virtual void ping();  // sd_notify; tests count instead

 private:
  const ModuleCallRecord& dispatch;
  const int64_t watchdogMs;
  const int64_t stallLimitMs;
  int64_t nextPingMs = 0;
  bool stallReported = false;
  // The call seen last: its record's finished count and when first seen.
  bool watching = false;
  uintptr_t watchedFinished = 0;
  int64_t watchedSinceMs = 0;
  const char* stalledName = nullptr;  // interned: outlives the module
};

#endif  // SELVAR_APP_DISPATCH_WATCH_H
