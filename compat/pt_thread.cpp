// pt::thread on POSIX threads: start, signal, join, and self-deletion.
#include "compat/pt.h"

#include <signal.h>

namespace pt {

namespace {
std::atomic<void (*)()> g_longLivedThreadHook{nullptr};
}  // namespace

void setLongLivedThreadHook(void (*hook)()) { g_longLivedThreadHook.store(hook); }

thread::thread(bool autofree_)
    : relaxsem(0),
      handle(),
      joinHandle(),
      autofree(autofree_),
      running(false),
      finished(false),
      signaled(false),
      joined(false) {}

thread::~thread() {
  // A joinable thread that was started but never joined must not be left as a
  // zombie; the owner normally joins in the subclass destructor already.
  if (!autofree && running.load() && !joined.exchange(true)) pthread_join(joinHandle, nullptr);
}

bool thread::start() {
  if (running.exchange(true)) return false;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (autofree) pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, PT_THREAD_STACK_BYTES);
  // An autofree thread may delete itself before pthread_create returns, so
  // nothing of *this is written after a successful create in that case.
  // Termination and stray signals belong to the main thread's signal loop: a new
  // thread starts with them blocked, so the kernel never hands one to a
  // worker (where a sanitizer runtime, for one, may hold it back).
  const sigset_t blocked = mainLoopSignals();
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  pthread_t tid;
  const bool keepHandle = !autofree;
  const int rc = pthread_create(&tid, &attr, &thread::threadproc, this);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    running = false;
    return false;
  }
  if (keepHandle) joinHandle = tid;
  return true;
}

void thread::signal() {
  if (signaled.exchange(true)) return;
  relaxsem.post();
}

void thread::waitfor() {
  if (autofree || !running.load()) return;
  if (!joined.exchange(true)) pthread_join(joinHandle, nullptr);
}

void* thread::threadproc(void* arg) {
  thread* self = static_cast<thread*>(arg);
  self->handle = pthread_self();
  if (!self->autofree) {
    if (void (*hook)() = g_longLivedThreadHook.load()) hook();
  }
  self->execute();
  self->cleanup();
  if (self->autofree) {
    delete self;
  } else {
    self->finished = true;
  }
  return nullptr;
}

sigset_t mainLoopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGQUIT);
  // Stray signals: the main loop logs and ignores them.
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGUSR1);
  sigaddset(&set, SIGUSR2);
  sigaddset(&set, SIGALRM);
  return set;
}

}  // namespace pt
