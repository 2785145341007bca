// footprint.h - the footprint child process (see footprint.cpp).
#ifndef SELVAR_BENCH_FOOTPRINT_H
#define SELVAR_BENCH_FOOTPRINT_H

#include <cstdint>
#include <string>

namespace bench {

// Starts the service from dir (dir/plugins holds the demo modules and the
// bench source and sink 0), measures, prints one FOOTPRINT line, stops.
int footprintChild(const std::string& dir, uint64_t events);

// Runs dir/Selvar (a copy of the service executable, with dir/plugins) as
// a daemon in a private mount namespace, prints one DAEMON line with its
// idle VmRSS, and stops it.
int daemonFootprintChild(const std::string& dir);

}  // namespace bench

#endif  // SELVAR_BENCH_FOOTPRINT_H
