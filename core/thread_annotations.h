// thread_annotations.h - lock rules the compiler checks.
//
// Under clang these macros feed -Wthread-safety: a member marked
// GUARDED_BY(mu) may be touched only with mu held, a function marked
// REQUIRES(mu) may be called only with mu held, and ScopedLock is the scoped
// capability that takes and gives back a lock. Other compilers see nothing.
//
// The service's locks stay plain pthread mutexes; PthreadMutex is the same
// type with the capability attribute, so the analysis can name it.
#ifndef SELVAR_CORE_THREAD_ANNOTATIONS_H
#define SELVAR_CORE_THREAD_ANNOTATIONS_H

#include <pthread.h>

#if defined(__clang__)
#define SELVAR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define SELVAR_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) SELVAR_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY SELVAR_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) SELVAR_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) SELVAR_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) SELVAR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) SELVAR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) SELVAR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define EXCLUDES(...) SELVAR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS SELVAR_THREAD_ANNOTATION(no_thread_safety_analysis)

typedef pthread_mutex_t CAPABILITY("mutex") PthreadMutex;

#endif  // SELVAR_CORE_THREAD_ANNOTATIONS_H
