// status_document.h - the documents and notices the service posts to modules.
//
// The operations themselves are ServiceCore members (postModuleStatus,
// postDocument, postNotice, saveMemoryState, loadMemoryWatchSetting,
// postMemoryState); this header holds what they share.
#ifndef SELVAR_HOUSEKEEPING_STATUS_DOCUMENT_H
#define SELVAR_HOUSEKEEPING_STATUS_DOCUMENT_H

#include <cstdint>

// The file that keeps the memory-watch switch, in the working directory.
extern "C" const char* documentName;

// Event classes of the service's own events.
const uint32_t EVC_DOCUMENT = 0x01000010u;
const uint32_t EVC_NOTICE = 0x01000002u;

#endif  // SELVAR_HOUSEKEEPING_STATUS_DOCUMENT_H
