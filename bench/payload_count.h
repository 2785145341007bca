// payload_count.h - counts payload copies from allocation to free.
//
// The benchmark installs countedPayloadAlloc as the service's payload
// allocator (before any core exists) and uses it for its own baselines'
// payloads. Each such block carries a marker in front of it; the program's
// free() (payload_count.cpp) recognises the marker, counts the block and
// frees it. So "every payload freed" is checked by count, for the service
// and the baselines alike: outstanding() returns to 0 once all are freed.
#ifndef SELVAR_BENCH_PAYLOAD_COUNT_H
#define SELVAR_BENCH_PAYLOAD_COUNT_H

#include <cstddef>
#include <cstdint>

void* countedPayloadAlloc(size_t size);

namespace payload_count {
uint64_t allocated();
uint64_t freed();
inline int64_t outstanding() { return static_cast<int64_t>(allocated() - freed()); }
}  // namespace payload_count

#endif  // SELVAR_BENCH_PAYLOAD_COUNT_H
