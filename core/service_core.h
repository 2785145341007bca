// service_core.h - the one object that holds the running service's state.
//
// ServiceCore owns the module table, the event queue, the dispatch and
// scheduler threads and the locks of event routing. The main thread
// constructs, starts, stops and destroys it; any thread may submit events
// (submitEvent, through FlatPluginEvent). Each lock guards one member and is
// a leaf: no path holds two, none is held around a module's entry point.
//
// Error values, the one rule for the service's code; the core throws
// nothing itself.
//  - A bool result answers the question its declaration asks: for an
//    action, true when it was done and false when it was not; for a hold
//    given back (BufferRegistry), true when the caller now owns the payload
//    and must free it.
//  - An int result belongs to one of three families:
//    a flag (0 or 1: postModuleStatus, loadMemoryWatchSetting); a result
//    code (EVR_* of events/event_record.h, or a class's own enum such as
//    WaitRegistry's ADMITTED/REFUSED), where 0 is success; or a count (0 or
//    more: CallTracker::liveCalls).
//  - Across the module boundary the outcome travels as a result code in the
//    out-record: submitEvent always returns 0, and of a module entry point's
//    own return value only Load's means anything.
//  - Only the service host (app/) and the loader (pluginhost/plugin_loader.cpp,
//    pluginhost/module_loading.cpp) log; everything else reports upwards.
#ifndef SELVAR_CORE_SERVICE_CORE_H
#define SELVAR_CORE_SERVICE_CORE_H

#include <pthread.h>
#include <wx/filename.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "compat/pt.h"
#include "core/buffer_registry.h"
#include "core/event_queue.h"
#include "core/thread_annotations.h"
#include "events/deferred_requests.h"
#include "events/event_record.h"
#include "events/route_cache.h"
#include "events/wait_registry.h"
#include "housekeeping/service_figures.h"
#include "pluginhost/call_tracker.h"
#include "pluginhost/plugin_info.h"

class EventHandlerThread;
class SchedulerThread;
class SchedulerEnvironment;
class TiXmlDocument;

class ServiceCore {
 public:
  explicit ServiceCore(const wxFileName& executable);
  ~ServiceCore();
  ServiceCore(const ServiceCore&) = delete;
  ServiceCore& operator=(const ServiceCore&) = delete;

  // Lifecycle, main thread only. start() is called at most once; stop() is
  // safe in every state and more than once.
  bool start();
  void stop();
  bool startEventThread();
  bool startSchedulerThread();
  void stopSchedulerThread();
  void stopEventThread();

  // Module passes (pluginhost/plugin_loader.cpp), main thread only.
  bool loadModules();
  void openModules();
  bool closeModules();
  bool unloadModules();
  wxString pluginDirectory() const;

  // Event submission (events/submit_event.cpp). Any thread. Always returns 0;
  // the outcome is written to out->result.
  int submitEvent(const _EventParmsIn* in, _EventParmsOut* out);

  // Accepted events not yet delivered (tests and diagnostics).
  uint64_t undeliveredEvents() const { return queueBudget.records(); }

  // The queue's life: open from construction; closing from the start of
  // stop(), when only the dispatch thread's own deliveries may still submit
  // (at most STOP_DRAIN_EXTRA_EVENTS); closed once the last drain has ended.
  enum QueueState { QUEUE_OPEN = 0, QUEUE_CLOSING = 1, QUEUE_CLOSED = 2 };
  // Written under queueMutex; submitters read it without the lock first to
  // refuse early, and enqueue() checks it again under the lock.
  std::atomic<int> queueState;

  // Delivers every queued event (events/drain_event_queue.cpp). Dispatch
  // thread only.
  void drainEventQueue();

  // Documents and notices (housekeeping/status_document.cpp).
  int postModuleStatus();                                     // main thread, at start
  void postDocument(const TiXmlDocument& document, uint32_t flags);  // any thread
  void postNotice(const std::string& text);                   // any thread
  void saveMemoryState(int watchOn);                          // scheduler thread
  int loadMemoryWatchSetting();                               // scheduler thread
  void postMemoryState(int32_t time);                         // scheduler thread

  // The memory watch's state machine (housekeeping/). Scheduler thread only.
  void updateThrottling(bool overLimit, int32_t now);

  // --- Members, in the order the design gives them ---
  // What the queue may hold (accepted, not yet delivered): reserved before
  // a payload is copied, given back as records are delivered. Declared
  // first: the queues use it.
  QueueBudget queueBudget;
  PthreadMutex queueMutex;                 // guards eventQueue, eventTrigger's lifetime, queue state
  // Owned; null before start and after stop. The dispatch thread waits on it
  // without the lock: start() sets it before that thread exists and stop()
  // retires it only after that thread has been joined.
  pt::trigger* eventTrigger GUARDED_BY(queueMutex);

 private:
  // Beside the lock that guards them: every submission reads them under it.
  // The dispatch thread found the queue empty and is about to wait (or
  // waits) on eventTrigger; the next push posts it.
  bool dispatchIdle GUARDED_BY(queueMutex);
  // Events the dispatch thread's deliveries submitted since the stop began.
  uint32_t stopDrainExtra GUARDED_BY(queueMutex);

 public:
  std::vector<_PlugInInfo> modules;        // changes shape only on the main thread, see tableState
  EventHandlerThread* eventThread;         // owned; null when not running
  SchedulerThread* schedulerThread;        // owned; null when not running
  EventQueue eventQueue GUARDED_BY(queueMutex);  // FIFO; payloads owned by the queue; reserves from queueBudget
  BufferRegistry bufferRegistry;
  PthreadMutex idLock;
  std::map<unsigned long, unsigned long> idTable GUARDED_BY(idLock);  // counted source -> events since registration
  WaitRegistry waitRegistry;
  wxFileName executablePath;
  // Written by the scheduler only; submitters read it without a lock, since
  // a stale value only lets one event more through or refuses one early.
  std::atomic<bool> throttling;
  int32_t lowMemorySince;                  // scheduler thread only; 0: no episode

  // --- Additions of this implementation ---
  CallTracker callTracker;                 // live call threads per module library

  // Where the scheduler takes its time, heap use and pass waits from. Points
  // to the system's sources; tests replace it before start().
  SchedulerEnvironment* schedulerEnvironment;

  // Whether the request road may walk `modules`. While the load pass fills
  // the table, requests are deferred and started once it is complete; from
  // the close pass on, requests start nothing. Walkers count themselves in
  // tableWalkers so the main thread can wait for them before changing the
  // table's shape. Both are read without a lock: the count-then-check order
  // on two atomics is the gate, and the walkers' own lock would be held
  // around module calls.
  enum TableState { TABLE_BUILDING = 0, TABLE_OPEN = 1, TABLE_CLOSED = 2 };
  std::atomic<int> tableState;
  std::atomic<int> tableWalkers;
  // What the service counts about itself (housekeeping/service_figures.h).
  ServiceCounters counters;
  // The figures of the module with this ID, or null (not a module's ID, or
  // asked before the load pass ended). Any thread, no lock.
  inline ModuleFigures* figuresOf(uint32_t moduleId) const;

  // Requests that arrived while the load pass filled the table.
  DeferredRequests deferredRequests;

 private:
  // Request road: one Read call per matching reading module.
  void startRequestReads(const _EventParmsIn& request);
  // Starts the deferred requests once the table is complete; main thread.
  void startDeferredRequests();
  // Waits until no thread walks the table and moves it to state.
  void setTableState(TableState state);
  // Counted-source bookkeeping; returns EVR_OK or the refusal code.
  int countSource(const _EventParmsIn& event) EXCLUDES(idLock);
  // Post-before-free: the woken provider's next payload can never be
  // mistaken for this one.
  void freeReleasedPayload(char* payload);
  // Pushes onto the queue and posts the trigger; EVR_OK, or the refusal
  // (the event was not queued) when the queue is closing or closed.
  int enqueue(const _EventParmsIn& event) EXCLUDES(queueMutex);
  // The result for an event refused because the service stops.
  static int stoppingResult(const _EventParmsIn& event);
  void setQueueState(QueueState state) EXCLUDES(queueMutex);
  // True on the dispatch thread of this core, inside its drain.
  bool onDispatchThread() const;
  void postTrigger() EXCLUDES(queueMutex);
  // One event's delivery (events/drain_event_queue.cpp): its receivers and
  // figures, then the pass over the receivers.
  void deliverEvent(const _EventParmsIn& event);
  template <bool kTimed>
  uint64_t deliverPass(const _EventParmsIn& event, Route* routes, size_t count, uint32_t timedEvery);
  void deliverTimed(const _EventParmsIn& event, Route* routes, size_t count);

  // The dispatch thread's own state: the batch it is delivering (taken from
  // eventQueue in one step) and its receiver lists, which it writes on every
  // event: on lines of their own, so that no submitter's line is written
  // along with them.
  EventQueue dispatchBatch;
  alignas(64) RouteCache routeCache;
  // The event road proper; returns the result for the submitter.
  int submitToQueue(const _EventParmsIn* in);
  // The release road, and a refused submission's count for its sender.
  void releasePayload(const _EventParmsIn& release);
  void countRefused(uint32_t sourceId, int result);
  // Module IDs and their figures, sorted by ID: filled once on the main
  // thread when the load pass ends, then published by figuresGeneration
  // (0 until then) and never changed. The entries own the figures, so a module thread that
  // submits after its module was unloaded still counts safely.
  // Lines of their own: every submission reads them, and a neighbour the
  // dispatch thread writes would make each read a miss.
  alignas(64) std::atomic<uint64_t> figuresGeneration{0};
  std::vector<std::pair<uint32_t, std::shared_ptr<ModuleFigures>>> figuresById;
  char figuresPadding[64 - sizeof(std::atomic<uint64_t>) -
                      sizeof(std::vector<std::pair<uint32_t, std::shared_ptr<ModuleFigures>>>)];
  void publishFiguresById();
  // figuresOf's search when this thread's last lookup does not match.
  ModuleFigures* findFigures(uint32_t moduleId, uint64_t generation) const;

  // The trigger stop() took away; deleted with the core, since a submitter
  // may still be posting it.
  pt::trigger* retiredTrigger GUARDED_BY(queueMutex);
};

// The last figures lookup of this thread: a module's thread submits under
// its own ID, and the dispatch thread meets one sender many times in a row,
// so this saves the search nearly every time. Keyed by the table's
// generation, not the core's address, which a later core may reuse.
struct FiguresLookup {
  uint64_t generation;
  uint32_t id;
  ModuleFigures* figures;
};
extern __thread FiguresLookup g_lastFiguresLookup __attribute__((tls_model("initial-exec")));

inline ModuleFigures* ServiceCore::figuresOf(uint32_t moduleId) const {
  const uint64_t generation = figuresGeneration.load(std::memory_order_acquire);
  if (generation == 0) return nullptr;
  if (__builtin_expect(g_lastFiguresLookup.generation == generation && g_lastFiguresLookup.id == moduleId, 1))
    return g_lastFiguresLookup.figures;
  return findFigures(moduleId, generation);
}

// The application's owning pointer to the core, and the pointer through which
// FlatPluginEvent reaches it (set by the constructor, never cleared).
extern ServiceCore* g_Service;
extern ServiceCore* g_pDVRCore;

// Refuses FlatPluginEvent from now on if it reaches core, and waits until
// no call is inside the core any more (events/flat_plugin_event.cpp). The
// core's destructor calls it.
void closeEventEntry(ServiceCore* core);

// Queue limits. Sized against the memory watch (190 MiB of heap): a full
// queue holds at most a sixth of it in payloads, while a recorder's streams
// (a few events per frame, frames of tens to hundreds of KiB) keep a few
// milliseconds' worth queued. Submissions past either limit are refused with
// EVR_NO_MEMORY and copy nothing.
const uint32_t EVENT_QUEUE_MAX_RECORDS = 16384;
const uint64_t EVENT_QUEUE_MAX_BYTES = 32ull << 20;
// Events the deliveries of the stop's last drain may add to it.
const uint32_t STOP_DRAIN_EXTRA_EVENTS = 4096;

#endif  // SELVAR_CORE_SERVICE_CORE_H
