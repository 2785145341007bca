// private_namespace.cpp - mount and PID namespace for the end-to-end tests.
#include "private_namespace.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace e2e {
namespace {

bool inside = false;
int hostTmpFd = -1;
int hostRunFd = -1;

std::string failure(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

std::string fdPath(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
}

// The nodes a daemon and its libraries open. They are bound from the host,
// so the host's device permissions still apply.
const char* const deviceNodes[] = {"null", "zero", "full", "random", "urandom", "tty"};

bool makePrivateDev(std::string& error) {
  std::vector<int> nodeFds;
  for (const char* name : deviceNodes) {
    std::string path = std::string("/dev/") + name;
    int fd = open(path.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0) {
      error = failure("open " + path);
      return false;
    }
    nodeFds.push_back(fd);
  }
  if (mount("tmpfs", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755") != 0) {
    error = failure("mount tmpfs on /dev");
    return false;
  }
  bool ok = true;
  for (size_t i = 0; i < nodeFds.size() && ok; ++i) {
    std::string target = std::string("/dev/") + deviceNodes[i];
    int fd = open(target.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0) {
      error = failure("create " + target);
      ok = false;
      break;
    }
    close(fd);
    if (mount(fdPath(nodeFds[i]).c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      error = failure("bind " + target);
      ok = false;
    }
  }
  for (int fd : nodeFds) close(fd);
  if (!ok) return false;

  if (mkdir("/dev/shm", 01777) != 0 ||
      mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0) {
    error = failure("mount /dev/shm");
    return false;
  }
  // Pseudo-terminals of the namespace's own, for a test that runs a program
  // in a terminal (tmux). Not needed by the others: a failure is left to the
  // test that needs them to report.
  if (mkdir("/dev/pts", 0755) == 0 &&
      mount("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC, "newinstance,ptmxmode=0666,mode=0620") == 0)
    symlink("pts/ptmx", "/dev/ptmx");
  const char* const links[][2] = {{"/proc/self/fd", "/dev/fd"},
                                  {"/proc/self/fd/0", "/dev/stdin"},
                                  {"/proc/self/fd/1", "/dev/stdout"},
                                  {"/proc/self/fd/2", "/dev/stderr"}};
  for (const auto& link : links) {
    if (symlink(link[0], link[1]) != 0) {
      error = failure(std::string("symlink ") + link[1]);
      return false;
    }
  }
  return true;
}

// Runs in the namespace's PID 1, before anything covers the host's paths.
bool setUpChild(std::string& error) {
  // A killed test runner (a CTest timeout, say) takes the namespace along.
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) {
    error = failure("prctl PR_SET_PDEATHSIG");
    return false;
  }
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    error = failure("make / private");
    return false;
  }
  if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
    error = failure("mount /proc");
    return false;
  }
  hostTmpFd = open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC);
  hostRunFd = open("/run", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (hostTmpFd < 0 || hostRunFd < 0) {
    error = failure("open /tmp or /run");
    return false;
  }
  return makePrivateDev(error);
}

[[noreturn]] void waitAndExitLike(pid_t child) {
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) _exit(125);
  }
  if (WIFEXITED(status)) _exit(WEXITSTATUS(status));
  int sig = WTERMSIG(status);
  signal(sig, SIG_DFL);
  kill(getpid(), sig);
  _exit(128 + sig);
}

bool underDir(const std::string& path, const std::string& dir, std::string& rest) {
  if (path == dir) {
    rest.clear();
    return true;
  }
  if (path.compare(0, dir.size() + 1, dir + "/") == 0) {
    rest = path.substr(dir.size());
    return true;
  }
  return false;
}

}  // namespace

bool enterPrivateNamespace(std::string& error) {
  if (unshare(CLONE_NEWNS | CLONE_NEWPID) != 0) {
    error = failure("unshare(CLONE_NEWNS | CLONE_NEWPID) (the end-to-end tests need root)");
    return false;
  }
  pid_t child = fork();
  if (child < 0) {
    error = failure("fork");
    return false;
  }
  if (child > 0) waitAndExitLike(child);
  if (!setUpChild(error)) return false;
  inside = true;
  return true;
}

bool insidePrivateNamespace() {
  return inside;
}

std::string hostPath(const std::string& path) {
  std::string rest;
  if (hostTmpFd >= 0 && underDir(path, "/tmp", rest)) return fdPath(hostTmpFd) + rest;
  if (hostRunFd >= 0 && underDir(path, "/run", rest)) return fdPath(hostRunFd) + rest;
  return path;
}

}  // namespace e2e
