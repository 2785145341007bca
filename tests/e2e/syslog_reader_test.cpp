// The test logger must read glibc's lines exactly as a system logger would,
// or every end-to-end check built on it is off.
#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>

#include <string>

#include "private_namespace.h"
#include "syslog_reader.h"

using e2e::SyslogEntry;
using e2e::SyslogReader;

TEST(SyslogEntryParse, ReadsPriorityIdentPidAndText) {
  SyslogEntry e = SyslogEntry::parse("<27>May 20 13:04:05 vantriserver[42]: plugin b.so: load returned -1");
  ASSERT_TRUE(e.wellFormed) << e.raw;
  EXPECT_EQ(e.priority, 27);
  EXPECT_EQ(e.facility, 3);
  EXPECT_EQ(e.severity, 3);
  EXPECT_EQ(e.timestamp, "May 20 13:04:05");
  EXPECT_EQ(e.ident, "vantriserver");
  EXPECT_EQ(e.pid, 42);
  EXPECT_EQ(e.text, "plugin b.so: load returned -1");
}

TEST(SyslogEntryParse, AcceptsBlankPaddedDayMissingPidAndTrailingNewline) {
  SyslogEntry padded = SyslogEntry::parse("<30>Jan  5 01:02:03 vantriserver[7]: Done\n");
  ASSERT_TRUE(padded.wellFormed) << padded.raw;
  EXPECT_EQ(padded.text, "Done");
  EXPECT_EQ(padded.pid, 7);

  SyslogEntry noPid = SyslogEntry::parse("<29>Dec 31 23:59:59 tool: a: b");
  ASSERT_TRUE(noPid.wellFormed) << noPid.raw;
  EXPECT_EQ(noPid.ident, "tool");
  EXPECT_EQ(noPid.pid, -1);
  EXPECT_EQ(noPid.text, "a: b");
}

TEST(SyslogEntryParse, FlagsLinesOutOfFormat) {
  for (const char* raw : {"Done", "<30>Done", "<x>May 20 13:04:05 id[1]: t", "<30>May 20 13:04:05 no colon here",
                          "<30>2024-05-20 13:04:05 id[1]: t", "<30>May 20 13:04:05 id[1x]: t"}) {
    SyslogEntry e = SyslogEntry::parse(raw);
    EXPECT_FALSE(e.wellFormed) << raw;
    EXPECT_EQ(e.raw, raw);
  }
}

// More lines than a datagram socket queues by default (10), from glibc itself:
// none may be lost, reordered, or block the sender.
TEST(SyslogReaderSocket, ReceivesGlibcLinesInOrder) {
  ASSERT_TRUE(e2e::insidePrivateNamespace());
  SyslogReader reader("/dev/log");
  openlog("e2e-probe", LOG_PID, LOG_DAEMON);
  for (int i = 0; i < 50; ++i) syslog(LOG_WARNING, "line %d", i);
  closelog();

  auto entries = reader.entries();
  ASSERT_EQ(entries.size(), 50u) << reader.dump();
  for (int i = 0; i < 50; ++i) {
    const SyslogEntry& e = entries[static_cast<size_t>(i)];
    ASSERT_TRUE(e.wellFormed) << e.raw;
    EXPECT_EQ(e.priority, 28);
    EXPECT_EQ(e.ident, "e2e-probe");
    EXPECT_EQ(e.pid, getpid());
    EXPECT_EQ(e.text, "line " + std::to_string(i));
  }
  EXPECT_EQ(reader.count(e2e::textContains("line 4")), 11u);  // 4 and 40..49
  EXPECT_FALSE(reader.waitFor(e2e::textIs("line 50"), std::chrono::milliseconds(20)));
}
