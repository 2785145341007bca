// call_blocks.h - how the service builds a block for a module call.
//
// Every block is zero-filled, then carries its own length and version, so no
// byte the module reads is left over from the stack. Any thread.
#ifndef SELVAR_PLUGINHOST_CALL_BLOCKS_H
#define SELVAR_PLUGINHOST_CALL_BLOCKS_H

#include <cstdint>
#include <cstring>

#include "pluginhost/plugin_interface.h"

// The length and version of a block already zero-filled (one inside a
// zero-filled call block).
template <typename Block>
void setCallBlockHeader(Block* block, uint32_t version = 1) {
  block->size = sizeof(*block);
  block->version = version;
}

template <typename Block>
void initCallBlock(Block* block, uint32_t version = 1) {
  memset(block, 0, sizeof(*block));
  setCallBlockHeader(block, version);
}

// Fills a zero-filled Write block with the event's fields, one by one: the
// record's padding (4 bytes after dataSize on LP64) holds whatever the
// submitting module left there and must not reach another module.
inline void copyEventFields(_WriteParmsIn* in, const _EventParmsIn& event) {
  in->dataSize = event.dataSize;
  in->data = event.data;
  in->sourceId = event.sourceId;
  in->requestHandle = event.requestHandle;
  in->flags = event.flags;
  in->eventClass = event.eventClass;
  static_assert(sizeof(in->extension) == sizeof(event.extension), "extension sizes differ");
  memcpy(in->extension, event.extension, sizeof(in->extension));
}

#endif  // SELVAR_PLUGINHOST_CALL_BLOCKS_H
