// module_probe.h - what one probe child found out about one module file.
//
// Filled by the parent from the child's records (probe_wire.h); the load pass
// (load_pass.h) turns a list of these into the service's verdicts.
#ifndef SELVAR_TOOLS_INSPECT_MODULE_PROBE_H
#define SELVAR_TOOLS_INSPECT_MODULE_PROBE_H

#include <cstdint>
#include <string>
#include <vector>

#include "pluginhost/plugin_interface.h"

// How the probe child ended; NotRun: the service would never map the file,
// so no child loaded it.
enum class ProbeEnd { Finished, Crashed, TimedOut, Exited, Failed, NotRun };

// When an event reached the inspector's event entry.
enum class EventPhase : uint8_t { Opening = 0, Load = 1, AfterLoad = 2 };

const int EVENT_PREVIEW_BYTES = 32;

// One event a module submitted; trivially copyable, it crosses the pipe as is.
struct EventSummary {
  uint32_t sourceId;
  uint32_t flags;
  uint32_t eventClass;
  uint32_t requestHandle;
  uint32_t dataSize;
  uint8_t registration;
  uint8_t hasData;
  uint8_t phase;  // EventPhase
  uint8_t previewLength;
  uint8_t preview[EVENT_PREVIEW_BYTES];
};

struct ModuleProbe {
  std::string fileName;  // as the service names it: no directory
  std::string path;      // as handed to the loader
  bool exists = true;            // the file is there (stat succeeds)
  bool trusted = true;           // no other user can change the file (the service's check)
  bool directoryTrusted = true;  // nor the plugins directory it was found in

  bool openReported = false;  // the child got past loading the library
  bool loads = false;
  std::string loaderError;  // the loader's message when it does not load
  uint8_t entryMask = 0;    // bit i: entry point i of PLUGIN_ENTRY_NAMES exported

  bool loadReturned = false;
  int32_t loadResult = 0;
  _LoadParmsOut loadOut = {};
  int64_t loadTimeMs = 0;

  std::vector<EventSummary> events;  // the first ones, in arrival order
  uint32_t eventsNotListed = 0;

  ProbeEnd end = ProbeEnd::Finished;
  int signal = 0;        // Crashed
  int exitCode = 0;      // Exited
  std::string failure;   // Failed: why the probe could not run

  bool exports(int entryIndex) const { return (entryMask >> entryIndex) & 1u; }
};

#endif  // SELVAR_TOOLS_INSPECT_MODULE_PROBE_H
