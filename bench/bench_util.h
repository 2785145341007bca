// bench_util.h - timing, statistics, checks, files and module probes shared
// by the benchmark's runs.
#ifndef SELVAR_BENCH_UTIL_H
#define SELVAR_BENCH_UTIL_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bench_shared.h"

namespace bench {

int64_t nowNs();
void sleepUs(unsigned microseconds);

// Median, min and max of a figure's repetitions.
struct Samples {
  std::vector<double> values;
  void add(double v) { values.push_back(v); }
  double median() const;
  double min() const;
  double max() const;
  bool empty() const { return values.empty(); }
};

// Count checks. A failed check is printed at once and makes the program
// exit non-zero at the end; the run goes on so the table is still printed.
bool check(bool ok, const std::string& what);
int failedChecks();

// Polls until done() or timeoutMs has passed; returns done()'s last value.
// The poll interval is short (tens of microseconds) so that the time at
// which it returns is the time the condition came true, to that precision.
bool waitUntil(const std::function<bool()>& done, int timeoutMs);

// Resident set size of this process, in KiB (VmRSS in /proc/self/status).
long residentKiB();

// Files.
std::string executableDir();
bool makeDir(const std::string& path);
bool copyFile(const std::string& from, const std::string& to);
bool removeTree(const std::string& path);

// The probe of the module loaded from path (by the service or by dlopen);
// null when that module is not loaded or has no probe.
BenchProbe* probeOf(const std::string& path);
// Any exported symbol of the already loaded module at path.
void* symbolOf(const std::string& path, const char* name);

// Clears a probe's counters and sets its run settings (nothing in flight).
void resetProbe(BenchProbe* probe, uint32_t tag, uint32_t payloadSize, uint32_t producers, uint32_t checkEvery,
                uint32_t checkSlot);

// Checks one receiver after a run: everything delivered once, in order per
// producer, the share of full comparisons done, no error. label names the
// figure in a failure message.
void checkReceiver(const BenchProbe* probe, const uint64_t* sent, int producers, const std::string& label);

// Waits until every counted payload is freed and checks the number of
// payload copies made since `allocatedBefore` is within [low, high].
void checkPayloads(uint64_t allocatedBefore, uint64_t low, uint64_t high, const std::string& label);

uint32_t nextTag();

// --pin: the producers run on one CPU and every other thread (the service's
// or the baseline's consumer, the harness) on another, so that where the
// scheduler happens to put them does not decide a run's rate. pinProcess()
// moves the calling thread, and every thread it starts later, to the second
// CPU this process may use; false when it may use fewer than two.
// pinProducer() moves the calling producer thread to the first; nothing
// without --pin.
bool pinProcess();
void pinProducer();

// --verbose: each run prints its event count, its duration, the CPU time
// the whole process used per event (user + system, all threads) and its
// context switches per event to stderr. CPU time per event does not count
// the time a thread waited for a processor, so it stays comparable on a
// busy machine; context switches count the thread wake-ups.
extern bool g_verbose;
int64_t processCpuNs();
void markRunStart();
void reportRun(const std::string& label, uint64_t events, int64_t t0, int64_t t1);

}  // namespace bench

#endif  // SELVAR_BENCH_UTIL_H
