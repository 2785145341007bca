// buffer_registry.h - who holds which shared payload.
//
// One entry per hold: a payload may have several holders (the dispatch thread
// under EVENT_SOURCE_CORE, and each receiving module under its ID). Whoever
// drops the last hold owns the payload and frees it. Safe from any thread;
// every operation takes the registry's own (leaf) lock.
#ifndef SELVAR_CORE_BUFFER_REGISTRY_H
#define SELVAR_CORE_BUFFER_REGISTRY_H

#include <pthread.h>

#include <cstddef>
#include <map>

class BufferRegistry {
 public:
  BufferRegistry();
  ~BufferRegistry();  // drops the entries; frees no payload
  BufferRegistry(const BufferRegistry&) = delete;
  BufferRegistry& operator=(const BufferRegistry&) = delete;

  // Records one hold of payload by holder. A null payload records nothing.
  void addHold(char* payload, unsigned long holder);

  // Drops every hold of payload by holder. Returns true when that removed at
  // least one hold and none is left: the caller then owns the payload. A null
  // payload returns true at once (there is nothing to free). A payload with no
  // hold by this holder returns false, so an unknown pointer is never freed.
  bool releaseHold(char* payload, unsigned long holder);

  // Number of holds of payload (tests and diagnostics).
  size_t holdCount(char* payload);

 private:
  pthread_mutex_t mutex;                      // guards holds
  std::multimap<char*, unsigned long> holds;  // payload -> holder
};

#endif  // SELVAR_CORE_BUFFER_REGISTRY_H
