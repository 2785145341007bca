// status_document.h - the documents and notices the service posts to modules.
//
// The operations themselves are ServiceCore members (postModuleStatus,
// postDocument, postNotice, saveMemoryState, loadMemoryWatchSetting,
// postMemoryState); this header holds what they share.
#ifndef SELVAR_HOUSEKEEPING_STATUS_DOCUMENT_H
#define SELVAR_HOUSEKEEPING_STATUS_DOCUMENT_H

#include <cstdint>
#include <string>

// The file that keeps the memory-watch switch, in the working directory.
extern "C" const char* documentName;

// Event classes of the service's own events.
const uint32_t EVC_DOCUMENT = 0x01000010u;
const uint32_t EVC_NOTICE = 0x01000002u;

// Bounds on the switch file. The saved form is a few hundred bytes; the
// parser recurses once per element level (on the scheduler's stack) and
// builds a node for each element, attribute, comment and the like.
const long SWITCH_FILE_MAX_BYTES = 16L << 20;
const int SWITCH_FILE_MAX_DEPTH = 64;
const long SWITCH_FILE_MAX_NODES = 4096;

// Reads the switch file into text without ever blocking or throwing; false
// (text empty) when it does not resolve to a regular file, is larger than
// SWITCH_FILE_MAX_BYTES, or cannot be read. Scheduler thread.
bool readSwitchFile(const char* name, std::string* text);

// True when text may be handed to the parser: read as the parser tokenises
// it (comments, CDATA, declarations, quoted attribute values), its elements
// nest at most SWITCH_FILE_MAX_DEPTH deep and it has at most
// SWITCH_FILE_MAX_NODES nodes. A text it refuses reads as unreadable. Pure.
bool isParsableSwitchText(const std::string& text);

#endif  // SELVAR_HOUSEKEEPING_STATUS_DOCUMENT_H
