// module_fixture.h - temporary plug-in layouts and test module logs.
//
// For integration and end-to-end tests, on the test's own thread: a
// ModuleFixture lays out <dir>/Selvar and <dir>/plugins/, installs copies of
// the test modules (tests/modules) with their .conf, and reads back the .log
// each copy writes (see test_module.c for both formats) while the service runs.
#ifndef SELVAR_TESTS_SUPPORT_MODULE_FIXTURE_H
#define SELVAR_TESTS_SUPPORT_MODULE_FIXTURE_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace selvar_test {

// Configuration lines in order; a key may repeat (submit.*, request.*).
using ModuleConfig = std::vector<std::pair<std::string, std::string>>;

// One log line: its kind (LOAD, WRITE, ...) and its key=value fields, with
// the %XX escapes decoded.
struct ModuleRecord {
  std::string kind;
  std::map<std::string, std::string> fields;

  bool has(const std::string& key) const { return fields.count(key) != 0; }
  // The field's text; throws std::out_of_range when it is missing.
  const std::string& str(const std::string& key) const;
  // The field as a number (decimal, or 0x hex, may be negative); throws
  // std::out_of_range when missing and std::invalid_argument when not a number.
  int64_t num(const std::string& key) const;
  uint32_t u32(const std::string& key) const { return static_cast<uint32_t>(num(key)); }
};

// Parses complete lines of a module log; a last line without its newline is
// still being written and is left out.
std::vector<ModuleRecord> parseModuleLog(const std::string& text);
std::string decodeLogValue(const std::string& value);

// The sum= a module logs for a payload (FNV-1a, 32 bits).
uint32_t payloadSum(const void* data, size_t size);
// The payload a provider sends as answer `frame` (provide.size = size).
std::string framePayload(uint32_t frame, size_t size);

// Where the built test modules are: $SELVAR_TEST_MODULE_DIR, else the
// directory compiled in, else "modules" beside the running executable.
std::string testModuleDir();
std::string testModulePath(const std::string& file = "test_module.so");

class ModuleFixture {
 public:
  // Creates a fresh directory under the system's temporary directory.
  ModuleFixture();
  // Removes the tree, unless $SELVAR_KEEP_TEST_DIRS is set (then it says where).
  ~ModuleFixture();
  ModuleFixture(const ModuleFixture&) = delete;
  ModuleFixture& operator=(const ModuleFixture&) = delete;

  const std::string& dir() const { return dir_; }
  std::string executablePath() const { return dir_ + "/Selvar"; }  // the service's name in the layout
  std::string pluginDir() const { return dir_ + "/plugins"; }
  std::string modulePath(const std::string& name) const { return pluginDir() + "/" + name; }
  std::string logPath(const std::string& name) const { return modulePath(name) + ".log"; }
  std::string configPath(const std::string& name) const { return modulePath(name) + ".conf"; }

  // Copies a built test module to plugins/<name> with its configuration
  // (no .conf at all when config is empty). Returns the installed path.
  std::string install(const std::string& name, const ModuleConfig& config = {},
                      const std::string& module = "test_module.so");
  std::string installRaw(const std::string& name, const std::string& configText,
                         const std::string& module = "test_module.so");
  // Writes an arbitrary file into plugins/ (e.g. a text file named x.so).
  std::string installFile(const std::string& name, const std::string& content);
  void writeConfig(const std::string& name, const ModuleConfig& config);
  // Copies an executable (e.g. the built service) to executablePath().
  void installExecutable(const std::string& source);

  // The module's log; empty when it has not written one.
  std::vector<ModuleRecord> log(const std::string& name) const;
  std::vector<ModuleRecord> records(const std::string& name, const std::string& kind) const;
  size_t count(const std::string& name, const std::string& kind) const;
  // Polls the log until it holds at least n records of kind; false on time-out.
  bool waitForRecords(const std::string& name, const std::string& kind, size_t n,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const;

  void remove();

 private:
  std::string dir_;
};

std::string configText(const ModuleConfig& config);

// Polls pred every few milliseconds until it holds; false on time-out.
bool waitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

}  // namespace selvar_test

#endif  // SELVAR_TESTS_SUPPORT_MODULE_FIXTURE_H
