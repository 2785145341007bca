// call_tracker.h - counts the call threads running code of each module.
//
// A call thread is counted from just before it starts until just after its
// entry has returned and its clean-up is done, keyed by its module's library
// handle.
// The unload pass waits until a library's count is 0 before it goes.
// The counts outlive the tracker while calls are live: a call the unload
// pass gave up on may return after the core (which owns the tracker) has
// been destroyed, and then touches only the shared counts, which the last
// of them frees. Safe from any thread; the tracker's mutex is a leaf.
#ifndef SELVAR_PLUGINHOST_CALL_TRACKER_H
#define SELVAR_PLUGINHOST_CALL_TRACKER_H

#include <pthread.h>

#include <map>

class CallTracker {
 public:
  // The counts, shared by the tracker and its live calls.
  struct Shared;

  CallTracker();
  ~CallTracker();  // waits for pinned uses of the owner, not for calls
  CallTracker(const CallTracker&) = delete;
  CallTracker& operator=(const CallTracker&) = delete;

  void enter(const void* library);
  void leave(const void* library) { leave(shared_, library); }

  // Waits until no call thread of library runs, at most timeoutMs (negative:
  // no limit). Returns true when none runs.
  bool waitIdle(const void* library, int timeoutMs);
  int liveCalls(const void* library);
  int liveCallsTotal();

  // For a call thread that entered: valid until its own leave, whether or
  // not the tracker still exists.
  Shared* shared() const { return shared_; }
  static void leave(Shared* shared, const void* library);
  // Keeps the tracker's owner from being destroyed while the caller uses it
  // (a few instructions); false when it is gone or going.
  static bool pinOwner(Shared* shared);
  static void unpinOwner(Shared* shared);

 private:
  Shared* shared_;
};

#endif  // SELVAR_PLUGINHOST_CALL_TRACKER_H
