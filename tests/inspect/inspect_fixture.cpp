// Process and file helpers for the inspector's tests.
#include "inspect_fixture.h"

#include <ftw.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

ToolRun runInspector(const std::vector<std::string>& args) {
  ToolRun run;
  int out[2];
  int err[2];
  if (pipe(out) != 0 || pipe(err) != 0) return run;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    close(out[0]);
    close(err[0]);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(INSPECT_TOOL));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(INSPECT_TOOL, argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  int open = 2;
  while (open > 0 && poll(fds, 2, -1) > 0) {
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

bool runInspectorJson(const std::vector<std::string>& args, ToolRun* run, JsonValue* json) {
  std::vector<std::string> all = {"--json"};
  all.insert(all.end(), args.begin(), args.end());
  *run = runInspector(all);
  std::string error;
  return parseJson(run->out, json, &error);
}

std::string moduleFile(const std::string& variant) { return std::string(INSPECT_MODULE_DIR) + "/" + variant + ".so"; }

ScratchDir::ScratchDir() {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/inspect-XXXXXX";
  if (mkdtemp(&pattern[0]) != nullptr) root = pattern;
}

namespace {
int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }
}  // namespace

ScratchDir::~ScratchDir() {
  if (!root.empty()) nftw(root.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string ScratchDir::write(const std::string& name, const std::string& bytes) const {
  const std::string path = root + "/" + name;
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  return path;
}

std::string ScratchDir::copy(const std::string& source, const std::string& name) const {
  std::ifstream in(source, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return write(name, bytes.str());
}
