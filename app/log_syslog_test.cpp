// Tests of the syslog log target: its level table, and messages from a
// thread other than the main one.
#include "app/log_syslog.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <mutex>
#include <string>
#include <vector>

#include "compat/pt.h"

namespace {

struct LevelRow {
  const char* name;
  wxLogLevel level;
  int priority;
};

void PrintTo(const LevelRow& row, std::ostream* os) { *os << row.name; }

class LogSyslogPriority : public ::testing::TestWithParam<LevelRow> {};

TEST_P(LogSyslogPriority, MapsTheLevel) { EXPECT_EQ(wxLogSyslog::priorityFor(GetParam().level), GetParam().priority); }

INSTANTIATE_TEST_SUITE_P(
    Levels, LogSyslogPriority,
    ::testing::Values(LevelRow{"FatalError", wxLOG_FatalError, LOG_CRIT}, LevelRow{"Error", wxLOG_Error, LOG_ERR},
                      LevelRow{"Warning", wxLOG_Warning, LOG_WARNING},
                      LevelRow{"Message", wxLOG_Message, LOG_INFO}, LevelRow{"Status", wxLOG_Status, LOG_NOTICE},
                      LevelRow{"Info", wxLOG_Info, LOG_INFO}, LevelRow{"Debug", wxLOG_Debug, LOG_DEBUG},
                      LevelRow{"Trace", wxLOG_Trace, LOG_DEBUG}, LevelRow{"Progress", wxLOG_Progress, LOG_INFO},
                      LevelRow{"User", wxLOG_User, LOG_INFO}, LevelRow{"Max", wxLOG_Max, LOG_INFO},
                      LevelRow{"AllBits32", 0xFFFFFFFFul, LOG_INFO}),
    [](const ::testing::TestParamInfo<LevelRow>& info) { return std::string(info.param.name); });

// The daemon's target, keeping each message it would write.
class KeptLog : public wxLogSyslog {
 public:
  KeptLog() : wxLogSyslog("selvar-test") {}
  std::vector<std::string> kept() {
    std::lock_guard<std::mutex> lock(mutex);
    return lines;
  }

 protected:
  void DoLogRecord(wxLogLevel, const wxString& msg, const wxLogRecordInfo&) override {
    std::lock_guard<std::mutex> lock(mutex);
    lines.push_back(msg.ToStdString());
  }

 private:
  std::mutex mutex;
  std::vector<std::string> lines;
};

// A long-lived service thread (not autofree) that logs one error.
class LoggingThread : public pt::thread {
 public:
  LoggingThread() : pt::thread(false) {}
  ~LoggingThread() override { waitfor(); }

 protected:
  void execute() override { wxLogError("from a service thread"); }
};

TEST(LogSyslogThreads, AServiceThreadsMessageIsWrittenAtOnceAndOnce) {
  KeptLog* target = new KeptLog;
  wxLog* previous = wxLog::SetActiveTarget(target);
  {
    LoggingThread thread;
    ASSERT_TRUE(thread.start());
    thread.waitfor();
  }
  // Nothing flushed on the main thread in between.
  EXPECT_EQ(target->kept(), std::vector<std::string>{"from a service thread"});
  wxLog::SetActiveTarget(previous);
  delete target;
}

}  // namespace
