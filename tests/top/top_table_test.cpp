// Selvar-top's reading of the endpoint's document and its table.
#include <gtest/gtest.h>

#include <string>

#include "tools/top/top_snapshot.h"
#include "tools/top/top_table.h"

namespace {

// Two readings of one daemon, one second apart.
const char* const FIRST = R"({"schema":1,"pid":77,"uptimeMs":10000,"sampleEvery":16,
  "service":{"eventsDelivered":1000,"queueLength":3,"queueHighWater":40,"dispatchBusyNs":1000000000,
             "requestsRunning":2,"countedSources":[{"id":5,"allowanceLeft":3}],"throttling":true},
  "modules":[
    {"file":"kämera.so","id":1,"writes":100,"ioctls":0,"busyNs":100000000,"longestCallNs":2000000,"keptNow":0},
    {"file":"store.so","id":2,"writes":400,"ioctls":500,"busyNs":900000000,"longestCallNs":5000000,
     "keptNow":2,"keptMost":7,"oldestKeptMs":1500,"readsRunning":1,"submitted":{"EVR_OK":9,"EVR_NO_MEMORY":1}}]})";
const char* const SECOND = R"({"schema":1,"pid":77,"uptimeMs":11000,"sampleEvery":16,
  "service":{"eventsDelivered":1500,"dispatchBusyNs":1250000000},
  "modules":[
    {"file":"kämera.so","id":1,"writes":400,"busyNs":300000000,"longestCallNs":2000000},
    {"file":"store.so","id":2,"writes":400,"ioctls":700,"busyNs":950000000,"longestCallNs":5000000,
     "keptNow":1,"keptMost":7,"oldestKeptMs":2500}]})";

top::Snapshot parsed(const char* text) {
  top::Snapshot snapshot;
  std::string error;
  EXPECT_TRUE(top::parseSnapshot(text, snapshot, error)) << error;
  return snapshot;
}

}  // namespace

TEST(TopSnapshot, ReadsTheFiguresAndRefusesWhatIsNoStatusDocument) {
  const top::Snapshot snapshot = parsed(FIRST);
  EXPECT_EQ(77, snapshot.pid);
  EXPECT_EQ(16u, snapshot.sampleEvery);
  EXPECT_EQ(40u, snapshot.service.queueHighWater);
  EXPECT_EQ(1u, snapshot.service.countedSources);
  EXPECT_TRUE(snapshot.service.throttling);
  ASSERT_EQ(2u, snapshot.modules.size());
  EXPECT_EQ("kämera.so", snapshot.modules[0].file);
  EXPECT_EQ(900u, snapshot.modules[1].deliveries());
  EXPECT_EQ(1u, snapshot.modules[1].submitted.at("EVR_NO_MEMORY"));

  top::Snapshot ignored;
  std::string error;
  for (const char* text : {"", "[1,2]", "{\"service\":{}}", "{\"service\":{},\"modules\":{}}", "{\"modules\":[] "}) {
    EXPECT_FALSE(top::parseSnapshot(text, ignored, error)) << text;
    EXPECT_FALSE(error.empty());
  }
}

TEST(TopTable, RatesCoverTheTimeBetweenReadingsOrTheUptimeWithoutAPair) {
  const top::Snapshot first = parsed(FIRST);
  const top::Snapshot second = parsed(SECOND);
  const top::Table paired = top::buildTable(&first, second);
  EXPECT_FALSE(paired.sinceStart);
  EXPECT_DOUBLE_EQ(500.0, paired.service.deliveriesPerSecond);
  EXPECT_DOUBLE_EQ(25.0, paired.service.busyPercent);
  ASSERT_EQ(2u, paired.modules.size());
  EXPECT_DOUBLE_EQ(300.0, paired.modules[0].deliveriesPerSecond);
  EXPECT_DOUBLE_EQ(20.0, paired.modules[0].busyPercent);
  EXPECT_DOUBLE_EQ(200.0, paired.modules[1].deliveriesPerSecond);
  EXPECT_DOUBLE_EQ(5.0, paired.modules[1].busyPercent);
  EXPECT_DOUBLE_EQ(2.5, paired.modules[1].oldestKeptSeconds);
  // The service's row sums what is kept and takes the worst of the rest.
  EXPECT_EQ(1u, paired.service.keptNow);
  EXPECT_DOUBLE_EQ(5.0, paired.service.longestMs);

  const top::Table alone = top::buildTable(nullptr, first);
  EXPECT_TRUE(alone.sinceStart);
  EXPECT_DOUBLE_EQ(100.0, alone.service.deliveriesPerSecond);
  EXPECT_DOUBLE_EQ(90.0, alone.modules[1].deliveriesPerSecond);

  // Another daemon (a restart) is not a pair: its counters started again.
  top::Snapshot restarted = second;
  restarted.pid = 78;
  EXPECT_TRUE(top::buildTable(&first, restarted).sinceStart);
}

TEST(TopTable, SortsByEachKeyAndCutsNamesOnACharacterBoundary) {
  const top::Snapshot first = parsed(FIRST);
  const top::Snapshot second = parsed(SECOND);
  const top::Table table = top::buildTable(&first, second);
  struct Case {
    const char* word;
    const char* top;
  } cases[] = {{"busy", "kämera.so"}, {"d", "kämera.so"}, {"longest", "store.so"},
               {"k", "store.so"},     {"oldest", "store.so"}, {"name", "kämera.so"}};
  for (const Case& c : cases) {
    top::SortKey key;
    ASSERT_TRUE(top::sortKeyNamed(c.word, key)) << c.word;
    std::vector<top::TableRow> rows = table.modules;
    top::sortRows(rows, key);
    EXPECT_EQ(c.top, rows[0].name) << c.word;
  }
  top::SortKey unused;
  EXPECT_FALSE(top::sortKeyNamed("x", unused));

  top::Snapshot longName = second;
  longName.modules[0].file = "ääääääääääääääääääääääääääääää.so";  // 30 two-byte characters
  const std::vector<std::string> lines =
      top::formatTable(longName, top::buildTable(&first, longName), top::SORT_NAME, 200);
  ASSERT_EQ(8u, lines.size());  // three summary lines, a blank, heads, service, two modules
  EXPECT_EQ(0u, lines[5].find("(service)"));
  std::string cutName;
  for (int i = 0; i < 23; ++i) cutName += "ä";
  EXPECT_EQ(0u, lines[7].find(cutName + "~ ")) << lines[7];
  for (const std::string& line : top::formatTable(second, table, top::SORT_BUSY, 30)) {
    size_t columns = 0;
    for (unsigned char ch : line) columns += (ch & 0xC0) != 0x80;
    EXPECT_LE(columns, 30u) << line;
  }
}
