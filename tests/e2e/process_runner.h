// process_runner.h - runs a program to its exit for the end-to-end tests and
// captures its exit status, standard output and standard error. Used by the
// sandbox to run the launcher; any test thread may call it.
#ifndef SELVAR_TESTS_E2E_PROCESS_RUNNER_H
#define SELVAR_TESTS_E2E_PROCESS_RUNNER_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace e2e {

struct ProcessCommand {
  std::string file;               // what is executed, an existing path
  std::vector<std::string> argv;  // argv[0] included
  std::vector<std::string> env;   // the whole environment, "NAME=value"
  std::string workDir;            // empty: the caller's
  std::chrono::milliseconds timeout{5000};
};

struct ProcessResult {
  pid_t pid = -1;
  bool started = false;  // fork succeeded
  bool exited = false;   // ended through exit(); exitCode is valid
  int exitCode = -1;
  int termSignal = 0;     // ended by this signal
  bool timedOut = false;  // still running at the timeout; killed
  std::string out;
  std::string err;

  bool exitedWith(int code) const { return exited && exitCode == code; }
  std::string describe() const;  // status and output, for failure messages
};

// Output goes to anonymous files rather than pipes, so a child that keeps
// them (a daemon, say) neither blocks nor gets SIGPIPE once the runner has
// read them. Signal dispositions and mask are reset to the defaults in the
// child, as a login shell would give them.
ProcessResult runProcess(const ProcessCommand& command);

// The environment of this process with PATH set to `path`.
std::vector<std::string> environmentWithPath(const std::string& path);

// Like execvp's search: the first executable `name` in the colon-separated
// `path`; empty when there is none. A name with a slash comes back as is.
std::string searchPath(const std::string& name, const std::string& path);

}  // namespace e2e

#endif
