// module_e2e.h - test modules inside an end-to-end Sandbox: installs copies of
// the built test modules (tests/modules) with their configuration, reads back
// the logs they write while the real daemon runs, and lists plugins/ the way
// the service's discovery does, so that tests can tell which module is
// listed where without assuming the file system's order.
#ifndef SELVAR_TESTS_E2E_MODULE_E2E_H
#define SELVAR_TESTS_E2E_MODULE_E2E_H

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sandbox.h"
#include "tests/support/module_fixture.h"

namespace e2e {

using selvar_test::ModuleRecord;
using RecordMatch = std::function<bool(const ModuleRecord&)>;

// Every configuration starts with this: whole payloads in the log lines.
extern const char* const fullPayloads;

// Copies a built test module into plugins/ as `name`, writes `config` (after
// fullPayloads) as its .conf and creates its empty log, so that plugins/
// gets no new entry once the daemon runs.
std::string installModule(Sandbox& sb, const std::string& name, const std::string& config = "",
                          const std::string& built = "test_module.so");
// Rewrites the .conf of an installed module in place.
void configureModule(Sandbox& sb, const std::string& name, const std::string& config);

// The module candidates in `dir` in readdir order: visible regular files
// whose names end in ".so".
std::vector<std::string> listedModules(const std::string& dir);

std::string moduleLogPath(const Sandbox& sb, const std::string& name);
bool moduleLogExists(const Sandbox& sb, const std::string& name);
std::vector<ModuleRecord> moduleLog(const Sandbox& sb, const std::string& name);
std::vector<ModuleRecord> moduleRecords(const Sandbox& sb, const std::string& name, const std::string& kind);
// The modules' logs as text, for failure messages.
std::string moduleLogDump(const Sandbox& sb, const std::vector<std::string>& names);
// The kinds of a log in order, e.g. "INIT LOAD FINI".
std::string kindsOf(const std::vector<ModuleRecord>& log);
// Only the calls of entry points among them, e.g. "LOAD OPEN CLOSE UNLOAD".
std::string entryCalls(const std::vector<ModuleRecord>& log);

// Polls the module's log until it holds a record of `kind` that `match`
// accepts (any, without one); returns the first such record.
std::optional<ModuleRecord> waitForRecord(const Sandbox& sb, const std::string& name, const std::string& kind,
                                          const RecordMatch& match = RecordMatch(),
                                          std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));

// A module's CLOCK_MONOTONIC time stamp (t=), comparable across modules.
uint64_t timeOf(const ModuleRecord& record);
// An IOCTL delivery (code 2) whose payload begins with `prefix`.
bool isIoctlDelivery(const ModuleRecord& record, const std::string& prefix);
// The payload bytes of a record (logged as text or in hex), empty when it
// has none.
std::string payloadText(const ModuleRecord& record);

// Payload prefixes of the service's documents.
extern const char* const statusDocumentPrefix;  // the module status document
extern const char* const savedMemoryPrefix;     // the saved memory form

// The Filename attributes of the Plugin elements of a status document.
std::vector<std::string> pluginFilenames(const std::string& statusDocument);

// Starts the daemon and checks that it runs (fatal failure otherwise).
void startService(Sandbox& sb, pid_t& daemon);
// Stops it with SIGTERM; expects "Done" and a normal exit.
void stopService(Sandbox& sb, pid_t daemon);

}  // namespace e2e

#endif
