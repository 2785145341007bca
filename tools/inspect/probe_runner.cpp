// The parent side of a probe: fork, read the child's records until it ends
// or the time limit passes, then reap it and tell how it ended.
#include "tools/inspect/probe_runner.h"

#include "pluginhost/module_loading.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "tools/inspect/probe_child.h"
#include "tools/inspect/probe_wire.h"

namespace {

using Clock = std::chrono::steady_clock;

// Reads what is there; false once the child's end is closed.
bool drain(int fd, std::string* bytes) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n > 0) {
      bytes->append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
}

// True once the child has ended; it stays a zombie (its process group with
// it) until reaped.
bool childEnded(pid_t pid) {
  siginfo_t info;
  memset(&info, 0, sizeof(info));
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

}  // namespace

ModuleProbe runProbe(const std::string& path, const std::string& fileName, int timeoutMs, bool directoryTrusted) {
  ModuleProbe probe;
  probe.path = path;
  probe.fileName = fileName;
  struct stat info;
  probe.exists = stat(path.c_str(), &info) == 0;
  probe.trusted = probe.exists && isTrustedPath(wxString(path.c_str(), *wxConvFileName));
  probe.directoryTrusted = directoryTrusted;
  // What the service refuses before loading is never mapped here either: a
  // module that others could have changed must not run, not even its Load.
  if (!probe.exists || !probe.trusted || !probe.directoryTrusted) {
    probe.end = ProbeEnd::NotRun;
    return probe;
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    probe.end = ProbeEnd::Failed;
    probe.failure = std::string("pipe: ") + strerror(errno);
    return probe;
  }
  fflush(nullptr);  // or the child would write the parent's pending output again
  const pid_t pid = fork();
  if (pid < 0) {
    probe.end = ProbeEnd::Failed;
    probe.failure = std::string("fork: ") + strerror(errno);
    close(fds[0]);
    close(fds[1]);
    return probe;
  }
  if (pid == 0) {
    close(fds[0]);
    setpgid(0, 0);
    runProbeChild(path, fds[1]);
  }
  setpgid(pid, pid);  // whichever of the two runs first
  close(fds[1]);
  fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);

  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string bytes;
  bool open = true;
  bool timedOut = false;
  for (;;) {
    if (open) open = drain(fds[0], &bytes);
    // A grandchild may hold the pipe open after the child has gone.
    if (childEnded(pid)) {
      drain(fds[0], &bytes);
      break;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    struct pollfd wait = {fds[0], POLLIN, 0};
    poll(&wait, open ? 1 : 0, static_cast<int>(std::min<long long>(left, 20)));
  }
  close(fds[0]);
  // The child is alive or a zombie here, so its process group still exists.
  kill(-pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }

  if (!decodeRecords(bytes, &probe, PROBE_MAX_EVENTS)) {
    probe.end = ProbeEnd::Failed;
    probe.failure = "unreadable report from the probe child";
  } else if (timedOut) {
    probe.end = ProbeEnd::TimedOut;
  } else if (WIFSIGNALED(status)) {
    probe.end = ProbeEnd::Crashed;
    probe.signal = WTERMSIG(status);
  } else {
    // The child exits 0 itself only after its last record; anything short
    // of that means the module ended the process (exit() in Load, say).
    const bool complete =
        probe.openReported && (!probe.loads || !probe.exports(ENTRY_LOAD) || probe.loadReturned);
    if (!complete || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      probe.end = ProbeEnd::Exited;
      probe.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
  }
  return probe;
}
