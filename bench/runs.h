// runs.h - the benchmark's measured runs. Each returns its figure (a rate
// per second, or a duration in milliseconds) and checks that the work was
// really done (bench::check).
#ifndef SELVAR_BENCH_RUNS_H
#define SELVAR_BENCH_RUNS_H

#include <cstdint>
#include <string>

#include "bench_shared.h"

class ServiceCore;

namespace bench {

const int kSinks = 16;
const int kKeepers = 4;

// The running service with the bench modules: the source's event entry and
// the probes of every receiver.
struct CoreRig {
  ServiceCore* core = nullptr;
  FlatPluginEventFn entry = nullptr;
  BenchProbe* sinks[kSinks] = {};
  BenchProbe* keepers[kKeepers] = {};
  BenchProbe* reader = nullptr;
};

// Queued events: `producers` threads submit events of `size` payload bytes
// for `seconds`, each of `receivers` receivers gets every one.
struct QueuedCell {
  uint32_t size;
  int receivers;
  int producers;
  double seconds;
};

double queuedCore(CoreRig& rig, const QueuedCell& cell);
double queuedBare(const QueuedCell& cell);
double queuedGlib(const QueuedCell& cell);
double queuedZmq(const QueuedCell& cell);

// Four receivers keep every payload and release it from their own threads.
double keepCore(CoreRig& rig, const QueuedCell& cell);
double keepBare(const QueuedCell& cell);

// Request road: Read calls started and finished per second.
double requestCore(CoreRig& rig, double seconds);
double requestBare(double seconds);

// Provider stream: payloads per second, one in flight.
double streamCore(CoreRig& rig, uint32_t size, double seconds, uint32_t handle);
double pingPongBare(double seconds);

// Start-up of the modules in dir/plugins (copies of bench_tiny), in ms.
double startupCore(const std::string& dir, int modules);
double startupBare(const std::string& dir, int modules);

}  // namespace bench

#endif  // SELVAR_BENCH_RUNS_H
