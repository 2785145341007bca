// crash_report.h - names the module that brought the daemon down.
//
// installCrashReport sets one handler for SIGSEGV, SIGBUS, SIGILL, SIGFPE and
// SIGABRT. When one of them arrives the handler writes a single error entry
// to syslog, then restores the default action and raises the signal again,
// so the process still ends by it (core dump and exit status intact):
//   "plugin %s crashed in %s with signal %d (%s)"  inside an entry point
//       (the thread's ModuleCallRecord), or "its own thread" when the
//       faulting instruction lies in a module's mapping;
//   "Selvar crashed with signal %d (%s)"            anywhere else;
//   "Selvar was sent signal %d (%s) by process %d"  sent by another process
//       (systemd's watchdog abort, say), which is no crash at all.
// Only the first signal writes an entry. Daemon only, main thread, once,
// after the syslog identity is set.
//
// The handler is async-signal-safe: it allocates nothing and takes no lock.
// Everything it needs is prepared here: a datagram socket already connected
// to the system logger, the identity and PID already formatted, the local
// time offset; module names come from the lock-free records of
// pluginhost/module_calls.h; the entry is formatted on the stack and sent
// with one send().
#ifndef SELVAR_APP_CRASH_REPORT_H
#define SELVAR_APP_CRASH_REPORT_H

#include <signal.h>
#include <stddef.h>

void installCrashReport(const char* identity);

// The report line the handler writes for sig raised with info on this
// thread, without the syslog header; returns its length. Exposed for tests.
size_t formatCrashReport(int sig, const siginfo_t* info, const void* context, char* text, size_t capacity);

// SIGPIPE is ignored, so a module writing to a closed pipe or socket gets
// EPIPE instead of ending the service.
void ignoreBrokenPipes();

// Logs one error line when the process ends through exit() before the daemon
// said it was done (a module calling exit(), say); markOrderlyExit() is
// called once the stop sequence has finished.
void reportUnexpectedExit();
void markOrderlyExit();

#endif  // SELVAR_APP_CRASH_REPORT_H
