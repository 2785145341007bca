// stop_signals.h - the termination signals (SIGINT, SIGTERM, SIGQUIT) and the
// stray ones a daemon commonly receives (SIGHUP, SIGUSR1, SIGUSR2, SIGALRM),
// taken synchronously from a descriptor instead of by a handler.
//
// openStopSignals blocks them in the calling thread and returns a signalfd
// that becomes readable when one is pending. Call it on the main thread
// before any other thread exists: threads inherit the mask, so the kernel
// never hands a termination signal to a thread of its own. No handler runs
// anywhere, so no thread is interrupted mid-call and none returns from a
// handler. (Returning from one is what goes wrong under qemu-i386 user-mode
// emulation: it reloads %gs from a descriptor table all threads share, and
// the main thread carries on with the thread pointer of the thread created
// last, until that thread's stack is gone.)
//
// Processes started by the daemon inherit the blocked mask.
// Main thread only.
#ifndef SELVAR_APP_STOP_SIGNALS_H
#define SELVAR_APP_STOP_SIGNALS_H

// The descriptor, or -1 with errno set (the signals are then left as they were).
int openStopSignals();

// The number of a pending signal, 0 when none is pending, -1 on an error.
int nextStopSignal(int fd);

// Closes fd. The signals stay blocked: one that comes while the stop ends is
// ignored rather than ending the process before its PID file is removed.
void closeStopSignals(int fd);

#endif  // SELVAR_APP_STOP_SIGNALS_H
