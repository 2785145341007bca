// End-to-end behaviour of the service host as a user meets it: the launcher
// and start-up report, the PID file, the stop signals, the single-instance
// guard, the working directory and what reaches syslog.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <utility>

#include "sandbox.h"

using namespace e2e;
namespace fs = std::filesystem;

namespace {

const std::string ident = "vantriserver";
const int daemonFacility = 3;
const int infoPriority = daemonFacility * 8 + 6;
const std::string alreadyRunning = "Selvar is already running.  Stop Selvar first.";
const milliseconds coreXmlTimeout(3000);

// Starts the daemon and checks the launcher's side; hands back the daemon.
void startDaemon(Sandbox& sb, pid_t& daemon, const LaunchOptions& options = LaunchOptions()) {
  LaunchResult r = sb.launch(options);
  ASSERT_TRUE(r.exitedWith(0)) << r.describe() << "\nlog:\n" << sb.logDump();
  ASSERT_GT(r.daemonPid, 1) << "no PID in " << Sandbox::pidFilePath()
                            << " when the launcher had exited\nlog:\n" << sb.logDump();
  ASSERT_NE(r.daemonPid, r.pid) << "the launcher did not detach a daemon";
  ASSERT_TRUE(sb.isRunning(r.daemonPid)) << "the daemon is gone\nlog:\n" << sb.logDump();
  daemon = r.daemonPid;
}

void expectOrderlyStop(Sandbox& sb, pid_t daemon, int sig = SIGTERM) {
  StopResult stop = sb.stop(daemon, sig);
  EXPECT_TRUE(stop.done) << stop.describe() << "\nlog:\n" << sb.logDump();
  EXPECT_TRUE(stop.exitedNormally()) << stop.describe() << "\nlog:\n" << sb.logDump();
}

bool exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

}  // namespace

TEST(DaemonStartup, LauncherExitsZeroOnceTheDaemonReportedItsStart) {
  Sandbox sb;
  LaunchResult r = sb.launch();
  ASSERT_TRUE(r.exitedWith(0)) << r.describe() << "\nlog:\n" << sb.logDump();

  auto started = sb.syslog().matching(textIs("Successfully started"));
  ASSERT_EQ(started.size(), 1u) << "at the launcher's exit the log held:\n" << sb.logDump();
  EXPECT_EQ(started[0].priority, infoPriority) << started[0].describe();
  EXPECT_EQ(started[0].ident, ident) << started[0].describe();
  EXPECT_NE(started[0].pid, r.pid) << "logged by the launcher, not by the daemon";
  EXPECT_EQ(started[0].pid, r.daemonPid) << started[0].describe();
  ASSERT_TRUE(sb.isRunning(started[0].pid)) << "the daemon did not stay\nlog:\n" << sb.logDump();
  expectOrderlyStop(sb, started[0].pid);
}

TEST(DaemonStartup, PidFileNamesTheDaemonUntilItIsDone) {
  Sandbox sb;
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startDaemon(sb, daemon));
  EXPECT_EQ(executableOf(daemon), sb.executable())
      << "the PID file does not name the Selvar process";

  // Still there once the start-up work is over.
  ASSERT_TRUE(waitUntil([&] { return exists(sb.coreXml()); }, coreXmlTimeout)) << sb.logDump();
  EXPECT_EQ(sb.readPidFile(), std::optional<pid_t>(daemon));

  StopResult stop = sb.stop(daemon);
  ASSERT_TRUE(stop.done) << stop.describe() << "\nlog:\n" << sb.logDump();
  EXPECT_FALSE(exists(Sandbox::pidFilePath())) << "the PID file outlived \"Done\"";
  EXPECT_TRUE(stop.exitedNormally()) << stop.describe();
}

TEST(DaemonStartup, StartsWithoutPluginDirectory) {
  Sandbox sb;
  sb.removePluginDir();
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startDaemon(sb, daemon));
  EXPECT_EQ(sb.syslog().count(textIs("Successfully started", daemon)), 1u) << sb.logDump();
  EXPECT_TRUE(waitUntil([&] { return exists(sb.coreXml()); }, coreXmlTimeout)) << sb.logDump();
  expectOrderlyStop(sb, daemon);
}

class DebugSwitch : public ::testing::TestWithParam<const char*> {};

TEST_P(DebugSwitch, StillDetachesADaemon) {
  Sandbox sb;
  LaunchOptions options;
  options.args = {GetParam()};
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startDaemon(sb, daemon, options));
  // Detached: its parents are gone (it belongs to this namespace's init now)
  // and it runs in a session of its own.
  EXPECT_EQ(Sandbox::parentOf(daemon), getpid());
  EXPECT_NE(getsid(daemon), getsid(0));
  EXPECT_EQ(sb.syslog().count(textIs("Successfully started", daemon)), 1u) << sb.logDump();
  expectOrderlyStop(sb, daemon);
}

INSTANTIATE_TEST_SUITE_P(ShortAndLong, DebugSwitch, ::testing::Values("-d", "--debug"),
                         [](const auto& info) { return std::string(info.index == 0 ? "Short" : "Long"); });

class StopSignal : public ::testing::TestWithParam<std::pair<int, const char*>> {};

TEST_P(StopSignal, LogsTheSignalThenStopsInOrder) {
  const int sig = GetParam().first;
  Sandbox sb;
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startDaemon(sb, daemon));
  size_t mark = sb.syslog().size();

  StopResult stop = sb.stop(daemon, sig);
  ASSERT_TRUE(stop.done) << stop.describe() << "\nlog:\n" << sb.logDump();
  EXPECT_TRUE(stop.exitedNormally()) << stop.describe();
  EXPECT_FALSE(exists(Sandbox::pidFilePath()));

  const std::string received = "Received signal " + std::to_string(sig) + ", Exiting...";
  auto after = sb.syslog().matching(fromPid(daemon), mark);
  size_t receivedAt = after.size();
  size_t doneAt = after.size();
  for (size_t i = 0; i < after.size(); ++i) {
    if (after[i].text == received && receivedAt == after.size()) receivedAt = i;
    if (after[i].text == "Done") doneAt = i;
  }
  ASSERT_LT(receivedAt, after.size()) << "no \"" << received << "\"\nlog:\n" << sb.logDump(mark);
  ASSERT_LT(doneAt, after.size()) << sb.logDump(mark);
  EXPECT_EQ(after[receivedAt].priority, infoPriority) << after[receivedAt].describe();
  EXPECT_EQ(after[doneAt].priority, infoPriority) << after[doneAt].describe();
  EXPECT_LT(receivedAt, doneAt) << sb.logDump(mark);
  EXPECT_EQ(sb.syslog().count(textIs(received, daemon)), 1u) << sb.logDump(mark);
  EXPECT_EQ(sb.syslog().count(textIs("Done", daemon)), 1u) << sb.logDump(mark);
}

INSTANTIATE_TEST_SUITE_P(TermIntQuit, StopSignal,
                         ::testing::Values(std::make_pair(SIGTERM, "Term"), std::make_pair(SIGINT, "Int"),
                                           std::make_pair(SIGQUIT, "Quit")),
                         [](const auto& info) { return std::string(info.param.second); });

TEST(SingleInstance, SecondStartIsRefusedAndLeavesTheDaemonAlone) {
  Sandbox sb;
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startDaemon(sb, daemon));
  size_t mark = sb.syslog().size();

  // Twice: a refused start must not give up the running daemon's guard.
  for (int attempt = 1; attempt <= 2; ++attempt) {
    SCOPED_TRACE("refused start #" + std::to_string(attempt));
    LaunchResult again = sb.launch();
    ASSERT_TRUE(again.exited) << again.describe();
    EXPECT_NE(again.exitCode, 0) << again.describe();
    EXPECT_NE(again.err.find(alreadyRunning), std::string::npos) << again.describe();
    // Nothing detached: the daemon is the only process left beside the test.
    // (PIDs handed out are not counted: a sanitizer runtime may start helper
    // tasks in the launcher while it exits.)
    EXPECT_EQ(Sandbox::otherProcesses(), std::vector<pid_t>{daemon}) << "the refused launcher left a process";
  }

  EXPECT_TRUE(sb.isRunning(daemon));
  EXPECT_EQ(sb.readPidFile(), std::optional<pid_t>(daemon));
  EXPECT_EQ(sb.syslog().count(textContains("Received signal"), mark), 0u) << sb.logDump(mark);
  EXPECT_EQ(sb.syslog().count(textIs("Done"), mark), 0u) << sb.logDump(mark);
  EXPECT_EQ(sb.syslog().count(textIs("Successfully started"), mark), 0u) << sb.logDump(mark);
  expectOrderlyStop(sb, daemon);
}

TEST(SingleInstance, StartsAgainAfterTheDaemonStopped) {
  Sandbox sb;
  pid_t first = -1;
  ASSERT_NO_FATAL_FAILURE(startDaemon(sb, first));
  expectOrderlyStop(sb, first);
  pid_t second = -1;
  ASSERT_NO_FATAL_FAILURE(startDaemon(sb, second));
  EXPECT_NE(second, first);
  expectOrderlyStop(sb, second);
}

TEST(WorkingDirectory, BareNameIsFoundThroughPath) {
  Sandbox sb;
  LaunchOptions options;
  options.program = "Selvar";
  options.path = sb.makeDir("empty") + ":" + sb.binDir() + ":" + Sandbox::defaultPath();
  options.workDir = sb.makeDir("elsewhere");
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startDaemon(sb, daemon, options));

  EXPECT_EQ(Sandbox::cwdOf(daemon), sb.binDir());
  EXPECT_TRUE(waitUntil([&] { return exists(sb.coreXml()); }, coreXmlTimeout)) << sb.logDump();
  EXPECT_FALSE(exists(options.workDir + "/core.xml"));
  expectOrderlyStop(sb, daemon);
}

TEST(WorkingDirectory, AbsolutePathIsNormalisedToTheExecutablesDirectory) {
  Sandbox sb;
  std::string otherDir = fs::path(sb.installSelvar("other")).parent_path().string();
  sb.makeDir(otherDir + "/plugins");
  std::string staleCoreXml = sb.writeFile(otherDir + "/core.xml", "stale");
  LaunchOptions options;
  options.program = otherDir + "/../other/./Selvar";
  options.workDir = sb.binDir();  // the other installation: must not be used
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startDaemon(sb, daemon, options));

  EXPECT_EQ(Sandbox::cwdOf(daemon), otherDir);
  EXPECT_TRUE(waitUntil([&] { return sb.readFile(staleCoreXml).value_or("stale") != "stale"; }, coreXmlTimeout))
      << "core.xml was not rewritten at start-up\nlog:\n" << sb.logDump();
  EXPECT_FALSE(exists(sb.coreXml()));
  expectOrderlyStop(sb, daemon);
}

// With a module that cannot load, so that error lines are among those checked.
TEST(DaemonLog, EachLineOnceAndWithoutFrameworkPrefixes) {
  Sandbox sb;
  sb.writePluginFile("broken.so", "not a shared object\n");
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startDaemon(sb, daemon));
  ASSERT_TRUE(waitUntil([&] { return exists(sb.coreXml()); }, coreXmlTimeout)) << sb.logDump();
  expectOrderlyStop(sb, daemon);

  const std::regex prefixed(R"(^(Error|Warning|Info|Debug): |^\[?\d{1,4}[-/:]\d{2}[-/:]\d{2}|^[A-Z][a-z]{2} [ \d]\d )");
  std::map<std::pair<pid_t, std::string>, int> seen;
  size_t problems = 0;
  for (const SyslogEntry& e : sb.syslog().entries()) {
    SCOPED_TRACE(e.describe());
    ASSERT_TRUE(e.wellFormed);
    EXPECT_EQ(e.ident, ident);
    EXPECT_EQ(e.facility, daemonFacility);
    EXPECT_FALSE(std::regex_search(e.text, prefixed)) << "a framework prefix reached syslog";
    if (e.severity <= 4) ++problems;
    int times = ++seen[std::make_pair(e.pid, e.text)];
    EXPECT_EQ(times, 1) << "logged more than once";
  }
  EXPECT_GT(problems, 0u) << "the unloadable plugins/broken.so was not reported at warning or error\nlog:\n"
                          << sb.logDump();
}

// Signals a daemon commonly receives by mistake (or from a log rotator) are
// logged and otherwise ignored: the service goes on and still stops in order.
class StraySignal : public ::testing::TestWithParam<std::pair<int, const char*>> {};

TEST_P(StraySignal, IsLoggedAndTheDaemonGoesOn) {
  const int sig = GetParam().first;
  Sandbox sb;
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startDaemon(sb, daemon));
  ASSERT_TRUE(sb.sendSignal(daemon, sig));
  const std::string ignored = "Received signal " + std::to_string(sig) + " but did nothing with it.";
  auto entry = sb.syslog().waitFor(textIs(ignored, daemon), milliseconds(2000));
  ASSERT_TRUE(entry) << sb.logDump();
  EXPECT_EQ(entry->priority, daemonFacility * 8 + 4) << entry->describe();
  EXPECT_TRUE(sb.isRunning(daemon));
  EXPECT_TRUE(exists(Sandbox::pidFilePath()));
  expectOrderlyStop(sb, daemon);
}

INSTANTIATE_TEST_SUITE_P(HupUsrAlrm, StraySignal,
                         ::testing::Values(std::make_pair(SIGHUP, "Hup"), std::make_pair(SIGUSR1, "Usr1"),
                                           std::make_pair(SIGUSR2, "Usr2"), std::make_pair(SIGALRM, "Alrm")),
                         [](const auto& info) { return std::string(info.param.second); });
