// End-to-end behaviour of the module loader in the running daemon: which
// files of plugins/ are tried, in which order modules are loaded, opened,
// closed and unloaded, which Load results are refused and how, and the
// IOCTL call after Load. What the modules saw comes from their own logs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "module_e2e.h"
#include "pluginhost/plugin_interface.h"

using namespace e2e;

namespace {

const int errorPriority = 3 * 8 + 3;
const int warningPriority = 3 * 8 + 4;

std::string idLine(uint32_t id) {
  char text[32];
  snprintf(text, sizeof(text), "id=0x%08X\n", static_cast<unsigned>(id));
  return text;
}

// The modules in the order of their first record of `kind`.
std::vector<std::string> orderOf(const Sandbox& sb, const std::vector<std::string>& names, const std::string& kind) {
  std::vector<std::pair<uint64_t, std::string>> seen;
  for (const std::string& name : names) {
    auto records = moduleRecords(sb, name, kind);
    if (!records.empty()) seen.emplace_back(timeOf(records.front()), name);
  }
  std::sort(seen.begin(), seen.end());
  std::vector<std::string> order;
  for (const auto& entry : seen) order.push_back(entry.second);
  return order;
}

// Installs `count` test modules with placeholder settings and returns them
// in listing order; the caller then configures each by its position.
std::vector<std::string> installListed(Sandbox& sb, int count) {
  for (int i = 1; i <= count; ++i) installModule(sb, "m" + std::to_string(i) + ".so");
  std::vector<std::string> listed = listedModules(sb.pluginDir());
  EXPECT_EQ(listed.size(), static_cast<size_t>(count));
  return listed;
}

// The Plugin file names of the first status document a module received.
std::vector<std::string> statusDocumentOrder(const Sandbox& sb, const std::string& receiver) {
  auto doc = waitForRecord(sb, receiver, "IOCTL", [](const ModuleRecord& r) {
    return isIoctlDelivery(r, statusDocumentPrefix);
  });
  return doc ? pluginFilenames(payloadText(*doc)) : std::vector<std::string>();
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : " ") + name;
  return text;
}

}  // namespace

TEST(ModuleDiscovery, TriesOnlyVisibleRegularFilesNamedSo) {
  Sandbox sb;
  installModule(sb, "a.so");
  installModule(sb, "b.txt");
  installModule(sb, ".d.so");
  sb.makeDir(sb.pluginDir() + "/c.so");
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  EXPECT_TRUE(waitForRecord(sb, "a.so", "OPEN")) << moduleLogDump(sb, {"a.so"});
  stopService(sb, daemon);

  auto a = moduleLog(sb, "a.so");
  ASSERT_GE(a.size(), 2u) << moduleLogDump(sb, {"a.so"});
  EXPECT_EQ(a[0].kind, "INIT");
  EXPECT_EQ(a[1].kind, "LOAD");
  EXPECT_EQ(kindsOf(moduleLog(sb, "b.txt")), "") << "b.txt was mapped";
  EXPECT_EQ(kindsOf(moduleLog(sb, ".d.so")), "") << "the hidden .d.so was mapped";
  for (const char* other : {"b.txt", "c.so", ".d.so"})
    EXPECT_EQ(sb.syslog().count(textContains(other)), 0u) << other << " was tried:\n" << sb.logDump();
}

TEST(ModuleDiscovery, LoadsInListingOrderAndOpensInTableOrder) {
  Sandbox sb;
  std::vector<std::string> listed = installListed(sb, 4);
  ASSERT_EQ(listed.size(), 4u);
  for (size_t i = 0; i < listed.size(); ++i) configureModule(sb, listed[i], idLine(0x00100001u + i));
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  ASSERT_TRUE(waitForRecord(sb, listed.back(), "OPEN")) << moduleLogDump(sb, listed);
  stopService(sb, daemon);

  EXPECT_EQ(joined(orderOf(sb, listed, "LOAD")), joined(listed)) << moduleLogDump(sb, listed);
  EXPECT_EQ(joined(orderOf(sb, listed, "OPEN")), joined(listed)) << moduleLogDump(sb, listed);
  // Every Load comes before the first Open.
  uint64_t lastLoad = 0;
  uint64_t firstOpen = UINT64_MAX;
  for (const std::string& name : listed) {
    for (const ModuleRecord& r : moduleRecords(sb, name, "LOAD")) lastLoad = std::max(lastLoad, timeOf(r));
    for (const ModuleRecord& r : moduleRecords(sb, name, "OPEN")) firstOpen = std::min(firstOpen, timeOf(r));
  }
  EXPECT_LT(lastLoad, firstOpen) << moduleLogDump(sb, listed);
}

TEST(ModuleDiscovery, FileThatIsNoSharedObjectIsReportedAndTheOthersStillLoad) {
  Sandbox sb;
  sb.writePluginFile("x.so", "not a shared object\n");
  installModule(sb, "a.so");
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  EXPECT_TRUE(waitForRecord(sb, "a.so", "OPEN")) << moduleLogDump(sb, {"a.so"});
  stopService(sb, daemon);

  auto reports = sb.syslog().matching(textContains("x.so"));
  ASSERT_FALSE(reports.empty()) << "the unloadable x.so was not reported:\n" << sb.logDump();
  EXPECT_EQ(reports[0].priority, errorPriority) << reports[0].describe();
  EXPECT_EQ(reports[0].pid, daemon) << reports[0].describe();
  EXPECT_EQ(moduleRecords(sb, "a.so", "CLOSE").size(), 1u) << moduleLogDump(sb, {"a.so"});
}

// Only what resolves to a regular file reaches the system's loader: opening
// a FIFO would block the start for good. Each refusal says what is wrong.
TEST(ModuleDiscovery, WhatIsNoRegularFileIsRefusedByNameAndTheOthersStillLoad) {
  Sandbox sb;
  ASSERT_EQ(mkfifo((sb.pluginDir() + "/fifo.so").c_str(), 0644), 0);
  ASSERT_EQ(symlink("nowhere", (sb.pluginDir() + "/dangling.so").c_str()), 0);
  ASSERT_EQ(symlink("loop.so", (sb.pluginDir() + "/loop.so").c_str()), 0);
  installModule(sb, "a.so");
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  EXPECT_TRUE(waitForRecord(sb, "a.so", "OPEN")) << moduleLogDump(sb, {"a.so"});
  stopService(sb, daemon);

  for (const char* text : {"plugin fifo.so is not a regular file; not loaded",
                           "plugin dangling.so cannot be read (No such file or directory); not loaded",
                           "plugin loop.so cannot be read (Too many levels of symbolic links); not loaded"}) {
    auto lines = sb.syslog().matching(textIs(text));
    ASSERT_EQ(lines.size(), 1u) << text << "\n" << sb.logDump();
    EXPECT_EQ(lines[0].priority, errorPriority) << lines[0].describe();
  }
}

TEST(ModuleDiscovery, SharedObjectWithoutLoadIsDroppedSilently) {
  Sandbox sb;
  installModule(sb, "noload.so", "", "no_load_module.so");
  installModule(sb, "a.so");
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  EXPECT_TRUE(waitForRecord(sb, "a.so", "OPEN")) << moduleLogDump(sb, {"a.so"});
  stopService(sb, daemon);

  auto log = moduleLog(sb, "noload.so");
  ASSERT_FALSE(log.empty()) << "noload.so was never mapped, so its handling went untested";
  EXPECT_EQ(log[0].kind, "INIT");
  EXPECT_EQ(entryCalls(log), "") << moduleLogDump(sb, {"noload.so"});
  EXPECT_EQ(sb.syslog().count(textContains("noload")), 0u) << sb.logDump();
}

TEST(ModuleAcceptance, DuplicateIdKeepsTheFirstListedAndWarnsAboutTheOther) {
  Sandbox sb;
  installModule(sb, "p.so", "id=0x0000ABCD\n");
  installModule(sb, "q.so", "id=0x0000ABCD\n");
  std::vector<std::string> listed = listedModules(sb.pluginDir());
  ASSERT_EQ(listed.size(), 2u);
  const std::string& first = listed[0];
  const std::string& second = listed[1];
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  EXPECT_TRUE(waitForRecord(sb, first, "OPEN")) << moduleLogDump(sb, listed);
  stopService(sb, daemon);

  auto warnings = sb.syslog().matching(textContains("already loaded"));
  ASSERT_EQ(warnings.size(), 1u) << sb.logDump();
  EXPECT_EQ(warnings[0].text, "plugin " + second + " ID 0x0000ABCD already loaded");
  EXPECT_EQ(warnings[0].priority, warningPriority) << warnings[0].describe();
  for (const char* kind : {"OPEN", "CLOSE", "UNLOAD"})
    EXPECT_EQ(moduleRecords(sb, first, kind).size(), 1u) << kind << "\n" << moduleLogDump(sb, listed);
  EXPECT_EQ(entryCalls(moduleLog(sb, second)), "LOAD") << moduleLogDump(sb, listed);
}

// Refused modules ask for everything an accepted one could get.
TEST(ModuleAcceptance, FailedLoadIsLoggedAsErrorAndTheModuleIsNeverCalledAgain) {
  Sandbox sb;
  const std::string wantsAll = "ioctlOnLoad=1\nhasReader=1\nacceptsEvents=1\nmask2=0xFFFFFFFF\n";
  installModule(sb, "x.so", "id=0x00100001\nloadReturn=0\nloadError=5\n" + wantsAll);
  installModule(sb, "y.so", "id=0x00100002\nloadReturn=-1\nloadError=0\n" + wantsAll);
  installModule(sb, "ok.so", "id=0x00100003\n");
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  EXPECT_TRUE(waitForRecord(sb, "ok.so", "IOCTL", [](const ModuleRecord& r) {
    return isIoctlDelivery(r, savedMemoryPrefix);
  })) << moduleLogDump(sb, {"ok.so"});
  stopService(sb, daemon);

  const std::vector<std::pair<std::string, std::string>> expected = {
      {"x.so", "plugin x.so load returned 0 error 5"}, {"y.so", "plugin y.so load returned -1 error 0"}};
  for (const auto& [name, text] : expected) {
    SCOPED_TRACE(name);
    auto lines = sb.syslog().matching(textContains(name));
    ASSERT_EQ(lines.size(), 1u) << sb.logDump();
    EXPECT_EQ(lines[0].text, text);
    EXPECT_EQ(lines[0].priority, errorPriority) << lines[0].describe();
    EXPECT_EQ(entryCalls(moduleLog(sb, name)), "LOAD") << moduleLogDump(sb, {name});
  }
}

TEST(ModuleAcceptance, IdZeroIsAcceptedLikeAnyOther) {
  Sandbox sb;
  installModule(sb, "zero.so", "id=0x00000000\n");
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  EXPECT_TRUE(waitForRecord(sb, "zero.so", "OPEN")) << moduleLogDump(sb, {"zero.so"});
  stopService(sb, daemon);

  for (const char* kind : {"OPEN", "CLOSE", "UNLOAD"})
    EXPECT_EQ(moduleRecords(sb, "zero.so", kind).size(), 1u) << kind << "\n" << moduleLogDump(sb, {"zero.so"});
  EXPECT_EQ(sb.syslog().count(textContains("zero.so")), 0u) << sb.logDump();
}

TEST(ModuleAcceptance, ServiceIdIsRefusedWithAWarning) {
  Sandbox sb;
  installModule(sb, "z.so", "id=0x80000000\nioctlOnLoad=1\n");
  installModule(sb, "ok.so", "id=0x00100003\n");
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  EXPECT_TRUE(waitForRecord(sb, "ok.so", "OPEN")) << moduleLogDump(sb, {"ok.so"});
  stopService(sb, daemon);

  auto lines = sb.syslog().matching(textContains("z.so"));
  ASSERT_EQ(lines.size(), 1u) << sb.logDump();
  EXPECT_EQ(lines[0].text, "plugin z.so ID 0x80000000 is reserved for the service");
  EXPECT_EQ(lines[0].priority, warningPriority) << lines[0].describe();
  EXPECT_EQ(entryCalls(moduleLog(sb, "z.so")), "LOAD") << moduleLogDump(sb, {"z.so"});
}

TEST(ModuleTableOrder, FirstIdListedThirdMovesToTheFront) {
  Sandbox sb;
  std::vector<std::string> listed = installListed(sb, 4);
  ASSERT_EQ(listed.size(), 4u);
  for (size_t i = 0; i < listed.size(); ++i)
    configureModule(sb, listed[i], idLine(i == 2 ? PLUGIN_ID_FIRST : 0x00100001u + i));
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  std::vector<std::string> documented = statusDocumentOrder(sb, listed[0]);
  stopService(sb, daemon);

  const std::vector<std::string> table = {listed[2], listed[0], listed[1], listed[3]};
  EXPECT_EQ(joined(orderOf(sb, listed, "LOAD")), joined(listed)) << moduleLogDump(sb, listed);
  EXPECT_EQ(joined(orderOf(sb, listed, "OPEN")), joined(table)) << moduleLogDump(sb, listed);
  EXPECT_EQ(joined(documented), "Selvar " + joined(table)) << moduleLogDump(sb, listed);
}

TEST(ModuleTableOrder, FirstIdListedFirstStaysFirstAndLaterModulesFollow) {
  Sandbox sb;
  std::vector<std::string> listed = installListed(sb, 3);
  ASSERT_EQ(listed.size(), 3u);
  for (size_t i = 0; i < listed.size(); ++i)
    configureModule(sb, listed[i], idLine(i == 0 ? PLUGIN_ID_FIRST : 0x00100001u + i));
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  std::vector<std::string> documented = statusDocumentOrder(sb, listed[0]);
  stopService(sb, daemon);

  EXPECT_EQ(joined(orderOf(sb, listed, "OPEN")), joined(listed)) << moduleLogDump(sb, listed);
  EXPECT_EQ(joined(documented), "Selvar " + joined(listed)) << moduleLogDump(sb, listed);
}

TEST(ModuleShutdown, ClosesAllThenUnloadsAllByDescendingMask5) {
  Sandbox sb;
  std::vector<std::string> listed = installListed(sb, 3);
  ASSERT_EQ(listed.size(), 3u);
  // Listed with masks[5] 0, 9, 3: neither listing order nor its reverse.
  const uint32_t mask5[] = {0, 9, 3};
  for (size_t i = 0; i < listed.size(); ++i)
    configureModule(sb, listed[i], idLine(0x00100001u + i) + "mask5=" + std::to_string(mask5[i]) + "\n");
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  ASSERT_TRUE(waitForRecord(sb, listed.back(), "OPEN")) << moduleLogDump(sb, listed);
  stopService(sb, daemon);

  const std::string expected = joined({listed[1], listed[2], listed[0]});
  EXPECT_EQ(joined(orderOf(sb, listed, "CLOSE")), expected) << moduleLogDump(sb, listed);
  EXPECT_EQ(joined(orderOf(sb, listed, "UNLOAD")), expected) << moduleLogDump(sb, listed);
  uint64_t lastClose = 0;
  uint64_t firstUnload = UINT64_MAX;
  for (const std::string& name : listed) {
    for (const ModuleRecord& r : moduleRecords(sb, name, "CLOSE")) lastClose = std::max(lastClose, timeOf(r));
    for (const ModuleRecord& r : moduleRecords(sb, name, "UNLOAD")) firstUnload = std::min(firstUnload, timeOf(r));
  }
  EXPECT_LT(lastClose, firstUnload) << "a module was unloaded before every Close was done\n"
                                    << moduleLogDump(sb, listed);
}

// The code-1 call starts on its own thread right after Load and runs beside
// the open pass: the module may see it before, during or after its Open, but
// it is never held back until Open has returned.
TEST(ModuleLoad, IoctlOnLoadBringsOneCode1CallWithoutPayloadWithoutWaitingForOpen) {
  Sandbox sb;
  installModule(sb, "a.so", "id=0x00100001\nioctlOnLoad=1\nopenSleepMs=1500\n");
  installModule(sb, "b.so", "id=0x00100002\n");
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  EXPECT_TRUE(waitForRecord(sb, "a.so", "IOCTL", [](const ModuleRecord& r) { return r.num("code") == 1; }))
      << moduleLogDump(sb, {"a.so"});
  stopService(sb, daemon);

  std::vector<ModuleRecord> calls;
  for (const ModuleRecord& r : moduleRecords(sb, "a.so", "IOCTL"))
    if (r.num("code") == IOCTL_AFTER_LOAD) calls.push_back(r);
  ASSERT_EQ(calls.size(), 1u) << moduleLogDump(sb, {"a.so"});
  const ModuleRecord& call = calls[0];
  EXPECT_EQ(call.num("insize"), static_cast<int64_t>(sizeof(_IOCTLParmsIn)));
  EXPECT_EQ(call.num("inver"), 1);
  EXPECT_EQ(call.num("argSize"), 8);
  EXPECT_EQ(call.num("argVersion"), 1);
  EXPECT_EQ(call.num("size"), 0);
  EXPECT_EQ(call.num("ptr"), 0);
  auto opens = moduleRecords(sb, "a.so", "OPEN");
  ASSERT_EQ(opens.size(), 1u) << moduleLogDump(sb, {"a.so"});
  EXPECT_LT(timeOf(call), timeOf(opens[0]) + 1500 * 1000) << "IOCTL code 1 waited for Open to return\n"
                                                           << moduleLogDump(sb, {"a.so"});

  for (const ModuleRecord& r : moduleRecords(sb, "b.so", "IOCTL"))
    EXPECT_NE(r.num("code"), IOCTL_AFTER_LOAD) << "b.so did not ask for IOCTL code 1";
}
