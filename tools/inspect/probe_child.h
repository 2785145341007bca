// probe_child.h - the inspector's work inside a probe child: load one module
// with the service's own steps, call its Load, stream what happens.
//
// captureEvent is the event entry the child hands to Load (and what the
// inspector exports as FlatPluginEvent): it lists events, it routes nothing.
#ifndef SELVAR_TOOLS_INSPECT_PROBE_CHILD_H
#define SELVAR_TOOLS_INSPECT_PROBE_CHILD_H

#include <string>

#include "events/event_record.h"

// Runs in a freshly forked child and never returns: opens path, calls Load
// when the module has it, writes the records to fd and exits.
[[noreturn]] void runProbeChild(const std::string& path, int fd);

// Answers EVR_OK and, inside a probe child, reports the event to the parent.
extern "C" int32_t captureEvent(const _EventParmsIn* in, _EventParmsOut* out);

#endif  // SELVAR_TOOLS_INSPECT_PROBE_CHILD_H
