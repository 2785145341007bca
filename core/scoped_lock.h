// scoped_lock.h - the only way the service takes a lock.
//
// ScopedLock locks a pthread mutex when constructed and unlocks it when it
// goes out of scope, on every way out. The service's locks are leaves: code
// never holds two at once and never holds one around a module's entry point.
#ifndef SELVAR_CORE_SCOPED_LOCK_H
#define SELVAR_CORE_SCOPED_LOCK_H

#include <pthread.h>

class ScopedLock {
 public:
  explicit ScopedLock(pthread_mutex_t* mutex) : mutex_(mutex) { pthread_mutex_lock(mutex_); }
  ~ScopedLock() { pthread_mutex_unlock(mutex_); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

  // For a condition wait while the lock is held.
  pthread_mutex_t* mutex() const { return mutex_; }

 private:
  pthread_mutex_t* mutex_;
};

#endif  // SELVAR_CORE_SCOPED_LOCK_H
