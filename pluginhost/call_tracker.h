// call_tracker.h - counts the call threads running code of each module.
//
// A call thread is counted from just before it starts until just after its
// entry has returned and its clean-up is done, keyed by its module's library.
// The unload pass waits until a module's count is 0 before its library goes.
// Safe from any thread; the tracker's mutex is a leaf.
#ifndef SELVAR_PLUGINHOST_CALL_TRACKER_H
#define SELVAR_PLUGINHOST_CALL_TRACKER_H

#include <pthread.h>

#include <map>

class CallTracker {
 public:
  CallTracker();
  ~CallTracker();
  CallTracker(const CallTracker&) = delete;
  CallTracker& operator=(const CallTracker&) = delete;

  void enter(const void* module);
  void leave(const void* module);

  // Waits until no call thread of module runs, at most timeoutMs (negative:
  // no limit). Returns true when none runs.
  bool waitIdle(const void* module, int timeoutMs);
  int liveCalls(const void* module);
  int liveCallsTotal();

 private:
  pthread_mutex_t mutex;  // guards live
  pthread_cond_t idle;    // broadcast when a count drops
  std::map<const void*, int> live;
};

#endif  // SELVAR_PLUGINHOST_CALL_TRACKER_H
