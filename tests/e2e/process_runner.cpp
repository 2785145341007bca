// process_runner.cpp - fork/exec with captured output and a timeout.
#include "process_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <thread>

extern char** environ;

namespace e2e {
namespace {

std::string readAll(int fd) {
  std::string data;
  char buffer[4096];
  off_t offset = 0;
  for (;;) {
    ssize_t n = pread(fd, buffer, sizeof(buffer), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data.append(buffer, static_cast<size_t>(n));
    offset += n;
  }
  return data;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (auto& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Between fork and exec: async-signal-safe calls only.
[[noreturn]] void execChild(const ProcessCommand& command, int outFd, int errFd, char* const* argv,
                            char* const* envp) {
  sigset_t all;
  sigemptyset(&all);
  sigprocmask(SIG_SETMASK, &all, nullptr);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) signal(sig, SIG_DFL);
  }
  int nullFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (nullFd < 0 || dup2(nullFd, 0) < 0 || dup2(outFd, 1) < 0 || dup2(errFd, 2) < 0) _exit(126);
  if (!command.workDir.empty() && chdir(command.workDir.c_str()) != 0) _exit(126);
  execve(command.file.c_str(), argv, envp);
  _exit(127);
}

}  // namespace

std::string ProcessResult::describe() const {
  std::ostringstream s;
  s << "process " << pid << ": ";
  if (!started) {
    s << "not started";
  } else if (timedOut) {
    s << "timed out and was killed";
  } else if (exited) {
    s << "exited with " << exitCode;
  } else if (termSignal != 0) {
    s << "killed by signal " << termSignal;
  } else {
    s << "exit status lost";
  }
  s << "\n  stdout: [" << out << "]\n  stderr: [" << err << "]";
  return s.str();
}

ProcessResult runProcess(const ProcessCommand& command) {
  ProcessResult result;
  int outFd = memfd_create("stdout", MFD_CLOEXEC);
  int errFd = memfd_create("stderr", MFD_CLOEXEC);
  if (outFd < 0 || errFd < 0) {
    result.err = std::string("memfd_create: ") + std::strerror(errno);
    if (outFd >= 0) close(outFd);
    if (errFd >= 0) close(errFd);
    return result;
  }
  std::vector<std::string> argvStrings = command.argv;
  std::vector<std::string> envStrings = command.env;
  std::vector<char*> argv = pointersTo(argvStrings);
  std::vector<char*> envp = pointersTo(envStrings);

  pid_t pid = fork();
  if (pid == 0) execChild(command, outFd, errFd, argv.data(), envp.data());
  if (pid < 0) {
    result.err = std::string("fork: ") + std::strerror(errno);
    close(outFd);
    close(errFd);
    return result;
  }
  result.pid = pid;
  result.started = true;

  auto deadline = std::chrono::steady_clock::now() + command.timeout;
  int status = 0;
  bool reaped = false;
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      reaped = true;
      break;
    }
    if (r < 0 && errno != EINTR) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (reaped) {
    if (WIFEXITED(status)) {
      result.exited = true;
      result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
      result.termSignal = WTERMSIG(status);
    }
  }
  result.out = readAll(outFd);
  result.err = readAll(errFd);
  close(outFd);
  close(errFd);
  return result;
}

std::vector<std::string> environmentWithPath(const std::string& path) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "PATH=", 5) != 0) env.emplace_back(*e);
  }
  env.push_back("PATH=" + path);
  return env;
}

std::string searchPath(const std::string& name, const std::string& path) {
  if (name.find('/') != std::string::npos) return name;
  size_t start = 0;
  for (;;) {
    size_t colon = path.find(':', start);
    std::string dir = path.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
    std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    if (colon == std::string::npos) return "";
    start = colon + 1;
  }
}

}  // namespace e2e
