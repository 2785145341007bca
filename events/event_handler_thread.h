// event_handler_thread.h - the one dispatch thread.
//
// Waits on the core's event trigger and drains the event queue after every
// wake-up, until it has been signalled. The core creates, starts, signals
// and deletes it on the main thread; the destructor joins the thread.
#ifndef SELVAR_EVENTS_EVENT_HANDLER_THREAD_H
#define SELVAR_EVENTS_EVENT_HANDLER_THREAD_H

#include "compat/pt.h"

class ServiceCore;

class EventHandlerThread : public pt::thread {
 public:
  explicit EventHandlerThread(ServiceCore* core);
  ~EventHandlerThread() override;

 protected:
  void execute() override;
  void cleanup() override {}

 private:
  ServiceCore* core;
};

#endif  // SELVAR_EVENTS_EVENT_HANDLER_THREAD_H
