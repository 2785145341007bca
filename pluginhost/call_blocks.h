// call_blocks.h - how the service builds a block for a module call.
//
// Every block is zero-filled, then carries its own length and version, so no
// byte the module reads is left over from the stack. Any thread.
#ifndef SELVAR_PLUGINHOST_CALL_BLOCKS_H
#define SELVAR_PLUGINHOST_CALL_BLOCKS_H

#include <cstdint>
#include <cstring>

template <typename Block>
void initCallBlock(Block* block, uint32_t version = 1) {
  memset(block, 0, sizeof(*block));
  block->size = sizeof(*block);
  block->version = version;
}

#endif  // SELVAR_PLUGINHOST_CALL_BLOCKS_H
