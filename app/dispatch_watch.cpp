#include "app/dispatch_watch.h"

#include <systemd/sd-daemon.h>
#include <time.h>
#include <wx/log.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace {

// A whole decimal number, nothing else.
bool parseNumber(const char* text, unsigned long long* value) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  char* end = nullptr;
  errno = 0;
  *value = strtoull(text, &end, 10);
  return errno == 0 && *end == '\0';
}

int seconds(int64_t ms) { return static_cast<int>(ms / 1000); }

}  // namespace

int64_t watchdogPeriodMs(const char* usec, const char* pid, pid_t self, pid_t launcher) {
  unsigned long long period = 0;
  if (!parseNumber(usec, &period) || period < 1000) return 0;
  if (pid != nullptr) {
    unsigned long long target = 0;
    if (!parseNumber(pid, &target)) return 0;
    if (target != static_cast<unsigned long long>(self) && target != static_cast<unsigned long long>(launcher))
      return 0;
  }
  return static_cast<int64_t>(period / 1000);
}

DispatchWatch::DispatchWatch(const ModuleCallRecord& dispatch_, int64_t watchdogMs_, int64_t stallLimitMs_)
    : dispatch(dispatch_), watchdogMs(watchdogMs_), stallLimitMs(stallLimitMs_) {}

void DispatchWatch::tick(int64_t nowMs) {
  const ModuleCallRecord::Snapshot call = dispatch.snapshot();
  const bool sameCall = watching && call.library != nullptr && call.finished == watchedFinished;
  if (stallReported && !sameCall) {
    wxLogMessage("plugin %s returned after %d seconds; event routing goes on", stalledName,
                 seconds(nowMs - watchedSinceMs));
    stallReported = false;
  }
  if (!sameCall) {
    watching = call.library != nullptr;
    watchedFinished = call.finished;
    watchedSinceMs = nowMs;
  } else if (!stallReported && nowMs - watchedSinceMs >= stallLimitMs) {
    const char* name = moduleFileName(call.library);
    stalledName = name != nullptr ? name : "?";
    wxLogError("plugin %s has not returned from %s for %d seconds; event routing is stalled", stalledName,
               call.entry, seconds(nowMs - watchedSinceMs));
    stallReported = true;
  }
  if (watchdogMs > 0 && !stallReported && nowMs >= nextPingMs) {
    ping();
    nextPingMs = nowMs + watchdogMs / 2;
  }
}

int64_t DispatchWatch::timeoutMs(int64_t nowMs) const {
  int64_t wait = DISPATCH_WATCH_TICK_MS;
  if (watchdogMs > 0 && !stallReported) wait = std::min(wait, std::max<int64_t>(nextPingMs - nowMs, 0));
  return wait;
}

void DispatchWatch::ping() { sd_notify(0, "WATCHDOG=1"); }
