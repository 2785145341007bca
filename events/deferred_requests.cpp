// Requests kept back while the load pass runs.
#include "events/deferred_requests.h"

#include <cstdlib>
#include <cstring>

#include "core/payload_alloc.h"
#include "core/scoped_lock.h"

DeferredRequests::DeferredRequests() { pthread_mutex_init(&mutex_, nullptr); }

DeferredRequests::~DeferredRequests() {
  for (const _EventParmsIn& request : takeAll()) free(request.data);
  pthread_mutex_destroy(&mutex_);
}

void DeferredRequests::defer(const _EventParmsIn& request) {
  _EventParmsIn kept = request;
  if (kept.data != nullptr) {
    void* copy = allocPayload(kept.dataSize != 0 ? kept.dataSize : 1);
    if (copy == nullptr) return;
    memcpy(copy, request.data, kept.dataSize);
    kept.data = copy;
  }
  ScopedLock lock(&mutex_);
  requests_.push_back(kept);
}

std::vector<_EventParmsIn> DeferredRequests::takeAll() {
  std::vector<_EventParmsIn> taken;
  ScopedLock lock(&mutex_);
  taken.swap(requests_);
  return taken;
}

bool DeferredRequests::empty() {
  ScopedLock lock(&mutex_);
  return requests_.empty();
}
