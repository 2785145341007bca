// Event submission: the release, stop, request and event roads.
//
// Every record a module or the service submits arrives here and takes one
// road. A release gives back a payload its holder kept and frees it when
// that was the last hold. A stop closes a request handle. A request starts
// one Read call per matching reading module, or is deferred while the load
// pass still fills the table. An event is copied, within the queue's bound,
// onto the queue the dispatch thread delivers from; a provider's answer
// first waits for its previous payload to be freed. How a payload lives from
// here to its free(), step by step and file by file: docs/design.md.
#include <algorithm>
#include <cstdlib>

#include "core/payload_alloc.h"
#include "core/scoped_lock.h"
#include "core/service_core.h"
#include "pluginhost/plugin_thread.h"

namespace {

// Counted events: EVF_MASK0 in flags together with EVC_COUNTED in the class.
bool isCounted(const _EventParmsIn& event) {
  return (event.flags & EVF_MASK0) != 0 && (event.eventClass & EVC_COUNTED) != 0;
}

// The request road matches the class with its top byte shifted right.
uint32_t requestPattern(uint32_t eventClass) {
  return (eventClass & 0x00FFFFFFu) | ((eventClass & 0xFF000000u) >> 1);
}

}  // namespace

ModuleFigures* ServiceCore::findFigures(uint32_t moduleId, uint64_t generation) const {
  const auto it = std::lower_bound(figuresById.begin(), figuresById.end(), moduleId,
                                   [](const auto& entry, uint32_t id) { return entry.first < id; });
  ModuleFigures* found = it != figuresById.end() && it->first == moduleId ? it->second.get() : nullptr;
  g_lastFiguresLookup = {generation, moduleId, found};
  return found;
}

__attribute__((always_inline)) inline int ServiceCore::submitToQueue(const _EventParmsIn* in) {
  // From the stop on, only the dispatch thread's own deliveries may still
  // queue; everything else would never be delivered.
  _EventParmsIn event = *in;
  if (queueState.load(std::memory_order_acquire) != QUEUE_OPEN && !onDispatchThread())
    return stoppingResult(event);
  bool counted = false;
  if (isCounted(event)) {
    const int verdict = countSource(event);
    if (verdict != EVR_OK) return verdict;
    counted = true;
  }

  // From here on a set pointer means a payload to copy.
  if (!carriesEventPayload(event.data, event.dataSize)) {
    event.data = nullptr;
    event.dataSize = 0;
  }
  // The queue's bound is reserved before anything is copied; a full queue
  // and a failed copy are the same to the submitter.
  bool reserved = queueBudget.reserve(event.dataSize);
  if (reserved && event.data != nullptr) {
    event.data = copyNonEmptyPayload(in->data, event.dataSize);
    if (event.data == nullptr) {
      queueBudget.release(1, event.dataSize);
      reserved = false;
    }
  }
  if (!reserved) {
    if (counted) {
      ScopedLock lock(&idLock);
      idTable.erase(event.sourceId);
    }
    return EVR_NO_MEMORY;
  }

  if (event.requestHandle != 0 && waitRegistry.admit(event.requestHandle, event.data) != WaitRegistry::ADMITTED) {
    free(event.data);
    queueBudget.release(1, event.dataSize);
    return EVR_HANDLE_REFUSED;
  }

  const int queued = enqueue(event);
  if (queued != EVR_OK) {
    // The service stops: nothing will deliver it. The payload was admitted,
    // so its provider's flight permit is given back first.
    waitRegistry.postReleased(event.data);
    free(event.data);
    queueBudget.release(1, event.dataSize);
  }
  return queued;
}

// Out of line: the event road, which every submission of a stream takes,
// keeps a small frame.
__attribute__((noinline)) void ServiceCore::releasePayload(const _EventParmsIn& release) {
  char* payload = static_cast<char*>(release.data);
  // The service's own holder ID is the dispatch thread's: a module naming
  // it could free a payload while it is still being delivered.
  BufferRegistry::ReleaseKind kind = BufferRegistry::RELEASED_NOTHING;
  if (payload != nullptr && release.sourceId != EVENT_SOURCE_CORE &&
      bufferRegistry.releaseHold(payload, release.sourceId, &kind))
    freeReleasedPayload(payload);
  if (ModuleFigures* figures = figuresOf(release.sourceId)) {
    figures->releases.fetch_add(1, std::memory_order_relaxed);
    if (kind == BufferRegistry::RELEASED_HOLD)
      figures->keptNow.fetch_sub(1, std::memory_order_relaxed);
    else if (kind == BufferRegistry::RELEASED_NOTHING)
      figures->foreignReleases.fetch_add(1, std::memory_order_relaxed);
  }
}

__attribute__((noinline)) void ServiceCore::countRefused(uint32_t sourceId, int result) {
  if (ModuleFigures* figures = figuresOf(sourceId)) figures->countRefused(result);
}

int ServiceCore::submitEvent(const _EventParmsIn* in, _EventParmsOut* out) {
  // Release road: a receiver gives back a payload it kept.
  if (in->flags == EVF_RELEASE) {
    releasePayload(*in);
    // Nothing was queued: the dispatch thread has nothing to do for a release.
    out->result = EVR_OK;
    return 0;
  }

  // Stop road: the requester closes a handle.
  if (in->sourceId == 0 && in->flags == EVF_STOP) {
    waitRegistry.closeHandle(in->requestHandle);
    out->result = EVR_OK;
    return 0;
  }

  // Request road: one Read call per matching reading module.
  if (in->sourceId == 0) {
    waitRegistry.reopenHandle(in->requestHandle);
    tableWalkers.fetch_add(1);
    const int state = tableState.load();
    if (state == TABLE_OPEN)
      startRequestReads(*in);
    else if (state == TABLE_BUILDING)
      deferredRequests.defer(*in);
    // TABLE_CLOSED: the modules are closing; nothing starts any more.
    tableWalkers.fetch_sub(1);
    out->result = EVR_OK;
    return 0;
  }

  // Event road.
  const int result = submitToQueue(in);
  out->result = result;
  if (__builtin_expect(result != EVR_OK, 0)) countRefused(in->sourceId, result);
  return 0;
}

int ServiceCore::countSource(const _EventParmsIn& event) {
  ScopedLock lock(&idLock);
  auto it = idTable.find(event.sourceId);
  if (EVENT_REGISTRATION(&event) == 1) {
    if (it == idTable.end())
      it = idTable.emplace(event.sourceId, 0).first;
    else
      it->second = 0;
  } else {
    if (it == idTable.end()) return EVR_UNREGISTERED;
    if (it->second > COUNTED_EVENT_LIMIT - 1) {
      idTable.erase(it);
      return EVR_LIMIT;
    }
    ++it->second;
  }
  if (throttling.load(std::memory_order_relaxed)) {
    idTable.erase(it);
    return EVR_THROTTLED;
  }
  return EVR_OK;
}

void ServiceCore::freeReleasedPayload(char* payload) {
  waitRegistry.postReleased(payload);
  free(payload);
}

void ServiceCore::startRequestReads(const _EventParmsIn& request) {
  const uint32_t pattern = requestPattern(request.eventClass);
  for (size_t i = 0; i < modules.size(); ++i) {
    _PlugInInfo& info = modules[i];
    if (info.library == nullptr || info.loadInfo.hasReader == 0) continue;
    if (!info.matches(request.flags, pattern)) continue;
    PluginCallRequest call;
    PluginCallReply reply;
    initCallBlocks(ENTRY_READ, &call, &reply);
    call.in.read.dataSize = requestPayloadSize(request.data, request.dataSize);
    call.in.read.data = request.data;
    call.in.read.requestHandle = request.requestHandle;
    PluginThread::launch(this, info.fnRead, call, reply, info.library, nullptr, info.figures);
  }
}

void ServiceCore::startDeferredRequests() {
  for (const _EventParmsIn& request : deferredRequests.takeAll()) {
    startRequestReads(request);
    free(request.data);
  }
}
