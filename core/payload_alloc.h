// payload_alloc.h - where payload copies come from.
//
// Every payload copy the service makes goes through allocPayload, so tests can
// make allocation fail. The hook is set only while no other thread submits.
#ifndef SELVAR_CORE_PAYLOAD_ALLOC_H
#define SELVAR_CORE_PAYLOAD_ALLOC_H

#include <cstddef>

using PayloadAllocator = void* (*)(size_t size);

// The allocator in use; malloc unless a test replaced it. Freed with free().
extern PayloadAllocator g_payloadAllocator;

inline void* allocPayload(size_t size) { return g_payloadAllocator(size); }

#endif  // SELVAR_CORE_PAYLOAD_ALLOC_H
