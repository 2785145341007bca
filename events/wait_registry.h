// wait_registry.h - closed request handles and provider pacing.
//
// A request handle is open until a stop closes it; answers under a closed
// handle are refused. Each provider thread (a call thread running a Read for
// a request with a non-zero handle) has one CStoredProvider that lets at most
// one of its payloads be in flight: its next answer waits in admit() until the
// previous payload has been freed (postReleased). Safe from any thread; the
// registry's mutex is a leaf and is never held during the pacing wait, and a
// provider woken from that wait does not take it again.
#ifndef SELVAR_EVENTS_WAIT_REGISTRY_H
#define SELVAR_EVENTS_WAIT_REGISTRY_H

#include <pthread.h>

#include <atomic>
#include <map>
#include <set>

#include "compat/pt.h"
#include "core/thread_annotations.h"

// The pacing record of one provider thread. Used only by WaitRegistry.
class CStoredProvider {
 public:
  CStoredProvider() : flightPermit(1), pendingPayload(nullptr) {}

  // Ends the flight of payload if it is the pending one.
  // REQUIRES: registry mutex held.
  void release(void* payload);
  // Wakes a waiting acquire without a release (service stop).
  // REQUIRES: registry mutex held.
  void wake() { flightPermit.post(); }

 private:
  // Count 1 while nothing is in flight; the provider takes it in admit()
  // (outside the registry mutex), release() and wake() give it back.
  pt::semaphore flightPermit;
  // Written by the provider itself once admitted (its payload cannot be
  // released before it has been queued), cleared by release() under the
  // registry mutex.
  std::atomic<void*> pendingPayload;
  friend class WaitRegistry;
};

class WaitRegistry {
 public:
  enum AdmitResult { ADMITTED = 0, REFUSED = 1 };

  WaitRegistry();
  ~WaitRegistry();
  WaitRegistry(const WaitRegistry&) = delete;
  WaitRegistry& operator=(const WaitRegistry&) = delete;

  void closeHandle(unsigned long handle);
  void reopenHandle(unsigned long handle);

  // Admits one answer under handle from the calling thread. Refused when the
  // handle is closed, the calling thread has no provider record, or the
  // service is stopping. May block until the caller's previous payload is
  // freed. The closed-handle test is made before the wait.
  int admit(unsigned long handle, void* payload);

  // A payload has been freed (or is about to be: call before free() so its
  // address cannot be reused by another provider's payload in between).
  void postReleased(void* payload);

  // Creates (add) or removes the calling provider thread's record.
  void setProvider(pthread_t thread, bool add);

  // Service stop: from now on every admit is refused, and providers blocked
  // in their pacing wait are woken and refused, so none can hang the stop.
  void refuseAll();

  // Tests and diagnostics.
  bool isClosed(unsigned long handle);
  size_t providerCount();
  // Providers inside their pacing wait now (their answers are copied and
  // reserved against the queue's bound, but not queued).
  size_t waitingProviders() const { return waiting.load(std::memory_order_acquire); }

 private:
  PthreadMutex mutex;
  std::set<unsigned long> closedHandles GUARDED_BY(mutex);  // closed, not reopened
  std::map<unsigned long, CStoredProvider*> providers GUARDED_BY(mutex);  // thread handle -> record (owned)
  // Set by refuseAll under the mutex; a provider woken from its pacing wait
  // reads it without the mutex, which its waker may still hold.
  std::atomic<bool> refusing;
  // providers.size(), readable without the mutex: while no provider is
  // registered no payload can be pending, and postReleased has nothing to do.
  std::atomic<size_t> providerTotal;
  std::atomic<size_t> waiting{0};  // threads between entering and leaving the pacing wait
};

#endif  // SELVAR_EVENTS_WAIT_REGISTRY_H
