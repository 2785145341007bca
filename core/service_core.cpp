// ServiceCore construction, start and stop sequences.
#include "core/service_core.h"

#include <algorithm>
#include <cstdlib>

#include "compat/monotonic_clock.h"
#include "core/scoped_lock.h"
#include "events/event_handler_thread.h"
#include "housekeeping/scheduler_environment.h"
#include "housekeeping/scheduler_thread.h"

ServiceCore* g_Service = nullptr;
ServiceCore* g_pDVRCore = nullptr;

ServiceCore::ServiceCore(const wxFileName& executable)
    : queueState(QUEUE_OPEN),
      queueBudget(EVENT_QUEUE_MAX_RECORDS, EVENT_QUEUE_MAX_BYTES),
      eventTrigger(nullptr),
      dispatchIdle(true),
      stopDrainExtra(0),
      eventThread(nullptr),
      schedulerThread(nullptr),
      eventQueue(&queueBudget),
      throttling(false),
      lowMemorySince(0),
      schedulerEnvironment(SchedulerEnvironment::system()),
      tableState(TABLE_BUILDING),
      tableWalkers(0),
      dispatchBatch(&queueBudget),
      retiredTrigger(nullptr) {
  pthread_mutex_init(&queueMutex, nullptr);
  pthread_mutex_init(&idLock, nullptr);
  __atomic_store_n(&g_pDVRCore, this, __ATOMIC_SEQ_CST);
  executablePath = executable;
}

ServiceCore::~ServiceCore() {
  // From here on a module thread's FlatPluginEvent is refused without
  // touching this object; calls already inside it are waited for.
  closeEventEntry(this);
  delete retiredTrigger;
  pthread_mutex_destroy(&idLock);
  pthread_mutex_destroy(&queueMutex);
}

bool ServiceCore::start() {
  {
    ScopedLock lock(&queueMutex);
    eventTrigger = new pt::trigger(true, false);
  }
  modules.clear();
  counters.startedMs.store(monotonicCoarseMs(), std::memory_order_relaxed);
  tableState = TABLE_BUILDING;
  loadModules();
  publishFiguresById();
  // Requests submitted during the load pass were deferred until the table
  // was complete; they start their Read calls now.
  setTableState(TABLE_OPEN);
  startDeferredRequests();
  openModules();
  postModuleStatus();
  startEventThread();
  startSchedulerThread();
  return true;
}

bool ServiceCore::startEventThread() {
  // The receiver lists are worked out afresh for the table as it is now.
  routeCache.clear();
  eventThread = new EventHandlerThread(this);
  eventThread->start();
  return true;
}

bool ServiceCore::startSchedulerThread() {
  schedulerThread = new SchedulerThread(this);
  schedulerThread->start();
  return true;
}

void ServiceCore::stopSchedulerThread() {
  if (schedulerThread == nullptr) return;
  schedulerThread->signal();
  // The destructor joins the thread: no polling delay is added to the stop.
  delete schedulerThread;
  schedulerThread = nullptr;
}

void ServiceCore::stopEventThread() {
  if (eventThread == nullptr) return;
  eventThread->signal();
  postTrigger();
  delete eventThread;
  eventThread = nullptr;
}

void ServiceCore::stop() {
  // From the stop on only the dispatch thread's own deliveries may still
  // queue (a bounded number): the last drain delivers what was accepted
  // before, and ends however fast other threads keep submitting.
  setQueueState(QUEUE_CLOSING);
  stopSchedulerThread();
  // From the stop on, provider answers are refused and providers waiting in
  // their pacing wait are woken and refused, so that their Read calls end:
  // otherwise every freed answer would admit the next one and the last drain
  // would go on for as long as any provider has something to send.
  waitRegistry.refuseAll();
  stopEventThread();
  // Nothing submitted from now on would be delivered: it is refused.
  setQueueState(QUEUE_CLOSED);
  closeModules();
  unloadModules();
  modules.clear();
  ScopedLock lock(&queueMutex);
  while (!eventQueue.empty()) {
    free(eventQueue.front().data);
    eventQueue.pop();
  }
  // A submitter that queued before this point may still be about to post the
  // trigger: the object is kept until the core is destroyed.
  if (eventTrigger != nullptr) {
    delete retiredTrigger;
    retiredTrigger = eventTrigger;
    eventTrigger = nullptr;
  }
}

void ServiceCore::setTableState(TableState state) {
  tableState.store(state);
  // A walker that counted itself before seeing the new state finishes its
  // walk first; walkers that count themselves later see the new state.
  while (tableWalkers.load() != 0) pt::psleep(1);
}

void ServiceCore::postTrigger() {
  ScopedLock lock(&queueMutex);
  if (eventTrigger != nullptr) eventTrigger->post();
}

void ServiceCore::setQueueState(QueueState state) {
  ScopedLock lock(&queueMutex);
  if (queueState.load() == QUEUE_CLOSED) return;
  queueState.store(state, std::memory_order_release);
  stopDrainExtra = 0;
}

int ServiceCore::enqueue(const _EventParmsIn& event) {
  pt::trigger* wake = nullptr;
  {
    ScopedLock lock(&queueMutex);
    // Without a trigger (never started, or stopped) nothing would deliver it.
    if (eventTrigger == nullptr) return stoppingResult(event);
    const int state = queueState.load(std::memory_order_relaxed);
    if (state != QUEUE_OPEN) {
      // Closing: the last drain takes what its own deliveries submit, up to
      // a bound, so that a chain of deliveries cannot keep it going.
      if (state == QUEUE_CLOSED || !onDispatchThread() || stopDrainExtra >= STOP_DRAIN_EXTRA_EVENTS)
        return stoppingResult(event);
      ++stopDrainExtra;
    }
    eventQueue.push(event);
    // The dispatch thread drains until it finds the queue empty (under this
    // lock) and only then waits: while it works, pushes need not wake it,
    // and only the first push after it found the queue empty posts.
    if (dispatchIdle) {
      dispatchIdle = false;
      wake = eventTrigger;
    }
  }
  // Posted after the unlock, so that the woken dispatch thread does not run
  // straight into the lock this thread still holds. The trigger object lives
  // until the core is destroyed: stop() only retires it.
  if (wake != nullptr) wake->post();
  return EVR_OK;
}

int ServiceCore::stoppingResult(const _EventParmsIn& event) {
  // A provider's answer is refused as providers know it: their Read ends.
  return event.requestHandle != 0 ? EVR_HANDLE_REFUSED : EVR_STOPPING;
}

namespace {
// Tells the tables of successive cores apart (0: none published).
std::atomic<uint64_t> g_figuresGenerations{0};
}  // namespace

__thread FiguresLookup g_lastFiguresLookup = {0, 0, nullptr};

void ServiceCore::publishFiguresById() {
  if (figuresGeneration.load(std::memory_order_relaxed) != 0) return;  // start() runs once
  for (const _PlugInInfo& info : modules) figuresById.emplace_back(info.moduleId(), info.figures);
  std::sort(figuresById.begin(), figuresById.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  figuresGeneration.store(g_figuresGenerations.fetch_add(1) + 1, std::memory_order_release);
}
