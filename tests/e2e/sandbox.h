// sandbox.h - one end-to-end test's own world: fresh /tmp and /run, its own
// system logger on /dev/log, and a copy of the Selvar executable with its own
// plugins/ directory and core.xml. Runs the launcher, finds, signals and stops
// the daemon; the destructor ends every process still running. Tests create
// one at a time, inside the namespace that the e2e main() sets up.
#ifndef SELVAR_TESTS_E2E_SANDBOX_H
#define SELVAR_TESTS_E2E_SANDBOX_H

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "process_runner.h"
#include "syslog_reader.h"

namespace e2e {

using std::chrono::milliseconds;

struct LaunchOptions {
  std::vector<std::string> args;
  std::string program;  // empty: Sandbox::executable(); a bare name is looked up in `path`
  std::string workDir;  // empty: Sandbox::root()
  std::string path;     // PATH of the launcher; empty: Sandbox::defaultPath()
  std::vector<std::string> env;  // "NAME=value": set (or replaced) in its environment
  milliseconds timeout{5000};
};

struct LaunchResult : ProcessResult {
  pid_t daemonPid = -1;  // read from the PID file when the launcher had exited
};

struct StopResult {
  std::optional<SyslogEntry> done;  // the daemon's "Done", if logged
  bool gone = false;                // the process ended within the timeout
  bool statusKnown = false;         // it was reaped here, so `status` is valid
  int status = 0;                   // as from waitpid()
  bool exitedNormally() const;      // ended through exit(), not by a signal
  std::string describe() const;
};

class Sandbox {
 public:
  Sandbox();  // throws std::runtime_error when the sandbox cannot be made
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // The executable under test: SELVAR_E2E_BINARY from the environment, else
  // the one this test binary was built against.
  static std::string selvarBinary();
  // A file that the build put into its module directory (build/plugins).
  static std::string builtModule(const std::string& fileName);
  static std::string defaultPath();
  static const char* pidFilePath();

  const std::string& root() const { return rootDir; }  // scratch space
  const std::string& binDir() const { return installDir; }
  std::string executable() const { return installDir + "/Selvar"; }
  std::string pluginDir() const { return installDir + "/plugins"; }
  std::string coreXml() const { return installDir + "/core.xml"; }

  // Files. Relative paths are taken from root(); sources from the build
  // tree go through hostPath(), so they may lie under the host's /tmp.
  std::string makeDir(const std::string& path);
  std::string writeFile(const std::string& path, const std::string& content);
  std::optional<std::string> readFile(const std::string& path) const;
  std::string installSelvar(const std::string& dir);  // another copy; returns its path
  std::string addPlugin(const std::string& sourceFile, const std::string& asName = "");
  std::string writePluginFile(const std::string& name, const std::string& content);
  void removePluginDir();

  // Runs the launcher to its exit. The daemon it leaves behind (per the PID
  // file) is remembered and stopped by the destructor.
  LaunchResult launch(std::vector<std::string> args = {});
  LaunchResult launch(const LaunchOptions& options);

  std::optional<pid_t> readPidFile() const;
  bool isRunning(pid_t pid);  // false once it ended (reaps it if it is ours)
  bool waitForExit(pid_t pid, milliseconds timeout, int* status = nullptr, bool* statusKnown = nullptr);
  static std::string cwdOf(pid_t pid);
  static pid_t parentOf(pid_t pid);

  bool sendSignal(pid_t pid, int sig);
  // Signals the daemon, waits for its "Done" and for the process to end.
  StopResult stop(pid_t pid, int sig = SIGTERM, milliseconds timeout = milliseconds(3000));

  SyslogReader& syslog() { return *logReader; }
  std::string logDump(size_t since = 0) const { return logReader->dump(since); }

  // Process views of the whole namespace, for checks that nothing was
  // started or left behind: the last PID handed out, and all processes but
  // this one.
  static pid_t lastPidAllocated();
  static std::vector<pid_t> otherProcesses();

 private:
  void stopEverything();

  std::string rootDir;
  std::string installDir;
  std::vector<pid_t> daemons;
  std::unique_ptr<SyslogReader> logReader;
};

// Polls `condition` until it holds or the timeout passes; true if it held.
bool waitUntil(const std::function<bool()>& condition, milliseconds timeout);

// The program a process runs: the target of /proc/PID/exe, or, when that is
// a user-mode emulator started through binfmt_misc (qemu-i386 running the
// 32-bit build), the program it was handed. Empty when the process is gone.
std::string executableOf(pid_t pid);

}  // namespace e2e

#endif
