#include "events/event_handler_thread.h"

#include "core/service_core.h"

EventHandlerThread::EventHandlerThread(ServiceCore* core_) : pt::thread(false), core(core_) {}

EventHandlerThread::~EventHandlerThread() { waitfor(); }

void EventHandlerThread::execute() {
  // The signal is tested only before each wait: the drain that the stop's
  // trigger post wakes runs to its end before the thread leaves.
  while (!get_signaled()) {
    core->eventTrigger->wait();
    core->drainEventQueue();
  }
}
