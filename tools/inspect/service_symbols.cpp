// The names the service's executable exports to modules (app/exports.list),
// defined by the inspector so a module that uses them by name loads here as
// it does in the service. FlatPluginEvent lands in the inspector's own event
// capture, never in the service's routing.
#include "tools/inspect/probe_child.h"

extern "C" int32_t FlatPluginEvent(const _EventParmsIn* in, _EventParmsOut* out) { return captureEvent(in, out); }

// Same value as the service's (housekeeping/status_document.cpp).
extern "C" {
const char* documentName = "core.xml";
}
