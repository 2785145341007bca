// probe_runner.h - inspects one module file in a child process of its own.
//
// A module that crashes, exits or hangs takes only its child with it; the
// inspector gets what the child reported before that, and how it ended.
#ifndef SELVAR_TOOLS_INSPECT_PROBE_RUNNER_H
#define SELVAR_TOOLS_INSPECT_PROBE_RUNNER_H

#include <string>

#include "tools/inspect/module_probe.h"

// Events listed per module; further ones are only counted.
const size_t PROBE_MAX_EVENTS = 100;

// Forks, runs the probe child on path and collects its records. A child
// still running after timeoutMs is killed with its process group. A file
// that is missing, or that the service would refuse before loading it (it or
// its directory, per directoryTrusted, may be changed by other users), is
// not loaded at all: the probe ends NotRun.
ModuleProbe runProbe(const std::string& path, const std::string& fileName, int timeoutMs,
                     bool directoryTrusted = true);

#endif  // SELVAR_TOOLS_INSPECT_PROBE_RUNNER_H
