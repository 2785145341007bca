// payload_alloc.h - where payload copies come from.
//
// Every payload copy the service makes goes through allocPayload, so tests can
// make allocation fail. The hook is set only while no other thread submits.
#ifndef SELVAR_CORE_PAYLOAD_ALLOC_H
#define SELVAR_CORE_PAYLOAD_ALLOC_H

#include <cstddef>
#include <cstdint>
#include <cstring>

using PayloadAllocator = void* (*)(size_t size);

// The allocator in use; malloc unless a test replaced it. Freed with free().
extern PayloadAllocator g_payloadAllocator;

inline void* allocPayload(size_t size) { return g_payloadAllocator(size); }

// The empty-payload rules, in one place. On the event road a payload is
// there only with both a pointer and a size (otherwise the event carries
// none); on the request road a pointer with size 0 is still a payload,
// and a size without a pointer describes nothing.
inline bool carriesEventPayload(const void* data, uint32_t size) { return data != nullptr && size != 0; }
inline uint32_t requestPayloadSize(const void* data, uint32_t size) { return data != nullptr ? size : 0; }

// A private copy of size (not 0) bytes of data, freed with free(); null when
// memory ran out. The event road's copy: its payloads are never empty.
inline void* copyNonEmptyPayload(const void* data, uint32_t size) {
  void* copy = allocPayload(size);
  if (copy != nullptr) memcpy(copy, data, size);
  return copy;
}

// The same for any size. Size 0 still gives a (one-byte) block, since
// malloc(0) may return null: a set pointer keeps meaning "data set".
inline void* copyPayload(const void* data, uint32_t size) {
  return size != 0 ? copyNonEmptyPayload(data, size) : allocPayload(1);
}

#endif  // SELVAR_CORE_PAYLOAD_ALLOC_H
