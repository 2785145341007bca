// The stop signals are read from the descriptor: no handler is installed,
// threads started afterwards have them blocked, and the main thread keeps its
// own thread pointer (what a handler's return broke under qemu-i386).
#include "app/stop_signals.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/select.h>
#include <unistd.h>

#include <atomic>

namespace {

// The thread control block's own address, read through the TLS register.
uintptr_t threadPointer() {
  uintptr_t tp = 0;
#if defined(__i386__)
  __asm__ volatile("movl %%gs:0, %0" : "=r"(tp));
#elif defined(__x86_64__)
  __asm__ volatile("movq %%fs:0, %0" : "=r"(tp));
#else
  tp = reinterpret_cast<uintptr_t>(pthread_self());
#endif
  return tp;
}

std::atomic<bool> g_termBlockedInThread{false};
std::atomic<bool> g_release{false};

void* laterThread(void*) {
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  g_termBlockedInThread = sigismember(&mask, SIGTERM) == 1;
  while (!g_release) usleep(1000);
  return nullptr;
}

TEST(StopSignals, ComeThroughTheDescriptorWithoutAHandler) {
  sigset_t before;
  pthread_sigmask(SIG_SETMASK, nullptr, &before);
  const int fd = openStopSignals();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(nextStopSignal(fd), 0);  // nothing pending yet

  const uintptr_t mine = threadPointer();
  pthread_t other;
  ASSERT_EQ(pthread_create(&other, nullptr, laterThread, nullptr), 0);
  for (int sig : {SIGTERM, SIGQUIT}) {
    ASSERT_EQ(pthread_kill(pthread_self(), sig), 0);  // to this thread: no other one may take it
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(fd, &ready);
    timeval limit = {10, 0};
    ASSERT_EQ(select(fd + 1, &ready, nullptr, nullptr, &limit), 1) << sig;
    EXPECT_EQ(nextStopSignal(fd), sig);
  }
  EXPECT_EQ(threadPointer(), mine);
  struct sigaction action;
  sigaction(SIGTERM, nullptr, &action);
  EXPECT_EQ(action.sa_handler, SIG_DFL);
  g_release = true;
  pthread_join(other, nullptr);
  EXPECT_TRUE(g_termBlockedInThread);

  closeStopSignals(fd);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace
