#include "app/crash_report.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "pluginhost/module_calls.h"

namespace {

std::string report(int sig, const siginfo_t* info) {
  char text[256];
  const size_t length = formatCrashReport(sig, info, nullptr, text, sizeof(text));
  EXPECT_EQ(length, strlen(text));
  return text;
}

}  // namespace

TEST(CrashReport, NamesTheModuleAndEntryTheThreadIsIn) {
  const int module = 0;
  rememberModule(&module, "cam.so", nullptr);
  {
    LocalModuleCall call(&module, "Read");
    EXPECT_EQ(report(SIGSEGV, nullptr), "plugin cam.so crashed in Read with signal 11 (SIGSEGV)");
  }
  forgetModule(&module);
  EXPECT_EQ(report(SIGFPE, nullptr), "Selvar crashed with signal 8 (SIGFPE)");
}

TEST(CrashReport, ASignalFromAnotherProcessIsNoCrash) {
  siginfo_t info;
  memset(&info, 0, sizeof(info));
  info.si_code = SI_USER;
  info.si_pid = getpid() + 1;
  EXPECT_EQ(report(SIGABRT, &info), "Selvar was sent signal 6 (SIGABRT) by process " + std::to_string(getpid() + 1));
  info.si_pid = getpid();  // raise() or abort() in this process
  EXPECT_EQ(report(SIGABRT, &info), "Selvar crashed with signal 6 (SIGABRT)");
}

TEST(CrashReport, CutsALongLineAtTheBuffer) {
  char text[8];
  EXPECT_EQ(formatCrashReport(SIGSEGV, nullptr, nullptr, text, sizeof(text)), 7u);
  EXPECT_STREQ(text, "Selvar ");
}
