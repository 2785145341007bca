// End to end: a module that hangs in Write is reported after the stall limit
// and again when it returns, routing then goes on with nothing lost, and the
// systemd watchdog is fed only while routing moves. A socket of the test's
// plays systemd's notification socket.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "module_e2e.h"

using namespace e2e;
using Clock = std::chrono::steady_clock;

namespace {

const int errorPriority = 3 * 8 + 3;
const int infoPriority = 3 * 8 + 6;

// Collects the datagrams sent to a socket in NOTIFY_SOCKET, with their times.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path_) : path(path_) {
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof(address.sun_path) - 1);
    unlink(path.c_str());
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
      throw std::runtime_error("cannot bind " + path);
    timeval tick = {0, 100000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof(tick));
    reader = std::thread([this] {
      char buffer[256];
      while (!done) {
        ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0) continue;
        std::lock_guard<std::mutex> hold(lock);
        messages.emplace_back(Clock::now(), std::string(buffer, static_cast<size_t>(n)));
      }
    });
  }
  ~NotifySocket() {
    done = true;
    reader.join();
    close(fd);
  }
  std::string variable() const { return "NOTIFY_SOCKET=" + path; }
  std::vector<std::pair<Clock::time_point, std::string>> received() const {
    std::lock_guard<std::mutex> hold(lock);
    return messages;
  }
  // WATCHDOG=1 pings received within [from, to).
  size_t pings(Clock::time_point from, Clock::time_point to) const {
    size_t count = 0;
    for (const auto& m : received())
      if (m.second == "WATCHDOG=1" && m.first >= from && m.first < to) ++count;
    return count;
  }

 private:
  std::string path;
  int fd = -1;
  std::atomic<bool> done{false};
  mutable std::mutex lock;
  std::vector<std::pair<Clock::time_point, std::string>> messages;
  std::thread reader;
};

// As systemd starts a Type=forking unit: WATCHDOG_PID names the launcher it
// started, which the shell becomes through exec.
LaunchOptions underWatchdog(const Sandbox& sb, const NotifySocket& notify) {
  LaunchOptions options;
  options.program = "/bin/sh";
  options.args = {"-c", "export WATCHDOG_PID=$$; exec \"$0\"", sb.executable()};
  options.env = {notify.variable(), "WATCHDOG_USEC=1000000"};
  return options;
}

void startWith(Sandbox& sb, const LaunchOptions& options, pid_t& daemon) {
  LaunchResult r = sb.launch(options);
  ASSERT_TRUE(r.exitedWith(0)) << r.describe() << "\nlog:\n" << sb.logDump();
  ASSERT_GT(r.daemonPid, 1) << sb.logDump();
  daemon = r.daemonPid;
}

std::vector<ModuleRecord> writesOf(const Sandbox& sb, const std::string& name, const std::string& text) {
  std::vector<ModuleRecord> found;
  for (const ModuleRecord& r : moduleRecords(sb, name, "WRITE"))
    if (payloadText(r) == text) found.push_back(r);
  return found;
}

// A sender with one event at Open and one a second later, both through mask
// 2, and a receiver whose first Write blocks for stallMs.
void installStall(Sandbox& sb, int stallMs) {
  installModule(sb, "sender.so",
                "id=0x00200000\n"
                "submit.open=flags=0x4 class=0x10 text=first\n"
                "submit.open=flags=0x4 class=0x10 delayMs=1000 thread=1 text=second\n");
  installModule(sb, "stuck.so",
                "acceptsEvents=1\nmask2=0xFFFFFFFF\nsleepOnCall=1\nwriteSleepMs=" + std::to_string(stallMs) + "\n");
}

}  // namespace

TEST(DispatchStall, IsReportedOnceAndRoutingGoesOnWithNothingLostAndNoPingMeanwhile) {
  Sandbox sb;
  NotifySocket notify(sb.root() + "/notify");
  installStall(sb, 12000);
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startWith(sb, underWatchdog(sb, notify), daemon));

  const std::string stalled = "plugin stuck.so has not returned from Write for 10 seconds; event routing is stalled";
  auto error = sb.syslog().waitFor(textIs(stalled, daemon), milliseconds(12000));
  const Clock::time_point stallSeen = Clock::now();
  ASSERT_TRUE(error) << sb.logDump();
  EXPECT_EQ(error->priority, errorPriority);
  static const std::regex returned("plugin stuck\\.so returned after 1[1-3] seconds; event routing goes on");
  auto info = sb.syslog().waitFor([](const SyslogEntry& e) { return std::regex_match(e.text, returned); },
                                  milliseconds(4000));
  const Clock::time_point returnSeen = Clock::now();
  ASSERT_TRUE(info) << sb.logDump();
  EXPECT_EQ(info->priority, infoPriority);
  ASSERT_TRUE(waitForRecord(sb, "stuck.so", "WRITE", [](const ModuleRecord& r) { return payloadText(r) == "second"; }))
      << moduleLogDump(sb, {"stuck.so"});
  std::this_thread::sleep_for(milliseconds(1200));

  // Fed before and after, never while stalled.
  EXPECT_GE(notify.pings(stallSeen - milliseconds(9000), stallSeen - milliseconds(1000)), 10u);
  EXPECT_EQ(notify.pings(stallSeen + milliseconds(300), returnSeen - milliseconds(300)), 0u);
  EXPECT_GE(notify.pings(returnSeen, Clock::now()), 2u);
  EXPECT_EQ(sb.syslog().count(textContains("event routing")), 2u) << sb.logDump();
  EXPECT_EQ(writesOf(sb, "stuck.so", "first").size(), 1u);
  EXPECT_EQ(writesOf(sb, "stuck.so", "second").size(), 1u);
  stopService(sb, daemon);
}

TEST(DispatchStall, AStopDuringAStallEndsInOrderOnceTheModuleReturns) {
  Sandbox sb;
  installStall(sb, 3000);
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  ASSERT_TRUE(waitForRecord(sb, "stuck.so", "WRITE")) << moduleLogDump(sb, {"stuck.so"});
  StopResult stop = sb.stop(daemon, SIGTERM, milliseconds(6000));
  EXPECT_TRUE(stop.done) << stop.describe() << "\nlog:\n" << sb.logDump();
  EXPECT_TRUE(stop.exitedNormally()) << stop.describe();
  EXPECT_EQ(entryCalls(moduleLog(sb, "stuck.so")).substr(0, 16), "LOAD OPEN WRITE ") << moduleLogDump(sb, {"stuck.so"});
  const std::string calls = entryCalls(moduleLog(sb, "stuck.so"));
  EXPECT_EQ(calls.substr(calls.size() - 12), "CLOSE UNLOAD") << calls;
}

struct WatchdogCase {
  const char* name;
  std::vector<std::string> env;  // besides NOTIFY_SOCKET
  bool viaShell;                 // WATCHDOG_PID set to the launcher's PID
  bool pinged;
};

class Watchdog : public ::testing::TestWithParam<WatchdogCase> {};

TEST_P(Watchdog, PingsOnlyWhenTheVariablesAreMeantForTheService) {
  const WatchdogCase& c = GetParam();
  Sandbox sb;
  NotifySocket notify(sb.root() + "/notify");
  LaunchOptions options;
  if (c.viaShell) options = underWatchdog(sb, notify);
  options.env = c.env;
  options.env.push_back(notify.variable());
  pid_t daemon = -1;
  const Clock::time_point start = Clock::now();
  ASSERT_NO_FATAL_FAILURE(startWith(sb, options, daemon));
  std::this_thread::sleep_for(milliseconds(2000));
  if (c.pinged) {
    // Every half period: about four in two seconds.
    EXPECT_GE(notify.pings(start, Clock::now()), 3u);
    EXPECT_EQ(notify.received().size(), notify.pings(start, Clock::now())) << "something besides WATCHDOG=1";
  } else {
    EXPECT_EQ(notify.received().size(), 0u);
  }
  stopService(sb, daemon);
}

INSTANTIATE_TEST_SUITE_P(
    Environments, Watchdog,
    ::testing::Values(WatchdogCase{"LauncherPid", {"WATCHDOG_USEC=1000000"}, true, true},
                      WatchdogCase{"NoPid", {"WATCHDOG_USEC=1000000"}, false, true},
                      WatchdogCase{"OtherPid", {"WATCHDOG_USEC=1000000", "WATCHDOG_PID=1"}, false, false},
                      WatchdogCase{"NoVariables", {}, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BrokenPipe, AModuleGetsEpipeAndRoutingGoesOn) {
  Sandbox sb;
  installModule(sb, "sender.so",
                "id=0x00200000\n"
                "submit.open=flags=0x4 class=0x10 text=first\n"
                "submit.open=flags=0x4 class=0x10 delayMs=300 thread=1 text=second\n");
  installModule(sb, "writer.so", "acceptsEvents=1\nmask2=0xFFFFFFFF\nsigpipe=1\n");
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  ASSERT_TRUE(waitForRecord(sb, "writer.so", "WRITE", [](const ModuleRecord& r) { return payloadText(r) == "second"; }))
      << moduleLogDump(sb, {"writer.so"});
  auto pipes = moduleRecords(sb, "writer.so", "PIPE");
  ASSERT_FALSE(pipes.empty()) << moduleLogDump(sb, {"writer.so"});
  EXPECT_EQ(pipes[0].num("result"), -1);
  EXPECT_EQ(pipes[0].num("errno"), EPIPE);
  stopService(sb, daemon);
}
