// pt.h - the small threading layer the service is written against.
//
// A thread class with a self-deleting (autofree) mode and a relax wait, an
// event trigger, counting semaphores with and without a time limit, a sleep
// and a "is this the calling thread" test, all on POSIX threads. Every object
// here is safe to use from any thread; the notes on each class say which
// operations belong to the owner.
#ifndef SELVAR_COMPAT_PT_H
#define SELVAR_COMPAT_PT_H

#include <pthread.h>
#include <signal.h>

#include <atomic>

#include "core/scoped_lock.h"
#include "core/thread_annotations.h"

namespace pt {

// A mutex and a condition that waits on the monotonic clock: what the
// semaphore and the trigger are built on.
class waitable {
 public:
  waitable(const waitable&) = delete;
  waitable& operator=(const waitable&) = delete;

 protected:
  waitable();
  ~waitable();
  // One wait on cond with lock (of mtx) held; false once the deadline has
  // passed (CLOCK_MONOTONIC).
  bool waitUntil(ScopedLock& lock, const timespec& deadline);

  PthreadMutex mtx;
  pthread_cond_t cond;
};

// Counting semaphore. wait() blocks until the count is positive, then takes one.
class semaphore : protected waitable {
 public:
  explicit semaphore(int initvalue = 0);
  virtual ~semaphore() = default;

  void wait();
  void post();
  void signal() { post(); }

 protected:
  int count GUARDED_BY(mtx);
};

// Semaphore whose wait may give up: wait(msecs) returns true when it took one
// count, false on time-out. A negative msecs waits without limit.
class timedsem : public semaphore {
 public:
  explicit timedsem(int initvalue = 0);
  bool wait(int msecs = -1);
};

// Event flag. post() sets it and wakes waiters; an auto-reset trigger releases
// exactly one waiter and clears itself, a manual one stays set until reset().
// Several posts before one wait of an auto-reset trigger release one wait.
class trigger : private waitable {
 public:
  trigger(bool autoreset, bool state);

  void wait();
  bool wait(int msecs);  // false on time-out
  void post();
  void signal() { post(); }
  void reset();

 private:
  bool state GUARDED_BY(mtx);
  const bool autoreset;
};

// The stack of every thread started here. The glibc default follows the
// stack limit (8 MiB as a rule): on the 32-bit target some 500 threads alive
// at once then take the whole address space, and under load call threads
// waiting for their provider's turn number in the thousands.
const size_t PT_THREAD_STACK_BYTES = 256 * 1024;

// A thread object. start() runs execute() then cleanup() on a new thread.
// signal() sets the signalled state and posts the relax semaphore, which ends
// a relax() wait at once. waitfor() joins (owner only, never for autofree
// threads). An autofree thread is detached and deletes itself after cleanup();
// nobody may touch it after start().
class thread {
 public:
  explicit thread(bool autofree);
  virtual ~thread();
  thread(const thread&) = delete;
  thread& operator=(const thread&) = delete;

  // False when the system could not create the thread; the object is then
  // not running and the caller still owns it (also when autofree).
  bool start();
  void signal();
  void waitfor();

  bool get_running() const { return running.load(); }
  bool get_finished() const { return finished.load(); }
  bool get_signaled() const { return signaled.load(); }
  bool get_autofree() const { return autofree; }
  // The running thread's handle; valid from inside execute() and cleanup().
  pthread_t get_id() const { return handle; }

 protected:
  virtual void execute() = 0;
  virtual void cleanup() {}
  // Waits up to msecs on the relax semaphore; true when woken by signal().
  bool relax(int msecs) { return relaxsem.wait(msecs); }

  timedsem relaxsem;

 private:
  static void* threadproc(void* arg);

  pthread_t handle;      // set by the thread itself
  pthread_t joinHandle;  // set by start(), used by the owner to join
  const bool autofree;
  std::atomic<bool> running;
  std::atomic<bool> finished;
  std::atomic<bool> signaled;
  std::atomic<bool> joined;
};

// Runs first on every thread started that is not autofree (the service's
// long-lived threads), before execute(); null for none. The daemon's log
// target uses it to take those threads' messages directly. Set it before
// such threads start.
void setLongLivedThreadHook(void (*hook)());

// Sleeps for the given number of milliseconds.
void psleep(unsigned milliseconds);

// True when id names the calling thread.
bool pthrequal(pthread_t id);

// The signals the main thread's loop takes (stop requests and the stray
// signals a daemon commonly receives). Every thread started here has them
// blocked, so the kernel never hands one to a worker.
sigset_t mainLoopSignals();

}  // namespace pt

#endif  // SELVAR_COMPAT_PT_H
