// load_pass.h - the service's load pass replayed over probed modules.
//
// Takes the probes in the order the service would try the files and applies
// the service's judgeLoad, its table placement (PLUGIN_ID_FIRST in front) and
// its close order (compare_watchdogServices), so the verdicts are the
// service's own.
#ifndef SELVAR_TOOLS_INSPECT_LOAD_PASS_H
#define SELVAR_TOOLS_INSPECT_LOAD_PASS_H

#include <string>
#include <vector>

#include "tools/inspect/module_probe.h"

enum class Verdict {
  Accepted,
  Refused,      // Load returned non-zero or set error
  DuplicateId,  // an accepted module has the ID already
  ReservedId,   // the service's own ID
  NoLoadEntry,  // no "Load": the service drops it silently
  NotLoadable,  // not a shared object the loader accepts
  Untrusted,    // other users could change the file or its directory: refused
  Missing,      // no such file (only a file named on the command line)
  Crashed,      // the module killed the process: the service would go down
  TimedOut,     // Load did not return: the service would hang
  Exited,       // the module ended the process
  ProbeFailed   // the inspector could not probe it
};

// Stable lower-case name, as used in the JSON report.
const char* verdictName(Verdict verdict);

struct JudgedModule {
  ModuleProbe probe;
  Verdict verdict = Verdict::ProbeFailed;
  std::string serviceMessage;  // what the service logs about it; empty: nothing
  bool serviceError = false;   // logged as an error, else as a warning
};

struct ClosingModule {
  std::string fileName;
  uint32_t mask5 = 0;
};

struct LoadPassReport {
  std::vector<JudgedModule> modules;       // in the order tried
  std::vector<std::string> tableOrder;     // the accepted modules as the table holds them
  std::vector<ClosingModule> closeOrder;   // as the close pass calls them

  bool allAccepted() const;
};

// directory: the plugins directory the probes were found in ("" for files
// named one by one), named in the service's message when it is untrusted.
LoadPassReport judgeLoadPass(const std::vector<ModuleProbe>& probes, const std::string& directory = "");

#endif  // SELVAR_TOOLS_INSPECT_LOAD_PASS_H
