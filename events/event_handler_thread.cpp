#include "events/event_handler_thread.h"

#include "core/service_core.h"

EventHandlerThread::EventHandlerThread(ServiceCore* core_) : pt::thread(false), core(core_) {}

EventHandlerThread::~EventHandlerThread() { waitfor(); }

// Waits on the trigger without queueMutex: the pointer is set before this
// thread starts and retired only after it has been joined.
void EventHandlerThread::execute() NO_THREAD_SAFETY_ANALYSIS {
  // The signal is tested only before each wait: the drain that the stop's
  // trigger post wakes runs to its end before the thread leaves.
  while (!get_signaled()) {
    core->eventTrigger->wait();
    core->drainEventQueue();
  }
}
