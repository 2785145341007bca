#include "app/stop_signals.h"

#include <errno.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "compat/pt.h"

int openStopSignals() {
  const sigset_t set = pt::mainLoopSignals();
  sigset_t previous;
  if (pthread_sigmask(SIG_BLOCK, &set, &previous) != 0) return -1;
  const int fd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  if (fd < 0) {
    const int saved = errno;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = saved;
  }
  return fd;
}

int nextStopSignal(int fd) {
  signalfd_siginfo info;
  for (;;) {
    const ssize_t n = read(fd, &info, sizeof(info));
    if (n == static_cast<ssize_t>(sizeof(info))) return static_cast<int>(info.ssi_signo);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    return -1;
  }
}

void closeStopSignals(int fd) {
  if (fd >= 0) close(fd);
}
