// Requests kept back while the load pass runs.
#include "events/deferred_requests.h"

#include <cstdlib>

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
    kept.data = copyPayload(request.data, kept.dataSize);
    if (kept.data == nullptr) return;
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
