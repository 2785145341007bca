// selvar_leak_check - one whole life of the service in one process, for a
// leak checker: start with two test modules (one keeps payloads and gives
// them back on a timer, one answers requests), route events, requests and
// stops for a moment, stop, destroy the core, exit. Run under valgrind
// memcheck (plain builds) or on its own in AddressSanitizer builds, whose
// LeakSanitizer checks at exit. Exits 0 when the run itself went as planned.
#include <wx/filename.h>
#include <wx/init.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "core/service_core.h"
#include "tests/support/core_test_support.h"
#include "tests/support/module_fixture.h"

using selvar_test::ModuleFixture;
using selvar_test::ScopedWorkdir;

namespace {

int32_t submit(uint32_t source, uint32_t flags, uint32_t eventClass, const std::string& text, uint32_t handle = 0) {
  _EventParmsIn in;
  memset(&in, 0, sizeof(in));
  in.size = sizeof(in);
  in.version = 1;
  in.sourceId = source;
  in.flags = flags;
  in.eventClass = eventClass;
  in.requestHandle = handle;
  in.data = text.empty() ? nullptr : const_cast<char*>(text.data());
  in.dataSize = static_cast<uint32_t>(text.size());
  _EventParmsOut out;
  memset(&out, 0, sizeof(out));
  out.size = sizeof(out);
  out.version = 1;
  FlatPluginEvent(&in, &out);
  return out.result;
}

}  // namespace

int main() {
  wxInitializer framework;
  if (!framework.IsOk()) return 2;
  int failures = 0;
  {
    ScopedWorkdir workdir;
    ModuleFixture fixture;
    fixture.install("keeper.so", {{"id", "0x00010000"},
                                  {"acceptsEvents", "1"},
                                  {"mask1", "0xFF"},
                                  {"keep", "1"},
                                  {"releaseAfterMs", "10"}});
    fixture.install("provider.so", {{"id", "0x00020000"},
                                    {"hasReader", "1"},
                                    {"mask1", "0xFF"},
                                    {"provide", "1"},
                                    {"provide.count", "5"},
                                    {"provide.flags", "0x800"},
                                    {"submit.open", "flags=0x800 class=0x10 text=hello from open"}});
    ServiceCore* core = new ServiceCore(wxFileName(wxString(fixture.executablePath())));
    if (!core->start()) ++failures;
    for (int i = 0; i < 200; ++i) {
      if (submit(0x00400000u, i % 2 ? 0x800u : 0x2u, 0x01, "event " + std::to_string(i)) != EVR_OK) ++failures;
      if (i % 20 == 0) {
        const uint32_t handle = 100 + i;
        if (submit(0, 0x2, 0x01, "request", handle) != EVR_OK) ++failures;
        if (i % 40 == 0 && submit(0, EVF_STOP, 0, "", handle) != EVR_OK) ++failures;
      }
    }
    if (!fixture.waitForRecords("keeper.so", "RELEASE", 50)) ++failures;
    if (!fixture.waitForRecords("provider.so", "ANSWER", 5)) ++failures;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    core->stop();
    delete core;
  }
  if (failures != 0) fprintf(stderr, "selvar_leak_check: %d steps did not go as planned\n", failures);
  return failures == 0 ? 0 : 1;
}
