// Selvar-top run as a program against a stand-in endpoint: what it prints
// and the status it exits with.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

struct ToolRun {
  int status = -1;
  std::string out;
};

ToolRun runTool(const std::vector<std::string>& args) {
  std::string command = TOP_TOOL;
  for (const std::string& arg : args) command += " '" + arg + "'";
  command += " 2>&1";
  ToolRun run;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof(buffer), pipe)) > 0) run.out.append(buffer, got);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// Listens on a socket in a scratch directory and hands each connection the
// next document (or keeps it open and silent when `silent`).
class StandInEndpoint {
 public:
  explicit StandInEndpoint(std::vector<std::string> documents_, bool silent_ = false)
      : documents(std::move(documents_)), silent(silent_) {
    char pattern[] = "/tmp/selvar-top-test.XXXXXX";
    dir = mkdtemp(pattern);
    path = dir + "/status.sock";
    listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(listener, 8) != 0)
      ADD_FAILURE() << "stand-in endpoint: " << strerror(errno);
    server = std::thread([this] { serve(); });
  }
  ~StandInEndpoint() {
    shutdown(listener, SHUT_RDWR);
    server.join();
    close(listener);
    for (int fd : held) close(fd);
    unlink(path.c_str());
    rmdir(dir.c_str());
  }
  std::string path;

 private:
  void serve() {
    for (size_t next = 0;; ++next) {
      const int fd = accept(listener, nullptr, nullptr);
      if (fd < 0) return;
      if (silent) {
        held.push_back(fd);
        continue;
      }
      const std::string& text = documents[std::min(next, documents.size() - 1)];
      if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) ADD_FAILURE() << "short write";
      close(fd);
    }
  }
  std::vector<std::string> documents;
  bool silent;
  std::string dir;
  int listener = -1;
  std::thread server;
  std::vector<int> held;
};

const char* const FIRST =
    R"({"pid":9,"uptimeMs":2000,"sampleEvery":1,"service":{"eventsDelivered":10,"queueHighWater":4,"dispatchBusyNs":1000000},)"
    R"("modules":[{"file":"cam.so","id":1,"writes":10,"busyNs":1000000,"longestCallNs":3000000}]})";
const char* const SECOND =
    R"({"pid":9,"uptimeMs":3000,"sampleEvery":1,"service":{"eventsDelivered":60,"queueHighWater":4,"dispatchBusyNs":101000000},)"
    R"("modules":[{"file":"cam.so","id":1,"writes":60,"busyNs":101000000,"longestCallNs":3000000}]})";

}  // namespace

TEST(TopTool, OncePrintsTheTableWithRatesOverOneSecond) {
  StandInEndpoint endpoint({FIRST, SECOND});
  const ToolRun run = runTool({"--once", "--socket", endpoint.path});
  ASSERT_EQ(0, run.status) << run.out;
  EXPECT_NE(std::string::npos, run.out.find("Selvar  pid 9  up 0:00:03  queue 0 (most 4)")) << run.out;
  EXPECT_NE(std::string::npos, run.out.find("rates per second")) << run.out;
  // 50 deliveries and 100 ms inside the module over the second between.
  EXPECT_NE(std::string::npos, run.out.find("cam.so                         50.0   10.0   3.00ms")) << run.out;
  EXPECT_NE(std::string::npos, run.out.find("(service)                      50.0   10.0   3.00ms")) << run.out;
}

TEST(TopTool, JsonPrintsTheDocumentAsServed) {
  StandInEndpoint endpoint({FIRST});
  const ToolRun run = runTool({"--json", "--socket", endpoint.path});
  ASSERT_EQ(0, run.status) << run.out;
  EXPECT_EQ(std::string(FIRST) + "\n", run.out);
}

TEST(TopTool, ExitStatusSaysWhyThereIsNoTable) {
  const ToolRun missing = runTool({"--once", "--socket", "/nonexistent/selvar.sock"});
  EXPECT_EQ(3, missing.status) << missing.out;
  EXPECT_EQ("Selvar-top: the service is not running (nothing listens at /nonexistent/selvar.sock)\n", missing.out);

  StandInEndpoint garbage({"not json"});
  const ToolRun broken = runTool({"--json", "--socket", garbage.path});
  EXPECT_EQ(1, broken.status) << broken.out;
  EXPECT_EQ("Selvar-top: the service's answer is not a JSON object\n", broken.out);

  StandInEndpoint silent({}, true);
  const ToolRun mute = runTool({"--json", "--socket", silent.path});
  EXPECT_EQ(1, mute.status) << mute.out;
  EXPECT_NE(std::string::npos, mute.out.find("did not answer")) << mute.out;

  const ToolRun usage = runTool({"--sort", "colour"});
  EXPECT_EQ(2, usage.status) << usage.out;
  const ToolRun noTerminal = runTool({});
  EXPECT_EQ(2, noTerminal.status) << noTerminal.out;
  EXPECT_EQ("Selvar-top: the view needs a terminal; use --once or --json\n", noTerminal.out);
}

TEST(TopTool, AnEndpointOnlyRootMayUseIsReportedAsDenied) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
  StandInEndpoint endpoint({FIRST});
  chmod(endpoint.path.c_str(), 0600);
  // The sanitizer settings of the suite name files only root may read.
  const std::string command = std::string("env -u ASAN_OPTIONS -u LSAN_OPTIONS -u UBSAN_OPTIONS -u TSAN_OPTIONS ") +
                              "setpriv --reuid=65534 --regid=65534 --clear-groups " + TOP_TOOL +
                              " --json --socket " + endpoint.path + " 2>&1";
  // The scratch directory is root's and mode 0700; let others reach the socket.
  chmod(endpoint.path.substr(0, endpoint.path.rfind('/')).c_str(), 0755);
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(nullptr, pipe);
  char buffer[512] = {};
  const size_t got = fread(buffer, 1, sizeof(buffer) - 1, pipe);
  const int status = pclose(pipe);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(4, WEXITSTATUS(status)) << std::string(buffer, got);
  EXPECT_NE(std::string::npos, std::string(buffer, got).find("permission denied")) << buffer;
}
