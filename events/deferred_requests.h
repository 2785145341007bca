// deferred_requests.h - requests that arrive while the load pass still
// fills the module table.
//
// A request must reach every module that is loaded when it is answered, so
// one that arrives before the table is complete is copied (with its
// payload) and kept here; the main thread starts them all once the table is
// complete. Any thread may defer; takeAll() is the main thread's.
#ifndef SELVAR_EVENTS_DEFERRED_REQUESTS_H
#define SELVAR_EVENTS_DEFERRED_REQUESTS_H

#include <vector>

#include "core/thread_annotations.h"
#include "events/event_record.h"

class DeferredRequests {
 public:
  DeferredRequests();
  // Frees the payloads of requests never taken.
  ~DeferredRequests();
  DeferredRequests(const DeferredRequests&) = delete;
  DeferredRequests& operator=(const DeferredRequests&) = delete;

  // Keeps a copy of request and its payload; without memory for the
  // payload the request is dropped, since it must not run without it.
  void defer(const _EventParmsIn& request) EXCLUDES(mutex_);
  // The requests deferred so far, in order; their payloads (data) are now
  // the caller's to free.
  std::vector<_EventParmsIn> takeAll() EXCLUDES(mutex_);
  bool empty() EXCLUDES(mutex_);

 private:
  PthreadMutex mutex_;
  std::vector<_EventParmsIn> requests_ GUARDED_BY(mutex_);
};

#endif  // SELVAR_EVENTS_DEFERRED_REQUESTS_H
