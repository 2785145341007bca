// sandbox.cpp - per-test tmpfs mounts, installation and daemon control.
#include "sandbox.h"

#include <dirent.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "private_namespace.h"

namespace fs = std::filesystem;

namespace e2e {
namespace {

const char* const sandboxRoot = "/tmp/selvar-e2e";

std::runtime_error failure(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

void mountTmpfs(const char* where, const char* mode) {
  std::string options = std::string("mode=") + mode;
  if (mount("tmpfs", where, "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
    throw failure(std::string("mount tmpfs on ") + where);
  }
}

void copyExecutable(const std::string& from, const std::string& to) {
  fs::copy_file(hostPath(from), to, fs::copy_options::overwrite_existing);
  fs::permissions(to, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                          fs::perms::others_read | fs::perms::others_exec);
}

std::string trim(const std::string& s) {
  size_t b = 0;
  size_t e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

}  // namespace

bool waitUntil(const std::function<bool()>& condition, milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(5));
  }
}

bool StopResult::exitedNormally() const {
  return gone && statusKnown && WIFEXITED(status);
}

std::string StopResult::describe() const {
  std::ostringstream s;
  s << "stop: " << (done ? "\"Done\" logged" : "no \"Done\" logged") << ", ";
  if (!gone) {
    s << "still running";
  } else if (!statusKnown) {
    s << "gone (status unknown)";
  } else if (WIFEXITED(status)) {
    s << "exited with " << WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    s << "killed by signal " << WTERMSIG(status) << (WCOREDUMP(status) ? " (core dumped)" : "");
  }
  return s.str();
}

Sandbox::Sandbox() {
  if (!insidePrivateNamespace() || getpid() != 1) {
    throw std::runtime_error("Sandbox needs the private namespace that the e2e main() sets up");
  }
  mountTmpfs("/tmp", "1777");
  try {
    mountTmpfs("/run", "0755");
  } catch (...) {
    umount2("/tmp", MNT_DETACH);
    throw;
  }
  try {
    logReader = std::make_unique<SyslogReader>("/dev/log");
    rootDir = sandboxRoot;
    installDir = rootDir + "/bin";
    fs::create_directories(installDir);
    copyExecutable(selvarBinary(), executable());
    fs::create_directory(pluginDir());
  } catch (...) {
    logReader.reset();
    umount2("/run", MNT_DETACH);
    umount2("/tmp", MNT_DETACH);
    throw;
  }
}

Sandbox::~Sandbox() {
  stopEverything();
  logReader.reset();
  umount2("/run", MNT_DETACH);
  umount2("/tmp", MNT_DETACH);
}

// An orderly stop first, so that a daemon which misbehaves only under a hard
// kill does not go unnoticed in the next test; then nothing may survive.
void Sandbox::stopEverything() {
  for (pid_t pid : daemons) {
    if (!isRunning(pid)) continue;
    kill(pid, SIGTERM);
    if (!waitForExit(pid, milliseconds(2000))) kill(pid, SIGKILL);
  }
  // kill(-1) from the namespace's init reaches every other process in it,
  // and nothing outside. Refuse anywhere else.
  if (getpid() != 1 || !insidePrivateNamespace()) return;
  waitUntil(
      [] {
        kill(-1, SIGKILL);
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        return otherProcesses().empty();
      },
      milliseconds(3000));
}

std::string Sandbox::selvarBinary() {
  if (const char* chosen = std::getenv("SELVAR_E2E_BINARY")) return chosen;
#ifdef SELVAR_E2E_EXECUTABLE
  return SELVAR_E2E_EXECUTABLE;
#else
  throw std::runtime_error("no Selvar executable: set SELVAR_E2E_BINARY");
#endif
}

std::string Sandbox::builtModule(const std::string& fileName) {
#ifdef SELVAR_E2E_MODULE_DIR
  return std::string(SELVAR_E2E_MODULE_DIR) + "/" + fileName;
#else
  throw std::runtime_error("this test binary was built without a module directory");
#endif
}

std::string Sandbox::defaultPath() {
  return "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
}

const char* Sandbox::pidFilePath() {
  return "/run/vantriserver.pid";
}

std::string Sandbox::makeDir(const std::string& path) {
  std::string full = path.empty() || path[0] != '/' ? rootDir + "/" + path : path;
  fs::create_directories(full);
  return full;
}

std::string Sandbox::writeFile(const std::string& path, const std::string& content) {
  std::string full = path.empty() || path[0] != '/' ? rootDir + "/" + path : path;
  fs::create_directories(fs::path(full).parent_path());
  std::ofstream out(full, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out.flush()) throw std::runtime_error("cannot write " + full);
  return full;
}

std::optional<std::string> Sandbox::readFile(const std::string& path) const {
  std::string full = path.empty() || path[0] != '/' ? rootDir + "/" + path : path;
  std::ifstream in(full, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::string Sandbox::installSelvar(const std::string& dir) {
  std::string full = makeDir(dir);
  copyExecutable(selvarBinary(), full + "/Selvar");
  return full + "/Selvar";
}

std::string Sandbox::addPlugin(const std::string& sourceFile, const std::string& asName) {
  std::string name = asName.empty() ? fs::path(sourceFile).filename().string() : asName;
  fs::create_directories(pluginDir());
  std::string target = pluginDir() + "/" + name;
  fs::copy_file(hostPath(sourceFile), target, fs::copy_options::overwrite_existing);
  return target;
}

std::string Sandbox::writePluginFile(const std::string& name, const std::string& content) {
  return writeFile(pluginDir() + "/" + name, content);
}

void Sandbox::removePluginDir() {
  fs::remove_all(pluginDir());
}

LaunchResult Sandbox::launch(std::vector<std::string> args) {
  LaunchOptions options;
  options.args = std::move(args);
  return launch(options);
}

LaunchResult Sandbox::launch(const LaunchOptions& options) {
  std::string program = options.program.empty() ? executable() : options.program;
  std::string path = options.path.empty() ? defaultPath() : options.path;
  ProcessCommand command;
  command.file = searchPath(program, path);
  if (command.file.empty()) throw std::runtime_error(program + " not found in PATH " + path);
  command.argv.push_back(program);
  command.argv.insert(command.argv.end(), options.args.begin(), options.args.end());
  command.env = environmentWithPath(path);
  for (const std::string& setting : options.env) {
    const std::string name = setting.substr(0, setting.find('=') + 1);
    command.env.erase(std::remove_if(command.env.begin(), command.env.end(),
                                     [&](const std::string& e) { return e.compare(0, name.size(), name) == 0; }),
                      command.env.end());
    command.env.push_back(setting);
  }
  command.workDir = options.workDir.empty() ? rootDir : options.workDir;
  command.timeout = options.timeout;

  LaunchResult result;
  static_cast<ProcessResult&>(result) = runProcess(command);
  if (result.exitedWith(0)) {
    if (auto pid = readPidFile()) result.daemonPid = *pid;
  }
  // Whatever the outcome, a daemon named in the PID file is ours to stop.
  if (auto pid = readPidFile()) {
    if (*pid > 1 && std::find(daemons.begin(), daemons.end(), *pid) == daemons.end()) {
      daemons.push_back(*pid);
    }
  }
  return result;
}

std::optional<pid_t> Sandbox::readPidFile() const {
  auto content = readFile(pidFilePath());
  if (!content) return std::nullopt;
  std::string text = trim(*content);
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  return static_cast<pid_t>(std::stol(text));
}

bool Sandbox::isRunning(pid_t pid) {
  if (pid <= 1) return false;
  int status;
  if (waitpid(pid, &status, WNOHANG) == pid) return false;
  return kill(pid, 0) == 0;
}

bool Sandbox::waitForExit(pid_t pid, milliseconds timeout, int* status, bool* statusKnown) {
  if (statusKnown) *statusKnown = false;
  return waitUntil(
      [&] {
        int st = 0;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) {
          if (status) *status = st;
          if (statusKnown) *statusKnown = true;
          return true;
        }
        // Not (yet) our child: the daemon becomes one once its launcher's
        // intermediate process is gone, since this process is the init.
        return r < 0 && errno == ECHILD && kill(pid, 0) != 0 && errno == ESRCH;
      },
      timeout);
}

std::string Sandbox::cwdOf(pid_t pid) {
  std::error_code ec;
  fs::path cwd = fs::read_symlink("/proc/" + std::to_string(pid) + "/cwd", ec);
  return ec ? std::string() : cwd.string();
}

pid_t Sandbox::parentOf(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return -1;
  // "pid (comm) state ppid ...": comm may hold blanks and parentheses.
  size_t close = line.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(line.substr(close + 1));
  std::string state;
  pid_t ppid = -1;
  rest >> state >> ppid;
  return ppid;
}

bool Sandbox::sendSignal(pid_t pid, int sig) {
  return pid > 1 && kill(pid, sig) == 0;
}

StopResult Sandbox::stop(pid_t pid, int sig, milliseconds timeout) {
  StopResult result;
  size_t mark = logReader->size();
  if (!sendSignal(pid, sig)) return result;
  result.done = logReader->waitFor(textIs("Done", pid), timeout, mark);
  result.gone = waitForExit(pid, timeout, &result.status, &result.statusKnown);
  return result;
}

pid_t Sandbox::lastPidAllocated() {
  std::ifstream in("/proc/sys/kernel/ns_last_pid");
  pid_t pid = -1;
  in >> pid;
  return pid;
}

std::vector<pid_t> Sandbox::otherProcesses() {
  std::vector<pid_t> pids;
  DIR* proc = opendir("/proc");
  if (!proc) return pids;
  while (dirent* entry = readdir(proc)) {
    const char* name = entry->d_name;
    if (!std::isdigit(static_cast<unsigned char>(name[0]))) continue;
    pid_t pid = static_cast<pid_t>(std::atol(name));
    if (pid != getpid()) pids.push_back(pid);
  }
  closedir(proc);
  return pids;
}

std::string executableOf(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  std::error_code ec;
  const std::string exe = fs::read_symlink(proc + "/exe", ec).string();
  if (fs::path(exe).filename().string().rfind("qemu-", 0) != 0) return exe;
  // binfmt_misc starts "EMULATOR PROGRAM ARGS...": the second word.
  std::ifstream in(proc + "/cmdline", std::ios::binary);
  std::string word;
  std::getline(in, word, '\0');
  std::getline(in, word, '\0');
  return word;
}

}  // namespace e2e
