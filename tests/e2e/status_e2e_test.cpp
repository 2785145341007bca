// End-to-end behaviour of what the running daemon tells its modules once the
// table is open: the module status document, the saved memory form and
// core.xml, the memory watch's transition form, the start Read call, and the
// events modules queued while they were being loaded and opened.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <regex>
#include <string>
#include <vector>

#include "module_e2e.h"
#include "pluginhost/plugin_interface.h"

using namespace e2e;

namespace {

const std::string coreId = "-2147483648";
const std::string savedMemoryWatchOn = "<?xml ?><Vantri Delta=\"0\"><Memory ID=\"-2147483648\" Throttling=\"1\" /></Vantri>";
const std::string savedMemoryWatchOff = "<?xml ?><Vantri Delta=\"0\"><Memory ID=\"-2147483648\" Throttling=\"0\" /></Vantri>";
const std::regex transitionForm(
    R"re(<\?xml \?><Vantri><Memory ID="-2147483648" Throttling="0" Time="(\d+)" /></Vantri>)re");

std::string regexEscape(const std::string& text) {
  static const std::string metacharacters = R"(\^$.|?*+()[]{})";
  std::string escaped;
  for (char c : text) {
    if (metacharacters.find(c) != std::string::npos) escaped += '\\';
    escaped += c;
  }
  return escaped;
}

struct ExpectedPlugin {
  std::string file;
  int openCode;
  uint32_t id;
};

// The whole status document; LoadTime and OpenTime are groups 1, 2 of the
// first plugin, 3, 4 of the second and so on.
std::regex statusDocument(const std::vector<ExpectedPlugin>& plugins) {
  std::string pattern = regexEscape(
      "<?xml ?><Vantri Delta=\"0\"><Modules><Module Name=\"Core\" Version=\"7.4.3.90110\" ID=\"" + coreId +
      "\"><Plugin Filename=\"Selvar\" Opened=\"1\" OpenCode=\"0\" ID=\"" + coreId + "\" />");
  for (const ExpectedPlugin& p : plugins) {
    pattern += regexEscape("<Plugin Filename=\"" + p.file + "\" Opened=\"1\" OpenCode=\"" +
                           std::to_string(p.openCode) + "\" LoadTime=\"");
    pattern += R"((\d+))" + regexEscape("\" OpenTime=\"") + R"((\d+))";
    pattern += regexEscape("\" ID=\"" + std::to_string(static_cast<int32_t>(p.id)) + "\" />");
  }
  pattern += regexEscape("</Module></Modules></Vantri>");
  return std::regex(pattern);
}

RecordMatch statusDocumentDelivery() {
  return [](const ModuleRecord& r) { return isIoctlDelivery(r, statusDocumentPrefix); };
}

RecordMatch savedMemoryDelivery() {
  return [](const ModuleRecord& r) { return isIoctlDelivery(r, savedMemoryPrefix); };
}

std::vector<ModuleRecord> deliveries(const Sandbox& sb, const std::string& name, const std::string& prefix) {
  std::vector<ModuleRecord> found;
  for (const ModuleRecord& r : moduleRecords(sb, name, "IOCTL"))
    if (isIoctlDelivery(r, prefix)) found.push_back(r);
  return found;
}

void expectDeliveryBlock(const ModuleRecord& r) {
  EXPECT_EQ(r.num("insize"), static_cast<int64_t>(sizeof(_IOCTLParmsIn)));
  EXPECT_EQ(r.num("inver"), 1);
  EXPECT_EQ(r.num("argSize"), 16);
  EXPECT_EQ(r.num("argVersion"), 1);
  EXPECT_EQ(r.num("size"), static_cast<int64_t>(payloadText(r).size()));
}

// core.xml with the blanks between its elements taken out.
std::string compactCoreXml(const Sandbox& sb) {
  static const std::regex between(R"(>\s+<)");
  std::string text = sb.readFile(sb.coreXml()).value_or("(missing)");
  text = std::regex_replace(text, between, "><");
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

}  // namespace

TEST(ModuleStatusDocument, ReachesEveryModuleAsOneLineListingTheCoreThenTheTable) {
  Sandbox sb;
  installModule(sb, "p.so", "id=0xF0000001\nopenReturn=7\n");
  installModule(sb, "q.so", "id=0x00100002\n");
  installModule(sb, "r.so", "id=0x0000ABCE\n");
  std::vector<std::string> listed = listedModules(sb.pluginDir());
  ASSERT_EQ(listed.size(), 3u);
  std::vector<ExpectedPlugin> table;
  for (const std::string& name : listed) {
    if (name == "p.so") table.push_back({name, 7, 0xF0000001u});
    if (name == "q.so") table.push_back({name, 0, 0x00100002u});
    if (name == "r.so") table.push_back({name, 0, 0x0000ABCEu});
  }
  const std::regex expected = statusDocument(table);
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  for (const std::string& name : listed)
    EXPECT_TRUE(waitForRecord(sb, name, "IOCTL", statusDocumentDelivery())) << moduleLogDump(sb, {name});
  stopService(sb, daemon);

  for (const std::string& name : listed) {
    SCOPED_TRACE(name);
    auto docs = deliveries(sb, name, statusDocumentPrefix);
    ASSERT_EQ(docs.size(), 1u) << moduleLogDump(sb, {name});
    expectDeliveryBlock(docs[0]);
    EXPECT_TRUE(std::regex_match(payloadText(docs[0]), expected)) << payloadText(docs[0]);
  }
}

TEST(ModuleStatusDocument, WithALoneModuleListsTheCoreAndThatModule) {
  Sandbox sb;
  installModule(sb, "monitor.so", "id=0x00100009\n");
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  auto doc = waitForRecord(sb, "monitor.so", "IOCTL", statusDocumentDelivery());
  stopService(sb, daemon);

  ASSERT_TRUE(doc) << moduleLogDump(sb, {"monitor.so"});
  EXPECT_TRUE(std::regex_match(payloadText(*doc), statusDocument({{"monitor.so", 0, 0x00100009u}})))
      << payloadText(*doc);
}

// The daemon runs in the C locale; its own file name and the modules' still
// reach the document as UTF-8. A character XML cannot carry (here U+0001)
// becomes U+FFFD; a name that is no UTF-8 at all does not get into it.
TEST(ModuleStatusDocument, FileNamesAreWrittenAsUtf8WhateverTheLocale) {
  Sandbox sb;
  const std::string program = sb.binDir() + "/S\xC3\xABlvar";
  std::filesystem::copy_file(sb.executable(), program);
  installModule(sb, "k\xC3\xA4mera.so", "id=0x00100009\n");
  installModule(sb, "ctl\x01.so", "id=0x0010000A\n");
  installModule(sb, "bad\xFF.so", "id=0x0010000B\n");
  LaunchOptions options;
  options.program = program;
  LaunchResult r = sb.launch(options);
  ASSERT_TRUE(r.exitedWith(0)) << r.describe() << "\nlog:\n" << sb.logDump();
  auto doc = waitForRecord(sb, "k\xC3\xA4mera.so", "IOCTL", statusDocumentDelivery());
  stopService(sb, r.daemonPid);

  ASSERT_TRUE(doc) << moduleLogDump(sb, {"k\xC3\xA4mera.so"});
  const std::string text = payloadText(*doc);
  std::vector<std::string> names = pluginFilenames(text);
  ASSERT_EQ(names.size(), 3u) << text;
  EXPECT_EQ(names[0], "S\xC3\xABlvar");
  std::sort(names.begin() + 1, names.end());
  EXPECT_EQ(names[1], "ctl\xEF\xBF\xBD.so");
  EXPECT_EQ(names[2], "k\xC3\xA4mera.so");
  for (const auto& line : sb.syslog().matching(textContains("bad")))
    std::cout << "[observed] bad\\xFF.so: " << line.text << "\n";
}

TEST(ModuleStatusDocument, LoadTimeAndOpenTimeAreTheMillisecondsLoadAndOpenTook) {
  Sandbox sb;
  installModule(sb, "slow.so", "loadSleepMs=150\nopenSleepMs=60\n");
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  auto doc = waitForRecord(sb, "slow.so", "IOCTL", statusDocumentDelivery());
  stopService(sb, daemon);

  ASSERT_TRUE(doc) << moduleLogDump(sb, {"slow.so"});
  std::smatch m;
  const std::string text = payloadText(*doc);
  ASSERT_TRUE(std::regex_match(text, m, statusDocument({{"slow.so", 0, 0x00100000u}}))) << text;
  const long loadTime = std::stol(m[1].str());
  const long openTime = std::stol(m[2].str());
  EXPECT_GE(loadTime, 150);
  EXPECT_LT(loadTime, 1000);
  EXPECT_GE(openTime, 60);
  EXPECT_LT(openTime, 150) << "OpenTime includes more than Open";
}

TEST(MemoryState, SavedFormFollowsTheStatusDocumentAndIsWrittenToCoreXml) {
  Sandbox sb;
  installModule(sb, "a.so");
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  EXPECT_TRUE(waitForRecord(sb, "a.so", "IOCTL", savedMemoryDelivery())) << moduleLogDump(sb, {"a.so"});
  stopService(sb, daemon);

  auto status = deliveries(sb, "a.so", statusDocumentPrefix);
  auto saved = deliveries(sb, "a.so", savedMemoryPrefix);
  ASSERT_EQ(status.size(), 1u) << moduleLogDump(sb, {"a.so"});
  ASSERT_EQ(saved.size(), 1u) << moduleLogDump(sb, {"a.so"});
  expectDeliveryBlock(saved[0]);
  EXPECT_EQ(payloadText(saved[0]), savedMemoryWatchOn);
  EXPECT_LT(status[0].num("n"), saved[0].num("n")) << moduleLogDump(sb, {"a.so"});
  EXPECT_EQ(compactCoreXml(sb), savedMemoryWatchOn);
}

TEST(MemoryState, ThrottlingOffInCoreXmlIsKeptAndTheFileRewritten) {
  Sandbox sb;
  sb.writeFile(sb.coreXml(), "<Root><Memory Throttling=\"0\"/></Root>\n");
  installModule(sb, "a.so");
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  auto saved = waitForRecord(sb, "a.so", "IOCTL", savedMemoryDelivery());
  stopService(sb, daemon);

  ASSERT_TRUE(saved) << moduleLogDump(sb, {"a.so"});
  EXPECT_EQ(payloadText(*saved), savedMemoryWatchOff);
  EXPECT_EQ(compactCoreXml(sb), savedMemoryWatchOff);
}

// Mask 2 is matched against the document class with its top byte shifted
// left: 0x02000010.
TEST(MemoryWatch, TransitionFormReachesEventModulesWhoseMask2Matches) {
  Sandbox sb;
  installModule(sb, "exact.so", "id=0x00100001\nacceptsEvents=1\nmask2=0x02000010\n");
  installModule(sb, "all.so", "id=0x00100002\nacceptsEvents=1\nmask2=0xFFFFFFFF\n");
  installModule(sb, "lacking.so", "id=0x00100003\nacceptsEvents=1\nmask2=0x01000010\n");
  installModule(sb, "noevents.so", "id=0x00100004\nacceptsEvents=0\nmask2=0xFFFFFFFF\n");
  const time_t before = time(nullptr);
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  for (const char* name : {"exact.so", "all.so"})
    EXPECT_TRUE(waitForRecord(sb, name, "WRITE")) << moduleLogDump(sb, {name});
  const time_t after = time(nullptr);
  stopService(sb, daemon);

  for (const char* name : {"exact.so", "all.so"}) {
    SCOPED_TRACE(name);
    auto writes = moduleRecords(sb, name, "WRITE");
    ASSERT_EQ(writes.size(), 1u) << moduleLogDump(sb, {name});
    const ModuleRecord& w = writes[0];
    EXPECT_EQ(w.num("insize"), static_cast<int64_t>(sizeof(_WriteParmsIn)));
    EXPECT_EQ(w.num("inver"), 1);
    EXPECT_EQ(w.u32("source"), EVENT_SOURCE_CORE);
    EXPECT_EQ(w.u32("flags"), EVF_MASK2);
    EXPECT_EQ(w.u32("class"), 0x01000010u);
    EXPECT_EQ(w.u32("handle"), 0u);
    std::smatch m;
    const std::string text = payloadText(w);
    ASSERT_TRUE(std::regex_match(text, m, transitionForm)) << text;
    const long stamp = std::stol(m[1].str());
    EXPECT_GE(stamp, static_cast<long>(before));
    EXPECT_LE(stamp, static_cast<long>(after));
  }
  for (const char* name : {"lacking.so", "noevents.so"})
    EXPECT_EQ(moduleRecords(sb, name, "WRITE").size(), 0u) << moduleLogDump(sb, {name});
}

TEST(MemoryWatch, NoTransitionFormWhenCoreXmlTurnsTheWatchOff) {
  Sandbox sb;
  sb.writeFile(sb.coreXml(), "<Root><Memory Throttling=\"0\"/></Root>\n");
  installModule(sb, "all.so", "acceptsEvents=1\nmask2=0xFFFFFFFF\n");
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  ASSERT_TRUE(waitForRecord(sb, "all.so", "IOCTL", savedMemoryDelivery())) << moduleLogDump(sb, {"all.so"});
  // With the watch on, the form follows within the scheduler's first pass
  // (100 ms); leave it several.
  EXPECT_FALSE(waitForRecord(sb, "all.so", "WRITE", RecordMatch(), std::chrono::milliseconds(500)))
      << moduleLogDump(sb, {"all.so"});
  stopService(sb, daemon);
  EXPECT_EQ(moduleRecords(sb, "all.so", "WRITE").size(), 0u) << moduleLogDump(sb, {"all.so"});
}

TEST(StartRead, ReachesOnlyModulesWithAReader) {
  Sandbox sb;
  installModule(sb, "reader.so", "id=0x00100001\nhasReader=1\n");
  installModule(sb, "plain.so", "id=0x00100002\nhasReader=0\n");
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  EXPECT_TRUE(waitForRecord(sb, "reader.so", "READEND")) << moduleLogDump(sb, {"reader.so"});
  stopService(sb, daemon);

  auto reads = moduleRecords(sb, "reader.so", "READ");
  ASSERT_EQ(reads.size(), 1u) << moduleLogDump(sb, {"reader.so"});
  const ModuleRecord& r = reads[0];
  EXPECT_EQ(r.num("insize"), static_cast<int64_t>(sizeof(_ReadParmsIn)));
  EXPECT_EQ(r.num("inver"), 1);
  EXPECT_EQ(r.num("code"), 0);
  EXPECT_EQ(r.num("async"), 1);
  EXPECT_EQ(r.num("handle"), 0);
  EXPECT_EQ(r.num("size"), 0);
  EXPECT_EQ(r.num("ptr"), 0);
  EXPECT_EQ(moduleRecords(sb, "plain.so", "READ").size(), 0u) << moduleLogDump(sb, {"plain.so"});
}

TEST(QueuedEvents, EventsSubmittedFromLoadAndOpenAreDeliveredOnceDispatchStarts) {
  Sandbox sb;
  installModule(sb, "sender.so",
                "id=0x00200000\n"
                "submit.load=flags=0x100 text=from-load\n"
                "submit.open=flags=0x100 text=from-open\n");
  installModule(sb, "receiver.so", "id=0x00200001\n");
  const std::vector<std::string> both = {"sender.so", "receiver.so"};
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  EXPECT_TRUE(waitForRecord(sb, "receiver.so", "IOCTL", statusDocumentDelivery())) << moduleLogDump(sb, both);
  stopService(sb, daemon);

  for (const char* point : {"load", "open"}) {
    auto submits = moduleRecords(sb, "sender.so", "SUBMIT");
    bool found = false;
    for (const ModuleRecord& s : submits) {
      if (s.str("at") != point) continue;
      found = true;
      EXPECT_EQ(s.num("result"), EVR_OK) << point;
    }
    EXPECT_TRUE(found) << "no submission from " << point << "\n" << moduleLogDump(sb, both);
  }
  auto fromLoad = deliveries(sb, "receiver.so", "from-load");
  auto fromOpen = deliveries(sb, "receiver.so", "from-open");
  auto status = deliveries(sb, "receiver.so", statusDocumentPrefix);
  ASSERT_EQ(fromLoad.size(), 1u) << moduleLogDump(sb, both);
  ASSERT_EQ(fromOpen.size(), 1u) << moduleLogDump(sb, both);
  ASSERT_EQ(status.size(), 1u) << moduleLogDump(sb, both);
  expectDeliveryBlock(fromLoad[0]);
  EXPECT_EQ(payloadText(fromLoad[0]), "from-load");
  EXPECT_EQ(payloadText(fromOpen[0]), "from-open");
  // In the order they were queued: Load's, Open's, then the status document.
  EXPECT_LT(fromLoad[0].num("n"), fromOpen[0].num("n"));
  EXPECT_LT(fromOpen[0].num("n"), status[0].num("n"));

  // Not during the passes: after every Open, and not on the main thread.
  auto loads = moduleRecords(sb, "receiver.so", "LOAD");
  ASSERT_EQ(loads.size(), 1u);
  for (const std::string& name : both)
    for (const ModuleRecord& open : moduleRecords(sb, name, "OPEN"))
      EXPECT_LT(timeOf(open), timeOf(fromLoad[0])) << name << "\n" << moduleLogDump(sb, both);
  EXPECT_NE(fromLoad[0].num("tid"), loads[0].num("pid")) << "delivered on the main thread";
}
