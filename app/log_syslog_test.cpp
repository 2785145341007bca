// Tests of the syslog log target's level table.
#include "app/log_syslog.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <string>

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

}  // namespace
