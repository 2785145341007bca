#include "pluginhost/module_calls.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

int codeInThisBinary() { return 7; }

}  // namespace

TEST(ModuleCallScope, MarksTheCallForItsLifetimeAndCountsItWhenItEnds) {
  ModuleCallRecord record;
  const int module = 0;
  {
    ModuleCallScope call(record, &module, "Write");
    const ModuleCallRecord::Snapshot inside = record.snapshot();
    EXPECT_EQ(inside.library, &module);
    EXPECT_STREQ(inside.entry, "Write");
    EXPECT_EQ(inside.finished, 0u);
    EXPECT_EQ(g_threadCall, &record);
  }
  const ModuleCallRecord::Snapshot after = record.snapshot();
  EXPECT_EQ(after.library, nullptr);
  EXPECT_EQ(after.finished, 1u);
  g_threadCall = nullptr;
}

TEST(LocalModuleCall, PutsTheThreadsOuterRecordBack) {
  ModuleCallRecord outer;
  g_threadCall = &outer;
  {
    LocalModuleCall call(nullptr, "Open");
    ASSERT_NE(g_threadCall, &outer);
    EXPECT_STREQ(g_threadCall->entry.load(), "Open");
  }
  EXPECT_EQ(g_threadCall, &outer);
  g_threadCall = nullptr;
}

TEST(ModuleTable, FindsAModuleByKeyAndByAddressUntilItIsForgotten) {
  const int key = 0;
  const uintptr_t code = reinterpret_cast<uintptr_t>(&codeInThisBinary);
  rememberModule(&key, "table.so", reinterpret_cast<const void*>(code));
  EXPECT_STREQ(moduleFileName(&key), "table.so");
  EXPECT_STREQ(moduleFileNameAt(code), "table.so");
  EXPECT_EQ(moduleFileNameAt(0), nullptr);
  const char* name = moduleFileName(&key);
  forgetModule(&key);
  EXPECT_EQ(moduleFileName(&key), nullptr);
  EXPECT_EQ(moduleFileNameAt(code), nullptr);
  EXPECT_STREQ(name, "table.so") << "a name handed out must outlive its module";
}
