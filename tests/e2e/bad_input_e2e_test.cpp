// The real daemon given bad input: a plugins directory full of broken
// modules at once, core.xml that is empty, garbage, huge, a directory, a FIFO
// or a dangling link, plugins that is a file, modules and a plugins directory
// that other users may change, and a single-instance lock or PID file that
// is a link to someone else's file. A user expects a clear log line where the
// daemon refuses something, and the service to go on and stop in order.
//
// Each loader refusal on its own (no shared object, no Load, refused Load,
// duplicate ID) is covered by loader_e2e_test.cpp; here they come together.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "module_e2e.h"
#include "sandbox.h"

using namespace e2e;
namespace fs = std::filesystem;

namespace {

const int errorPriority = 3 * 8 + 3;
const milliseconds coreXmlTimeout(5000);

std::string fileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool isRegularFile(const std::string& path) {
  std::error_code ec;
  return fs::is_regular_file(fs::symlink_status(path, ec));
}

// core.xml once the daemon has rewritten it: the memory switch, on.
bool rewrittenWithWatchOn(const std::string& path) {
  if (!isRegularFile(path)) return false;
  const std::string text = fileText(path);
  return text.find("<Memory") != std::string::npos && text.find("Throttling=\"1\"") != std::string::npos &&
         text.find("</Vantri>") != std::string::npos;
}

// The daemon is up and its scheduler has got past core.xml: the status
// document and the saved memory form have reached the module.
void expectServiceGoesOn(Sandbox& sb, const std::string& module) {
  EXPECT_TRUE(waitForRecord(sb, module, "OPEN")) << moduleLogDump(sb, {module});
  EXPECT_TRUE(waitForRecord(sb, module, "IOCTL",
                            [](const ModuleRecord& r) { return isIoctlDelivery(r, savedMemoryPrefix); }))
      << "the memory form never came: the scheduler did not get past core.xml\n"
      << moduleLogDump(sb, {module}) << "\nlog:\n"
      << sb.logDump();
}

// What each thread of a process is blocked in, for failure messages.
std::string threadWaits(pid_t pid) {
  std::string text;
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec))
    text += "  thread " + task.path().filename().string() + " waits in " + fileText(task.path().string() + "/wchan") + "\n";
  return text;
}

// The running Selvar processes of this sandbox.
std::vector<pid_t> selvarProcesses(Sandbox& sb) {
  std::vector<pid_t> found;
  for (pid_t pid : Sandbox::otherProcesses())
    if (executableOf(pid) == sb.executable()) found.push_back(pid);
  return found;
}

std::string describeEntry(const std::string& path) {
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(path, ec);
  if (ec || status.type() == fs::file_type::not_found) return "absent";
  if (status.type() == fs::file_type::symlink) return "a link to " + fs::read_symlink(path, ec).string();
  if (status.type() == fs::file_type::regular) return "a regular file holding \"" + fileText(path) + "\"";
  return "another kind of file";
}

}  // namespace

TEST(BadModules, AllBrokenKindsAtOnceLeaveTheGoodModuleRunning) {
  Sandbox sb;
  sb.writePluginFile("garbage.so", std::string("\x7f" "ELF but not really\n\0\1\2", 24));
  installModule(sb, "noload.so", "", "no_load_module.so");
  installModule(sb, "refuses.so", "id=0x00100002\nloadReturn=3\n");
  installModule(sb, "good.so", "id=0x00100001\n");
  installModule(sb, "twin.so", "id=0x00100001\n");
  const std::vector<std::string> listed = listedModules(sb.pluginDir());
  // Of the two with one ID, the one listed first is kept.
  const std::string kept = std::find(listed.begin(), listed.end(), "good.so") <
                                   std::find(listed.begin(), listed.end(), "twin.so")
                               ? "good.so"
                               : "twin.so";
  const std::string dropped = kept == "good.so" ? "twin.so" : "good.so";
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  expectServiceGoesOn(sb, kept);
  stopService(sb, daemon);

  EXPECT_GE(sb.syslog().count(textContains("garbage.so")), 1u) << sb.logDump();
  EXPECT_EQ(sb.syslog().count(textIs("plugin refuses.so load returned 3 error 0")), 1u) << sb.logDump();
  EXPECT_EQ(sb.syslog().count(textIs("plugin " + dropped + " ID 0x00100001 already loaded")), 1u) << sb.logDump();
  EXPECT_EQ(sb.syslog().count(textContains("noload")), 0u) << sb.logDump();
  for (const char* kind : {"LOAD", "OPEN", "CLOSE", "UNLOAD"})
    EXPECT_EQ(moduleRecords(sb, kept, kind).size(), 1u) << kind << "\n" << moduleLogDump(sb, listed);
  for (const std::string& name : {std::string("refuses.so"), dropped})
    EXPECT_EQ(entryCalls(moduleLog(sb, name)), "LOAD") << moduleLogDump(sb, listed);
}

// core.xml that is no document, or no file, is not trusted: the memory watch
// stays on, and a regular file is rewritten with it.
struct CoreXmlCase {
  const char* name;
  void (*make)(Sandbox& sb);
  bool rewritten;  // core.xml becomes a valid document
};

const CoreXmlCase coreXmlCases[] = {
    {"Empty", [](Sandbox& sb) { sb.writeFile(sb.coreXml(), ""); }, true},
    {"BinaryGarbage",
     [](Sandbox& sb) {
       std::string bytes;
       for (int i = 0; i < 4096; ++i) bytes.push_back(static_cast<char>((i * 167 + 13) & 0xFF));
       sb.writeFile(sb.coreXml(), bytes);
     },
     true},
    {"TenMegabytes",
     [](Sandbox& sb) {
       std::string big = "<Vantri Delta=\"0\"><Memory Throttling=\"0\" Pad=\"";
       big.append(10 * 1024 * 1024, 'x');
       sb.writeFile(sb.coreXml(), big);  // never closed: no document
     },
     true},
    {"TruncatedWatchOff",
     [](Sandbox& sb) { sb.writeFile(sb.coreXml(), "<Vantri Delta=\"0\"><Memory Throttling=\"0\""); }, true},
    {"Directory", [](Sandbox& sb) { sb.makeDir(sb.coreXml()); }, false},
};

class CoreXml : public ::testing::TestWithParam<CoreXmlCase> {};

TEST_P(CoreXml, TheServiceGoesOnWithTheWatchOn) {
  Sandbox sb;
  installModule(sb, "a.so", "acceptsEvents=1\n");
  GetParam().make(sb);
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  expectServiceGoesOn(sb, "a.so");
  auto saved = waitForRecord(sb, "a.so", "IOCTL", [](const ModuleRecord& r) { return isIoctlDelivery(r, savedMemoryPrefix); });
  ASSERT_TRUE(saved);
  EXPECT_NE(payloadText(*saved).find("Throttling=\"1\""), std::string::npos) << payloadText(*saved);
  if (GetParam().rewritten)
    EXPECT_TRUE(waitUntil([&] { return rewrittenWithWatchOn(sb.coreXml()); }, coreXmlTimeout))
        << "core.xml is now " << describeEntry(sb.coreXml()).substr(0, 300);
  else
    EXPECT_TRUE(fs::is_directory(sb.coreXml()));
  stopService(sb, daemon);
}

INSTANTIATE_TEST_SUITE_P(Kinds, CoreXml, ::testing::ValuesIn(coreXmlCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A FIFO cannot be parsed and must not hold the service up, neither when it
// is read nor when the memory form is saved: nothing ever opens its other end.
TEST(CoreXmlSpecial, FifoNeitherBlocksTheServiceNorItsStop) {
  Sandbox sb;
  installModule(sb, "a.so", "acceptsEvents=1\n");
  ASSERT_EQ(mkfifo(sb.coreXml().c_str(), 0600), 0);
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  expectServiceGoesOn(sb, "a.so");
  if (HasFailure()) std::cout << "[observed] the daemon's threads:\n" << threadWaits(daemon);
  stopService(sb, daemon);
}

// Root reads every file whatever its mode, so "unreadable" is a link to
// nothing: there is nothing to parse. The save follows the link; what it
// leaves behind is reported, not prescribed.
TEST(CoreXmlSpecial, DanglingLinkIsNotParsedAndTheServiceGoesOn) {
  Sandbox sb;
  installModule(sb, "a.so", "acceptsEvents=1\n");
  const std::string target = sb.root() + "/elsewhere.xml";
  fs::create_symlink(target, sb.coreXml());
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  expectServiceGoesOn(sb, "a.so");
  stopService(sb, daemon);
  std::cout << "[observed] dangling core.xml link: core.xml is " << describeEntry(sb.coreXml()) << "; its target is "
            << describeEntry(target).substr(0, 120) << "\n";
}

TEST(BadPluginsDirectory, PluginsBeingAFileLoadsNothingAndTheServiceGoesOn) {
  Sandbox sb;
  sb.removePluginDir();
  sb.writeFile(sb.pluginDir(), "not a directory\n");
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  EXPECT_TRUE(waitUntil([&] { return rewrittenWithWatchOn(sb.coreXml()); }, coreXmlTimeout)) << sb.logDump();
  EXPECT_TRUE(sb.isRunning(daemon));
  stopService(sb, daemon);
  EXPECT_EQ(fileText(sb.pluginDir()), "not a directory\n");
  std::cout << "[observed] plugins is a file: the daemon logged\n" << sb.logDump();
}

// Modules run as root: a file or directory someone else can change is refused
// with a line naming it, and the modules it does not concern still load.
struct UntrustedModuleCase {
  const char* name;
  void (*spoil)(const std::string& path);
};

const UntrustedModuleCase untrustedModuleCases[] = {
    {"WritableByOthers", [](const std::string& path) { chmod(path.c_str(), 0757); }},
    {"WritableByGroup", [](const std::string& path) { chmod(path.c_str(), 0775); }},
    {"OwnedByAnotherUser", [](const std::string& path) { ASSERT_EQ(chown(path.c_str(), 4321, 4321), 0); }},
};

class UntrustedModule : public ::testing::TestWithParam<UntrustedModuleCase> {};

TEST_P(UntrustedModule, IsRefusedByNameAndNeverMapped) {
  Sandbox sb;
  const std::string path = installModule(sb, "shared.so", "id=0x00100002\n");
  installModule(sb, "good.so", "id=0x00100001\n");
  GetParam().spoil(path);
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  expectServiceGoesOn(sb, "good.so");
  stopService(sb, daemon);

  auto refusals = sb.syslog().matching(textIs("plugin shared.so may be changed by other users; not loaded"));
  ASSERT_EQ(refusals.size(), 1u) << sb.logDump();
  EXPECT_EQ(refusals[0].priority, errorPriority) << refusals[0].describe();
  EXPECT_TRUE(moduleLog(sb, "shared.so").empty()) << "the refused file was mapped:\n" << moduleLogDump(sb, {"shared.so"});
}

INSTANTIATE_TEST_SUITE_P(Ways, UntrustedModule, ::testing::ValuesIn(untrustedModuleCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(UntrustedPluginsDirectory, WritableByOthersLoadsNoModuleAndSaysWhy) {
  Sandbox sb;
  installModule(sb, "good.so", "id=0x00100001\n");
  ASSERT_EQ(chmod(sb.pluginDir().c_str(), 0777), 0);
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  EXPECT_TRUE(waitUntil([&] { return rewrittenWithWatchOn(sb.coreXml()); }, coreXmlTimeout)) << sb.logDump();
  stopService(sb, daemon);

  auto refusals = sb.syslog().matching(
      textIs("plugins directory " + sb.pluginDir() + " may be changed by other users; no module is loaded"));
  ASSERT_EQ(refusals.size(), 1u) << sb.logDump();
  EXPECT_EQ(refusals[0].priority, errorPriority) << refusals[0].describe();
  EXPECT_TRUE(moduleLog(sb, "good.so").empty()) << moduleLogDump(sb, {"good.so"});
}

// The single-instance lock /tmp/Selvar planted as a link to another file:
// that file must come out unchanged, whatever the daemon makes of the link.
class LockLink : public ::testing::TestWithParam<int> {};

TEST_P(LockLink, TheLinkedFileIsNeitherWrittenNorTruncated) {
  Sandbox sb;
  const std::string victim = sb.writeFile("victim", "precious contents\n");
  ASSERT_EQ(chmod(victim.c_str(), GetParam()), 0);
  fs::create_symlink(victim, "/tmp/Selvar");
  LaunchResult r = sb.launch();
  const std::vector<pid_t> running = selvarProcesses(sb);
  std::cout << "[observed] lock link to a file of mode " << std::oct << GetParam() << std::dec << ": launcher "
            << r.describe() << "; " << running.size() << " Selvar process(es) running; /tmp/Selvar is "
            << describeEntry("/tmp/Selvar") << "\nlog:\n"
            << sb.logDump();
  // Does the guard still keep a second daemon out?
  LaunchResult second = sb.launch();
  const std::vector<pid_t> afterSecond = selvarProcesses(sb);
  std::cout << "[observed] a second start: launcher " << second.describe() << "; " << afterSecond.size()
            << " Selvar process(es) running\n";
  for (pid_t pid : afterSecond) {
    StopResult stop = sb.stop(pid);
    EXPECT_TRUE(stop.gone) << stop.describe();
  }
  EXPECT_EQ(fileText(victim), "precious contents\n");
  struct stat info;
  ASSERT_EQ(stat(victim.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, static_cast<mode_t>(GetParam()));
  std::cout << "[observed] after the stop /tmp/Selvar is " << describeEntry("/tmp/Selvar") << "\n";
}

INSTANTIATE_TEST_SUITE_P(Modes, LockLink, ::testing::Values(0600, 0644),
                         [](const auto& info) { return info.param == 0600 ? std::string("Private") : std::string("Readable"); });

// The PID file /run/vantriserver.pid planted as a link to another file.
TEST(PidFileLink, TheLinkedFileIsNeitherWrittenNorTruncated) {
  Sandbox sb;
  const std::string victim = sb.writeFile("pid-victim", "precious contents\n");
  fs::create_symlink(victim, Sandbox::pidFilePath());
  LaunchResult r = sb.launch();
  const std::vector<pid_t> running = selvarProcesses(sb);
  std::cout << "[observed] PID file link: launcher " << r.describe() << "; " << running.size()
            << " Selvar process(es) running; the PID file is " << describeEntry(Sandbox::pidFilePath()) << "\nlog:\n"
            << sb.logDump();
  for (pid_t pid : running) {
    StopResult stop = sb.stop(pid);
    EXPECT_TRUE(stop.gone) << stop.describe();
  }
  EXPECT_EQ(fileText(victim), "precious contents\n");
  std::cout << "[observed] after the stop the PID file is " << describeEntry(Sandbox::pidFilePath()) << "\n";
}

// The daemon's syslog lines carry its name, also after the PID file could not
// be made (the reason is logged by the daemon library underneath).
TEST(PidFileLink, EveryLineOfTheDaemonCarriesItsIdent) {
  Sandbox sb;
  const std::string victim = sb.writeFile("pid-victim", "precious contents\n");
  fs::create_symlink(victim, Sandbox::pidFilePath());
  sb.launch();
  ASSERT_TRUE(sb.syslog().waitFor(textIs("Successfully started"), milliseconds(5000))) << sb.logDump();
  for (pid_t pid : selvarProcesses(sb)) sb.stop(pid);
  for (const SyslogEntry& entry : sb.syslog().entries()) EXPECT_EQ(entry.ident, "vantriserver") << entry.describe();
}

// libdaemon reopens the system log with LOG_PID alone when it reports the
// stale PID file it clears. The daemon's entries keep LOG_CONS all the same:
// with no system logger they reach the console, up to the last, "Done".
TEST(StalePidFile, EntriesAfterItIsClearedStillFallBackToTheConsole) {
  Sandbox sb;
  sb.writeFile(Sandbox::pidFilePath(), "99999\n");
  const std::string console = "/dev/console";
  ASSERT_EQ(unlink("/dev/log"), 0);  // the test's logger stays, unreachable
  sb.writeFile(console, "");
  LaunchResult r = sb.launch();
  ASSERT_TRUE(r.exitedWith(0)) << r.describe();
  ASSERT_GT(r.daemonPid, 1);
  ASSERT_TRUE(sb.sendSignal(r.daemonPid, SIGTERM));
  EXPECT_TRUE(sb.waitForExit(r.daemonPid, milliseconds(3000)));
  // Each entry is written from the start of the file: the last one leads.
  const std::string text = fileText(console);
  unlink(console.c_str());
  EXPECT_EQ(text.rfind("vantriserver[" + std::to_string(r.daemonPid) + "]: Done\r\n", 0), 0u) << text;
}

// A PID file left behind by a daemon that was killed (SIGKILL leaves it; the
// process it names is gone). The launcher's verdict must match what happens:
// either a daemon runs and the launcher says so, or none runs.
TEST(StalePidFile, TheLaunchersVerdictMatchesWhetherADaemonRuns) {
  Sandbox sb;
  sb.writeFile(Sandbox::pidFilePath(), "99999\n");
  LaunchResult r = sb.launch();
  const std::vector<pid_t> running = selvarProcesses(sb);
  std::cout << "[observed] stale PID file: launcher " << r.describe() << "; " << running.size()
            << " Selvar process(es) running\nlog:\n"
            << sb.logDump();
  EXPECT_EQ(r.exitedWith(0), running.size() == 1) << "the launcher exited " << r.exitCode << " while "
                                                  << running.size() << " daemon(s) run";
  for (pid_t pid : running) sb.stop(pid);
}
