// The load pass over probe results, and the probe records it is built from:
// which IDs count as taken, where modules land in the table, and what
// survives a child that died mid-report.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "tools/inspect/load_pass.h"
#include "tools/inspect/probe_wire.h"

namespace {

ModuleProbe loaded(const std::string& name, uint32_t id, int32_t result = 0) {
  ModuleProbe probe;
  probe.fileName = name;
  probe.openReported = probe.loads = probe.loadReturned = true;
  probe.entryMask = 1u << ENTRY_LOAD;
  probe.loadResult = result;
  probe.loadOut.moduleId = id;
  return probe;
}

TEST(LoadPass, OnlyAcceptedModulesTakeTheirId) {
  ModuleProbe crashed = loaded("crash.so", 0x10);
  crashed.loadReturned = false;
  crashed.end = ProbeEnd::Crashed;
  const LoadPassReport report = judgeLoadPass({loaded("refuse.so", 0x10, -1), crashed, loaded("a.so", 0x10),
                                               loaded("b.so", 0x10), loaded("c.so", 0x20)});
  ASSERT_EQ(report.modules.size(), 5u);
  EXPECT_EQ(report.modules[0].verdict, Verdict::Refused);
  EXPECT_EQ(report.modules[1].verdict, Verdict::Crashed);
  EXPECT_EQ(report.modules[2].verdict, Verdict::Accepted);
  EXPECT_EQ(report.modules[3].verdict, Verdict::DuplicateId);
  EXPECT_EQ(report.modules[3].serviceMessage, "plugin b.so ID 0x00000010 already loaded");
  EXPECT_FALSE(report.modules[3].serviceError);
  EXPECT_EQ(report.tableOrder, (std::vector<std::string>{"a.so", "c.so"}));
  EXPECT_FALSE(report.allAccepted());
}

TEST(LoadPass, FirstIdGoesToTheFrontOnlyWhenAccepted) {
  const LoadPassReport report = judgeLoadPass({loaded("a.so", 1), loaded("b.so", 2), loaded("f.so", PLUGIN_ID_FIRST),
                                               loaded("c.so", 3), loaded("g.so", PLUGIN_ID_FIRST)});
  EXPECT_EQ(report.tableOrder, (std::vector<std::string>{"f.so", "a.so", "b.so", "c.so"}));
  EXPECT_EQ(report.modules[4].verdict, Verdict::DuplicateId);
  EXPECT_EQ(judgeLoadPass({loaded("f.so", PLUGIN_ID_FIRST), loaded("a.so", 1)}).tableOrder,
            (std::vector<std::string>{"f.so", "a.so"}));
}

TEST(LoadPass, RefusalsBeforeLoadingComeInTheServicesOrder) {
  ModuleProbe inUntrustedDir = loaded("a.so", 0x10);
  inUntrustedDir.directoryTrusted = false;
  ModuleProbe missing = loaded("b.so", 0x20);
  missing.exists = missing.trusted = false;
  ModuleProbe untrusted = loaded("c.so", 0x30);
  untrusted.trusted = false;
  const LoadPassReport report = judgeLoadPass({inUntrustedDir, missing, untrusted}, "dir/plugins");
  ASSERT_EQ(report.modules.size(), 3u);
  EXPECT_EQ(report.modules[0].verdict, Verdict::Untrusted);
  EXPECT_EQ(report.modules[0].serviceMessage,
            "plugins directory dir/plugins may be changed by other users; no module is loaded");
  EXPECT_EQ(report.modules[1].verdict, Verdict::Missing);
  EXPECT_EQ(report.modules[1].serviceMessage, "");
  EXPECT_EQ(report.modules[2].verdict, Verdict::Untrusted);
  EXPECT_EQ(report.modules[2].serviceMessage, "plugin c.so may be changed by other users; not loaded");
  EXPECT_TRUE(report.tableOrder.empty());
}

// Scripts read the verdict words; the guide lists every one of them.
TEST(LoadPass, EveryVerdictWordIsInTheGuide) {
  std::ifstream in(SELVAR_SOURCE_DIR "/docs/inspector.md");
  const std::string guide((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(guide.empty());
  for (int v = static_cast<int>(Verdict::Accepted); v <= static_cast<int>(Verdict::ProbeFailed); ++v) {
    const std::string word = verdictName(static_cast<Verdict>(v));
    EXPECT_NE(guide.find("`" + word + "`"), std::string::npos) << word;
  }
}

TEST(ProbeWire, RecordsDecodeAndACutOffTailIsDropped) {
  _LoadParmsOut out = {};
  out.moduleId = 0xABCD;
  out.masks[8] = 0x12345678;
  out.error = 5;
  EventSummary event = {};
  event.sourceId = 0xABCD;
  event.previewLength = 3;
  const std::string bytes = encodeOpened(true, 0x81, "") + encodeEvent(event) + encodeEvent(event) +
                            encodeLoaded(-2, out, 17) + encodeEvent(event);

  ModuleProbe whole;
  ASSERT_TRUE(decodeRecords(bytes, &whole, 2));
  EXPECT_TRUE(whole.loads);
  EXPECT_TRUE(whole.exports(ENTRY_LOAD));
  EXPECT_TRUE(whole.exports(ENTRY_IOCTL));
  EXPECT_FALSE(whole.exports(ENTRY_OPEN));
  EXPECT_EQ(whole.events.size(), 2u);
  EXPECT_EQ(whole.eventsNotListed, 1u);
  EXPECT_TRUE(whole.loadReturned);
  EXPECT_EQ(whole.loadResult, -2);
  EXPECT_EQ(whole.loadOut.masks[8], 0x12345678u);
  EXPECT_EQ(whole.loadOut.error, 5);
  EXPECT_EQ(whole.loadTimeMs, 17);

  // The child died while writing the Load record.
  const std::string opened = encodeOpened(false, 0, "cannot open");
  ModuleProbe cut;
  ASSERT_TRUE(decodeRecords(opened + encodeLoaded(0, out, 1).substr(0, 20), &cut, 10));
  EXPECT_TRUE(cut.openReported);
  EXPECT_EQ(cut.loaderError, "cannot open");
  EXPECT_FALSE(cut.loadReturned);

  ModuleProbe garbage;
  EXPECT_FALSE(decodeRecords(std::string("\x09\x00\x00\x00\x00", 5), &garbage, 10));
}

}  // namespace
