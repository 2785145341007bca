// Counted payload blocks and the program's free().
//
// A counted block is 16 bytes of marker followed by the payload: a fixed
// word and a word derived from the payload's address, so no other block can
// pass for one. free() of a marked pointer clears the marker, counts it and
// frees the whole block; any other pointer goes straight to the C library.
// The marker words are read only in front of pointers the C library's
// allocator handed out, where its chunk header lies.
#include "payload_count.h"

#include <atomic>
#include <cstdlib>

extern "C" {
void* __libc_malloc(size_t size);
void __libc_free(void* pointer);
}

namespace {

const uint64_t kMarker = 0x53454C5641524231ull;
const uint64_t kAddressKey = 0xA5C3F00D12345678ull;

// On separate cache lines: producers allocate, the dispatching or releasing
// threads free.
alignas(64) std::atomic<uint64_t> g_allocated{0};
alignas(64) std::atomic<uint64_t> g_freed{0};

}  // namespace

void* countedPayloadAlloc(size_t size) {
  char* block = static_cast<char*>(__libc_malloc(size + 16));
  if (block == nullptr) return nullptr;
  char* payload = block + 16;
  reinterpret_cast<uint64_t*>(block)[0] = kMarker;
  reinterpret_cast<uint64_t*>(block)[1] = kAddressKey ^ reinterpret_cast<uintptr_t>(payload);
  g_allocated.fetch_add(1, std::memory_order_relaxed);
  return payload;
}

extern "C" void free(void* pointer) {
  if (pointer == nullptr) return;
  if ((reinterpret_cast<uintptr_t>(pointer) & 15u) == 0) {
    uint64_t* marker = reinterpret_cast<uint64_t*>(static_cast<char*>(pointer) - 16);
    if (marker[0] == kMarker && marker[1] == (kAddressKey ^ reinterpret_cast<uintptr_t>(pointer))) {
      marker[0] = 0;
      marker[1] = 0;
      g_freed.fetch_add(1, std::memory_order_relaxed);
      __libc_free(marker);
      return;
    }
  }
  __libc_free(pointer);
}

namespace payload_count {
uint64_t allocated() { return g_allocated.load(std::memory_order_acquire); }
uint64_t freed() { return g_freed.load(std::memory_order_acquire); }
}  // namespace payload_count
