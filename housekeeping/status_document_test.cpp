// Tests of the service's own documents and notices: the module status
// document, the memory-watch switch kept in core.xml, the memory state and
// plain notices, observed on the core's event queue.
#include "housekeeping/status_document.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <tinyxml.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/core_test_support.h"

namespace {

using selvar_test::QueuedEvent;
using selvar_test::readFile;
using selvar_test::ScopedWorkdir;
using selvar_test::takeQueued;
using selvar_test::TestCore;
using selvar_test::writeFile;

const char kStatusHead[] =
    "<?xml ?><Vantri Delta=\"0\"><Modules><Module Name=\"Core\" Version=\"7.4.3.90110\" ID=\"-2147483648\">"
    "<Plugin Filename=\"Selvar\" Opened=\"1\" OpenCode=\"0\" ID=\"-2147483648\" />";
const char kStatusTail[] = "</Module></Modules></Vantri>";

_PlugInInfo moduleEntry(const char* fileName, uint32_t id, int64_t loadTime, int64_t openTime, int32_t openCode) {
  _PlugInInfo info;
  info.fileName = fileName;
  info.loadInfo.moduleId = id;
  info.loadTime = loadTime;
  info.openTime = openTime;
  info.openCode = openCode;
  return info;
}

// The single event the call under test queued.
QueuedEvent onlyEvent(ServiceCore& core) {
  std::vector<QueuedEvent> events = takeQueued(core);
  EXPECT_EQ(events.size(), 1u);
  if (events.empty()) return QueuedEvent{};
  return events.front();
}

std::string savedForm(int throttling) {
  return "<?xml ?><Vantri Delta=\"0\"><Memory ID=\"-2147483648\" Throttling=\"" + std::to_string(throttling) +
         "\" /></Vantri>";
}

// --- Module status document ---

class ModuleStatus : public ::testing::Test {
 protected:
  std::string postedStatus() {
    EXPECT_EQ(t.core.postModuleStatus(), 1);
    return onlyEvent(t.core).payload;
  }
  TestCore t{"app/Selvar"};
};

TEST_F(ModuleStatus, WithoutModulesListsTheCoreAlone) {
  EXPECT_EQ(t.core.postModuleStatus(), 1);
  const QueuedEvent event = onlyEvent(t.core);
  const std::string expected = std::string(kStatusHead) + kStatusTail;
  EXPECT_EQ(event.payload, expected);
  EXPECT_EQ(event.record.dataSize, expected.size());
  EXPECT_EQ(event.record.sourceId, EVENT_SOURCE_CORE);
  EXPECT_EQ(event.record.flags, 0x100u);
  EXPECT_EQ(event.record.eventClass, 0x01000010u);
  EXPECT_EQ(event.record.requestHandle, 0u);
}

TEST_F(ModuleStatus, ListsEveryModuleAfterTheCore) {
  t.core.modules.push_back(moduleEntry("camera.so", 0x10000, 12, 3, 0));
  EXPECT_EQ(postedStatus(), std::string(kStatusHead) +
                                "<Plugin Filename=\"camera.so\" Opened=\"1\" OpenCode=\"0\" LoadTime=\"12\" "
                                "OpenTime=\"3\" ID=\"65536\" />" +
                                kStatusTail);
}

TEST_F(ModuleStatus, FailedOpenStillShowsOpened) {
  t.core.modules.push_back(moduleEntry("camera.so", 0x10000, 12, 3, 7));
  EXPECT_EQ(postedStatus(), std::string(kStatusHead) +
                                "<Plugin Filename=\"camera.so\" Opened=\"1\" OpenCode=\"7\" LoadTime=\"12\" "
                                "OpenTime=\"3\" ID=\"65536\" />" +
                                kStatusTail);
}

TEST_F(ModuleStatus, IdsAndDurationsAreWrittenAsSigned32Bit) {
  t.core.modules.push_back(moduleEntry("big.so", 0x80000001u, int64_t(1) << 31, (int64_t(1) << 32) + 5, 0));
  EXPECT_EQ(postedStatus(), std::string(kStatusHead) +
                                "<Plugin Filename=\"big.so\" Opened=\"1\" OpenCode=\"0\" LoadTime=\"-2147483648\" "
                                "OpenTime=\"5\" ID=\"-2147483647\" />" +
                                kStatusTail);
}

TEST_F(ModuleStatus, ListsModulesInTableOrder) {
  t.core.modules.push_back(moduleEntry("b.so", 0x20000, 1, 2, 0));
  t.core.modules.push_back(moduleEntry("a.so", 0x10000, 3, 4, 0));
  EXPECT_EQ(postedStatus(), std::string(kStatusHead) +
                                "<Plugin Filename=\"b.so\" Opened=\"1\" OpenCode=\"0\" LoadTime=\"1\" OpenTime=\"2\" "
                                "ID=\"131072\" />"
                                "<Plugin Filename=\"a.so\" Opened=\"1\" OpenCode=\"0\" LoadTime=\"3\" OpenTime=\"4\" "
                                "ID=\"65536\" />" +
                                kStatusTail);
}

// --- The memory-watch switch in core.xml ---

class MemoryWatchSetting : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.ok()); }

  // Runs the load and checks that exactly the saved form for its result was
  // posted. Returns the switch.
  int load() {
    const int watchOn = t.core.loadMemoryWatchSetting();
    const QueuedEvent event = onlyEvent(t.core);
    EXPECT_EQ(event.payload, savedForm(watchOn));
    EXPECT_EQ(event.record.flags, 0x100u);
    EXPECT_EQ(event.record.eventClass, 0x01000010u);
    EXPECT_EQ(event.record.sourceId, EVENT_SOURCE_CORE);
    return watchOn;
  }

  ScopedWorkdir dir;
  TestCore t;
};

TEST_F(MemoryWatchSetting, MissingFileTurnsTheWatchOnAndCreatesTheFile) {
  EXPECT_EQ(load(), 1);
  struct stat info;
  ASSERT_EQ(stat("core.xml", &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
}

TEST_F(MemoryWatchSetting, FileIsWrittenInTheIndentedLayout) {
  load();
  EXPECT_EQ(readFile("core.xml"),
            "<?xml ?>\n"
            "<Vantri Delta=\"0\">\n"
            "    <Memory ID=\"-2147483648\" Throttling=\"1\" />\n"
            "</Vantri>\n");
}

TEST_F(MemoryWatchSetting, ZeroUnderAnyRootTurnsTheWatchOffAndRewritesTheFile) {
  writeFile("core.xml", "<Other><Memory Throttling=\"0\"/></Other>");
  EXPECT_EQ(load(), 0);

  TiXmlDocument saved("core.xml");
  ASSERT_TRUE(saved.LoadFile());
  TiXmlElement* root = saved.RootElement();
  ASSERT_NE(root, nullptr);
  EXPECT_STREQ(root->Value(), "Vantri");
  ASSERT_NE(root->Attribute("Delta"), nullptr);
  EXPECT_STREQ(root->Attribute("Delta"), "0");
  TiXmlElement* memory = root->FirstChildElement("Memory");
  ASSERT_NE(memory, nullptr);
  ASSERT_NE(memory->Attribute("Throttling"), nullptr);
  EXPECT_STREQ(memory->Attribute("Throttling"), "0");
  EXPECT_EQ(readFile("core.xml").find("Other"), std::string::npos);
}

TEST_F(MemoryWatchSetting, SavedSwitchSurvivesTheNextLoad) {
  writeFile("core.xml", "<Vantri><Memory Throttling=\"0\"/></Vantri>");
  EXPECT_EQ(load(), 0);
  EXPECT_EQ(load(), 0);
}

TEST_F(MemoryWatchSetting, MemoryBelowTheRootsChildrenIsIgnored) {
  writeFile("core.xml", "<Vantri><Settings><Memory Throttling=\"0\"/></Settings></Vantri>");
  EXPECT_EQ(load(), 1);
}

TEST_F(MemoryWatchSetting, MemoryWithoutThrottlingKeepsTheWatchOn) {
  writeFile("core.xml", "<Vantri><Memory ID=\"1\"/></Vantri>");
  EXPECT_EQ(load(), 1);
}

TEST_F(MemoryWatchSetting, DirectoryNamedLikeTheFileKeepsTheWatchOn) {
  ASSERT_EQ(mkdir("core.xml", 0700), 0);
  EXPECT_EQ(load(), 1);
}

// A document that says off, padded with a comment to the given size.
std::string paddedWatchOff(size_t bytes) {
  std::string text = "<Vantri><Memory Throttling=\"0\"/><!--";
  text.append(bytes - text.size() - 13, 'x');
  return text + "--></Vantri>\n";
}

TEST_F(MemoryWatchSetting, FileOverTheSizeBoundKeepsTheWatchOn) {
  writeFile("core.xml", paddedWatchOff(SWITCH_FILE_MAX_BYTES + 1));
  EXPECT_EQ(load(), 1);
}

// Markup inside comments, CDATA, declarations and attribute values is no
// element; a large valid file is read too.
TEST_F(MemoryWatchSetting, MarkupTheParserSkipsNeitherNestsNorHidesTheSwitch) {
  std::string skipped = "<?xml version=\"1.0\"?><!DOCTYPE Vantri><!-- ";
  for (int i = 0; i < 100; ++i) skipped += "<Block><Memory Throttling=\"1\">";
  skipped += " --><Vantri Note=\"<<<\"><![CDATA[<a><a><a>]]><?pi data?><Memory Throttling=\"0\"/></Vantri>";
  writeFile("core.xml", skipped);
  EXPECT_EQ(load(), 0);
  writeFile("core.xml", paddedWatchOff(2 * 1024 * 1024));
  EXPECT_EQ(load(), 0);
}

// Nesting as the parser sees it: an end tag inside an attribute value closes
// nothing.
TEST_F(MemoryWatchSetting, NestingIsBoundedAsTheParserSeesIt) {
  auto nested = [](int levels, const std::string& open) {
    std::string text = "<Vantri><Memory Throttling=\"0\"/>";
    for (int i = 1; i < levels; ++i) text += open;
    for (int i = 1; i < levels; ++i) text += "</a>";
    return text + "</Vantri>";
  };
  writeFile("core.xml", nested(SWITCH_FILE_MAX_DEPTH, "<a>"));
  EXPECT_EQ(load(), 0);
  writeFile("core.xml", nested(SWITCH_FILE_MAX_DEPTH + 1, "<a x=\"</\">"));
  EXPECT_EQ(load(), 1);
}

// Reading /proc/self/mem from its start fails (EIO): no exception escapes.
TEST_F(MemoryWatchSetting, ReadErrorKeepsTheWatchOn) {
  ASSERT_EQ(symlink("/proc/self/mem", "core.xml"), 0);
  EXPECT_EQ(load(), 1);
}

// 10 MiB of unclosed nested elements, read on a thread with the default
// stack like the scheduler's. Runs in a child process so that a crash fails
// only this test. Disabled because the parse takes over ten seconds; run it
// with --gtest_also_run_disabled_tests.
// A damaged file nested hundreds of thousands of levels deep once overflowed
// the scheduler's stack inside the parser; it must read as unreadable, fast.
TEST_F(MemoryWatchSetting, DeeplyNestedFileKeepsTheWatchOn) {
  std::string nested;
  nested.reserve(900 * 1024);
  while (nested.size() + 3 <= 900 * 1024) nested += "<a>";
  writeFile("core.xml", nested);
  EXPECT_EXIT(
      {
        int watchOn = -1;
        std::thread reader([&] { watchOn = t.core.loadMemoryWatchSetting(); });
        reader.join();
        std::_Exit(watchOn == 1 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(MemoryWatchSetting, BinaryGarbageKeepsTheWatchOn) {
  std::mt19937 random(1234);
  std::string garbage(4096, '\0');
  for (char& c : garbage) c = static_cast<char>(random() & 0xFF);
  writeFile("core.xml", garbage);
  EXPECT_EQ(load(), 1);
}

struct SwitchCase {
  const char* name;
  const char* contents;
  int watchOn;
};

void PrintTo(const SwitchCase& c, std::ostream* os) { *os << c.name; }

class MemoryWatchSwitch : public MemoryWatchSetting, public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(MemoryWatchSwitch, ReadsTheSwitch) {
  writeFile("core.xml", GetParam().contents);
  EXPECT_EQ(load(), GetParam().watchOn);
}

// Only an attribute that reads as the integer 0 turns the watch off; the
// number is read like scanf's %d (leading blanks skipped, trailing text
// ignored).
INSTANTIATE_TEST_SUITE_P(
    ThrottlingValues, MemoryWatchSwitch,
    ::testing::Values(SwitchCase{"Zero", "<Vantri><Memory Throttling=\"0\"/></Vantri>", 0},
                      SwitchCase{"One", "<Vantri><Memory Throttling=\"1\"/></Vantri>", 1},
                      SwitchCase{"Word", "<Vantri><Memory Throttling=\"yes\"/></Vantri>", 1},
                      SwitchCase{"Two", "<Vantri><Memory Throttling=\"2\"/></Vantri>", 1},
                      SwitchCase{"HexPrefix", "<Vantri><Memory Throttling=\"0x1\"/></Vantri>", 0},
                      SwitchCase{"LeadingBlank", "<Vantri><Memory Throttling=\" 0\"/></Vantri>", 0}),
    [](const ::testing::TestParamInfo<SwitchCase>& info) { return std::string(info.param.name); });

// Contents the parser cannot read all leave the watch on.
INSTANTIATE_TEST_SUITE_P(
    UnreadableFiles, MemoryWatchSwitch,
    ::testing::Values(SwitchCase{"Empty", "", 1},
                      SwitchCase{"Unclosed", "<Vantri><Memory Throttling=\"0\"/>", 1},
                      SwitchCase{"MismatchedEnd", "<Vantri><Memory Throttling=\"0\"/></Other>", 1},
                      SwitchCase{"PlainText", "Throttling=\"0\"", 1}),
    [](const ::testing::TestParamInfo<SwitchCase>& info) { return std::string(info.param.name); });

// --- Memory state and notices ---

class MemoryState : public ::testing::Test {
 protected:
  TestCore t;
};

TEST_F(MemoryState, ReportsNotThrottlingWithItsTime) {
  t.core.throttling = false;
  t.core.postMemoryState(1234);
  const QueuedEvent event = onlyEvent(t.core);
  EXPECT_EQ(event.payload, "<?xml ?><Vantri><Memory ID=\"-2147483648\" Throttling=\"0\" Time=\"1234\" /></Vantri>");
  EXPECT_EQ(event.record.flags, 0x4u);
  EXPECT_EQ(event.record.eventClass, 0x01000010u);
  EXPECT_EQ(event.record.sourceId, EVENT_SOURCE_CORE);
}

TEST_F(MemoryState, ReportsThrottling) {
  t.core.throttling = true;
  t.core.postMemoryState(1234);
  EXPECT_EQ(onlyEvent(t.core).payload,
            "<?xml ?><Vantri><Memory ID=\"-2147483648\" Throttling=\"1\" Time=\"1234\" /></Vantri>");
}

class Notice : public ::testing::Test {
 protected:
  TestCore t;
};

TEST_F(Notice, TextIsQueuedVerbatim) {
  t.core.postNotice("abc");
  const QueuedEvent event = onlyEvent(t.core);
  EXPECT_EQ(event.payload, "abc");
  EXPECT_EQ(event.record.dataSize, 3u);
  EXPECT_EQ(event.record.flags, 0x40u);
  EXPECT_EQ(event.record.eventClass, 0x01000002u);
  EXPECT_EQ(event.record.sourceId, EVENT_SOURCE_CORE);
}

TEST_F(Notice, EmptyTextIsQueuedWithoutPayload) {
  t.core.postNotice("");
  const QueuedEvent event = onlyEvent(t.core);
  EXPECT_FALSE(event.hadData);
  EXPECT_EQ(event.record.dataSize, 0u);
  EXPECT_EQ(event.record.flags, 0x40u);
}

}  // namespace
