// scoped_lock.h - the only way the service takes a lock.
//
// ScopedLock locks a pthread mutex when constructed and unlocks it when it
// goes out of scope, on every way out. Under clang it is a scoped capability
// (core/thread_annotations.h), so -Wthread-safety checks what it guards. The
// service's locks are leaves: code never holds two at once and never holds
// one around a module's entry point.
#ifndef SELVAR_CORE_SCOPED_LOCK_H
#define SELVAR_CORE_SCOPED_LOCK_H

#include <pthread.h>

#include "core/thread_annotations.h"

class SCOPED_CAPABILITY ScopedLock {
 public:
  explicit ScopedLock(PthreadMutex* mutex) ACQUIRE(*mutex) : mutex_(mutex) { pthread_mutex_lock(mutex_); }
  ~ScopedLock() RELEASE() { pthread_mutex_unlock(mutex_); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

  // For a condition wait while the lock is held.
  pthread_mutex_t* mutex() const { return mutex_; }

 private:
  pthread_mutex_t* mutex_;
};

#endif  // SELVAR_CORE_SCOPED_LOCK_H
