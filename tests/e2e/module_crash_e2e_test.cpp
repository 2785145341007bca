// End to end: a module that crashes takes the daemon down, but the log names
// it and its entry point once, the process still ends by the signal, and a
// crash before the start-up report reaches the launcher at once. These tests
// let the daemon die by a signal, which the ThreadSanitizer runtime cannot
// host (e2e_tests.cmake labels them no_tsan there).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "module_e2e.h"

using namespace e2e;

namespace {

const int errorPriority = 3 * 8 + 3;
const milliseconds crashWait(5000);

// The AddressSanitizer runtime would report the fault itself and exit, and
// its leak check would report what an exit() in mid-run leaves: the
// service's own handling is what is under test.
LaunchOptions crashLaunch() {
  LaunchOptions options;
  const char* asan = getenv("ASAN_OPTIONS");
  options.env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") +
                        ":handle_segv=0:handle_abort=0:handle_sigbus=0:handle_sigill=0:handle_sigfpe=0:detect_leaks=0");
  return options;
}

struct CrashCase {
  const char* name;
  const char* config;  // of crash.so
  const char* entry;   // as the report names it
  bool beforeStart;    // the launcher sees it
  int signal;
};

// A sender for the Write case: one event of class 0x10 through mask 2.
const char* const senderConfig = "id=0x00200000\nsubmit.open=flags=0x4 class=0x10 text=boom\n";

const CrashCase crashCases[] = {
    {"Load", "crash=load\n", "Load", true, SIGSEGV},
    {"Open", "crash=open\n", "Open", true, SIGSEGV},
    {"Write", "acceptsEvents=1\nmask2=0xFFFFFFFF\ncrash=write\ncrash.delayMs=500\n", "Write", false, SIGSEGV},
    {"ReadOnCallThread", "hasReader=1\ncrash=read\ncrash.delayMs=500\n", "Read", false, SIGSEGV},
    {"Ioctl", "crash=ioctl\ncrash.delayMs=500\ncrash.signal=6\n", "IOCTL", false, SIGABRT},
    {"OwnThread", "crash=thread\ncrash.delayMs=500\n", "its own thread", false, SIGSEGV},
};

std::string signalName(int sig) { return sig == SIGSEGV ? "SIGSEGV" : "SIGABRT"; }

}  // namespace

class ModuleCrash : public ::testing::TestWithParam<CrashCase> {};

TEST_P(ModuleCrash, IsNamedOnceAndTheDaemonEndsByTheSignal) {
  const CrashCase& c = GetParam();
  Sandbox sb;
  installModule(sb, "crash.so", c.config);
  if (std::string(c.entry) == "Write") installModule(sb, "sender.so", senderConfig);
  LaunchResult launch = sb.launch(crashLaunch());
  if (c.beforeStart) {
    // Reported at once, not after the launcher's 60 s time-out.
    EXPECT_TRUE(launch.exitedWith(254)) << launch.describe();
    EXPECT_NE(launch.err.find("The service stopped while starting; the system log (syslog) says why."),
              std::string::npos)
        << launch.describe();
  } else {
    ASSERT_TRUE(launch.exitedWith(0)) << launch.describe() << "\nlog:\n" << sb.logDump();
  }
  auto daemon = sb.readPidFile();
  ASSERT_TRUE(daemon) << sb.logDump();
  int status = 0;
  bool known = false;
  ASSERT_TRUE(sb.waitForExit(*daemon, crashWait, &status, &known)) << "still running\n" << sb.logDump();
  ASSERT_TRUE(known);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << "status " << status;

  const std::string report = "plugin crash.so crashed in " + std::string(c.entry) + " with signal " +
                             std::to_string(c.signal) + " (" + signalName(c.signal) + ")";
  auto reports = sb.syslog().matching(textContains("crashed"));
  ASSERT_EQ(reports.size(), 1u) << sb.logDump();
  EXPECT_EQ(reports[0].text, report);
  EXPECT_EQ(reports[0].priority, errorPriority) << reports[0].describe();
  EXPECT_EQ(reports[0].ident, "vantriserver");
  EXPECT_EQ(reports[0].pid, *daemon);
}

INSTANTIATE_TEST_SUITE_P(Points, ModuleCrash, ::testing::ValuesIn(crashCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ModuleExit, LeavesALineThatTheServiceEndedOutsideItsStop) {
  Sandbox sb;
  installModule(sb, "quitter.so", "acceptsEvents=1\nmask2=0xFFFFFFFF\ncrash=write\ncrash.signal=0\ncrash.delayMs=300\n");
  installModule(sb, "sender.so", senderConfig);
  LaunchResult launch = sb.launch(crashLaunch());
  ASSERT_TRUE(launch.exitedWith(0)) << launch.describe() << "\nlog:\n" << sb.logDump();
  const pid_t daemon = launch.daemonPid;
  int status = 0;
  bool known = false;
  ASSERT_TRUE(sb.waitForExit(daemon, crashWait, &status, &known)) << sb.logDump();
  EXPECT_TRUE(known && WIFEXITED(status) && WEXITSTATUS(status) == 70) << "status " << status;
  const std::string line = "plugin quitter.so called exit() in Write; Selvar ends without closing its modules";
  EXPECT_EQ(sb.syslog().count(textIs(line, daemon)), 1u) << sb.logDump();
  EXPECT_EQ(sb.syslog().count(textIs("Done")), 0u);
}
