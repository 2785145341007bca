#include "app/dispatch_watch.h"

#include <gtest/gtest.h>
#include <wx/log.h>

#include <string>
#include <vector>

namespace {

class CapturedLog : public wxLog {
 public:
  std::vector<std::pair<wxLogLevel, std::string>> lines;

 protected:
  void DoLogRecord(wxLogLevel level, const wxString& message, const wxLogRecordInfo&) override {
    lines.emplace_back(level, std::string(message.utf8_str()));
  }
};

class CountingWatch : public DispatchWatch {
 public:
  using DispatchWatch::DispatchWatch;
  int pings = 0;

 protected:
  void ping() override { ++pings; }
};

class DispatchWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous = wxLog::SetActiveTarget(&log);
    rememberModule(&module, "slow.so", nullptr);
  }
  void TearDown() override {
    forgetModule(&module);
    wxLog::SetActiveTarget(previous);
  }
  CapturedLog log;
  wxLog* previous = nullptr;
  const int module = 0;
  ModuleCallRecord record;
};

}  // namespace

TEST_F(DispatchWatchTest, ReportsOneStallOnceAndItsEndOnce) {
  CountingWatch watch(record, 0);
  {
    ModuleCallScope call(record, &module, "Write");
    const int64_t start = 5000;
    watch.tick(start);
    watch.tick(start + 9999);
    EXPECT_TRUE(log.lines.empty());
    watch.tick(start + 10000);
    watch.tick(start + 11000);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].first, wxLOG_Error);
    EXPECT_EQ(log.lines[0].second, "plugin slow.so has not returned from Write for 10 seconds; event routing is stalled");
    EXPECT_TRUE(watch.stalled());
  }
  watch.tick(5000 + 12500);
  watch.tick(5000 + 13500);
  ASSERT_EQ(log.lines.size(), 2u);
  EXPECT_EQ(log.lines[1].first, wxLOG_Message);
  EXPECT_EQ(log.lines[1].second, "plugin slow.so returned after 12 seconds; event routing goes on");
  EXPECT_FALSE(watch.stalled());
  EXPECT_EQ(watch.pings, 0) << "no watchdog, no ping";
}

TEST_F(DispatchWatchTest, PingsEveryHalfPeriodExceptDuringAStall) {
  CountingWatch watch(record, 1000);
  watch.tick(0);
  EXPECT_EQ(watch.timeoutMs(0), 500);
  watch.tick(499);
  watch.tick(500);
  EXPECT_EQ(watch.pings, 2);
  {
    ModuleCallScope call(record, &module, "IOCTL");
    const int64_t start = 1000;
    watch.tick(start);
    EXPECT_EQ(watch.pings, 3);
    watch.tick(start + 10000);
    watch.tick(start + 10600);
    EXPECT_EQ(watch.pings, 3);
    EXPECT_EQ(watch.timeoutMs(start + 10600), DISPATCH_WATCH_TICK_MS);
  }
  watch.tick(1000 + 11000);
  EXPECT_EQ(watch.pings, 4);
}

TEST(WatchdogPeriod, ServesOnlyTheDaemonOrTheLauncherThatForkedIt) {
  EXPECT_EQ(watchdogPeriodMs("30000000", nullptr, 200, 100), 30000);
  EXPECT_EQ(watchdogPeriodMs("30000000", "200", 200, 100), 30000);
  EXPECT_EQ(watchdogPeriodMs("30000000", "100", 200, 100), 30000);
  EXPECT_EQ(watchdogPeriodMs("30000000", "1", 200, 100), 0);
  EXPECT_EQ(watchdogPeriodMs("30000000", "10x", 200, 100), 0);
  EXPECT_EQ(watchdogPeriodMs(nullptr, nullptr, 200, 100), 0);
  EXPECT_EQ(watchdogPeriodMs("", nullptr, 200, 100), 0);
  EXPECT_EQ(watchdogPeriodMs("-5", nullptr, 200, 100), 0);
}
