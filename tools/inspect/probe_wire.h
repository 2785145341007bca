// probe_wire.h - the records a probe child streams to the inspector.
//
// Each record is a type byte, a 32-bit length and the payload. The child dies
// whenever the module makes it die, so a cut-off last record is normal and
// is dropped when decoding.
#ifndef SELVAR_TOOLS_INSPECT_PROBE_WIRE_H
#define SELVAR_TOOLS_INSPECT_PROBE_WIRE_H

#include <cstddef>
#include <string>

#include "tools/inspect/module_probe.h"

// The library was opened (or not), with its entry points.
std::string encodeOpened(bool loads, uint8_t entryMask, const std::string& loaderError);

// A module submitted an event.
std::string encodeEvent(const EventSummary& event);

// Load returned.
std::string encodeLoaded(int32_t result, const _LoadParmsOut& out, int64_t loadTimeMs);

// Applies every complete record of bytes to probe. Events past maxEvents are
// only counted. False when a record is malformed (unknown type, bad length).
bool decodeRecords(const std::string& bytes, ModuleProbe* probe, size_t maxEvents);

#endif  // SELVAR_TOOLS_INSPECT_PROBE_WIRE_H
