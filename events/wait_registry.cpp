#include "events/wait_registry.h"

#include "core/scoped_lock.h"

void CStoredProvider::release(void* payload) {
  if (payload == nullptr || payload != pendingPayload.load(std::memory_order_acquire)) return;
  pendingPayload.store(nullptr, std::memory_order_relaxed);
  flightPermit.post();
}

WaitRegistry::WaitRegistry() : refusing(false), providerTotal(0) { pthread_mutex_init(&mutex, nullptr); }

WaitRegistry::~WaitRegistry() {
  for (auto& entry : providers) delete entry.second;
  pthread_mutex_destroy(&mutex);
}

void WaitRegistry::closeHandle(unsigned long handle) {
  ScopedLock lock(&mutex);
  closedHandles.insert(handle);
}

void WaitRegistry::reopenHandle(unsigned long handle) {
  ScopedLock lock(&mutex);
  closedHandles.erase(handle);
}

int WaitRegistry::admit(unsigned long handle, void* payload) {
  CStoredProvider* record = nullptr;
  {
    ScopedLock lock(&mutex);
    if (refusing.load(std::memory_order_relaxed) || closedHandles.count(handle) != 0) return REFUSED;
    // Thread handles are opaque: compare with the thread library's equality
    // test rather than trusting the map's ordering of them.
    for (auto& entry : providers) {
      if (pt::pthrequal(static_cast<pthread_t>(entry.first))) {
        record = entry.second;
        break;
      }
    }
  }
  if (record == nullptr) return REFUSED;
  // Only this thread removes its own record, so it cannot vanish while we wait.
  if (payload == nullptr) return ADMITTED;
  waiting.fetch_add(1, std::memory_order_acq_rel);
  record->flightPermit.wait();
  waiting.fetch_sub(1, std::memory_order_acq_rel);
  // The thread that woke us may still hold the registry mutex: the flag and
  // the record's own word are enough here.
  if (refusing.load(std::memory_order_acquire)) {
    // Woken by the stop: nothing will deliver this answer any more. Give the
    // permit back so the record stays consistent.
    record->flightPermit.post();
    return REFUSED;
  }
  record->pendingPayload.store(payload, std::memory_order_release);
  return ADMITTED;
}

void WaitRegistry::postReleased(void* payload) {
  if (payload == nullptr) return;
  // A pending payload was admitted after its provider registered, and is
  // freed only after it was queued and taken from the queue, so a provider
  // that could be waiting for this payload is counted here already.
  if (providerTotal.load(std::memory_order_acquire) == 0) return;
  ScopedLock lock(&mutex);
  for (auto& entry : providers) entry.second->release(payload);
}

void WaitRegistry::setProvider(pthread_t thread, bool add) {
  CStoredProvider* doomed = nullptr;
  {
    ScopedLock lock(&mutex);
    const unsigned long key = static_cast<unsigned long>(thread);
    auto it = providers.find(key);
    if (it == providers.end()) {
      if (add) providers.emplace(key, new CStoredProvider());
    } else if (!add) {
      doomed = it->second;
      providers.erase(it);
    }
    providerTotal.store(providers.size(), std::memory_order_release);
  }
  delete doomed;
}

void WaitRegistry::refuseAll() {
  ScopedLock lock(&mutex);
  refusing.store(true, std::memory_order_release);
  for (auto& entry : providers) entry.second->wake();
}

bool WaitRegistry::isClosed(unsigned long handle) {
  ScopedLock lock(&mutex);
  return closedHandles.count(handle) != 0;
}

size_t WaitRegistry::providerCount() {
  ScopedLock lock(&mutex);
  return providers.size();
}
