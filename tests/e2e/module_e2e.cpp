// module_e2e.cpp - test modules inside an end-to-end Sandbox.
#include "module_e2e.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <set>
#include <sstream>

namespace e2e {

const char* const fullPayloads = "logMax=100000\n";
const char* const statusDocumentPrefix = "<?xml ?><Vantri Delta=\"0\"><Modules>";
const char* const savedMemoryPrefix = "<?xml ?><Vantri Delta=\"0\"><Memory ";

std::string installModule(Sandbox& sb, const std::string& name, const std::string& config,
                          const std::string& built) {
  std::string path = sb.addPlugin(selvar_test::testModulePath(built), name);
  configureModule(sb, name, config);
  sb.writeFile(moduleLogPath(sb, name), "");
  return path;
}

void configureModule(Sandbox& sb, const std::string& name, const std::string& config) {
  sb.writeFile(sb.pluginDir() + "/" + name + ".conf", std::string(fullPayloads) + config);
}

std::vector<std::string> listedModules(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (dirent* entry = readdir(d)) {
    const std::string name = entry->d_name;
    if (name.empty() || name[0] == '.') continue;
    if (name.size() < 3 || name.compare(name.size() - 3, 3, ".so") != 0) continue;
    struct stat info;
    if (stat((dir + "/" + name).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    names.push_back(name);
  }
  closedir(d);
  return names;
}

std::string moduleLogPath(const Sandbox& sb, const std::string& name) {
  return sb.pluginDir() + "/" + name + ".log";
}

bool moduleLogExists(const Sandbox& sb, const std::string& name) {
  return sb.readFile(moduleLogPath(sb, name)).has_value();
}

std::vector<ModuleRecord> moduleLog(const Sandbox& sb, const std::string& name) {
  return selvar_test::parseModuleLog(sb.readFile(moduleLogPath(sb, name)).value_or(""));
}

std::vector<ModuleRecord> moduleRecords(const Sandbox& sb, const std::string& name, const std::string& kind) {
  std::vector<ModuleRecord> matching;
  for (ModuleRecord& record : moduleLog(sb, name))
    if (record.kind == kind) matching.push_back(std::move(record));
  return matching;
}

std::string moduleLogDump(const Sandbox& sb, const std::vector<std::string>& names) {
  std::ostringstream out;
  for (const std::string& name : names) {
    out << "--- " << name << ".log\n";
    auto text = sb.readFile(moduleLogPath(sb, name));
    out << (text ? *text : std::string("(none)\n"));
  }
  return out.str();
}

std::string kindsOf(const std::vector<ModuleRecord>& log) {
  std::string kinds;
  for (const ModuleRecord& record : log) kinds += (kinds.empty() ? "" : " ") + record.kind;
  return kinds;
}

std::string entryCalls(const std::vector<ModuleRecord>& log) {
  static const std::set<std::string> entries = {"LOAD", "UNLOAD", "OPEN", "CLOSE", "READ", "WRITE", "SEEK", "IOCTL"};
  std::string calls;
  for (const ModuleRecord& record : log)
    if (entries.count(record.kind) != 0) calls += (calls.empty() ? "" : " ") + record.kind;
  return calls;
}

std::optional<ModuleRecord> waitForRecord(const Sandbox& sb, const std::string& name, const std::string& kind,
                                          const RecordMatch& match, std::chrono::milliseconds timeout) {
  std::optional<ModuleRecord> found;
  waitUntil(
      [&] {
        for (ModuleRecord& record : moduleLog(sb, name)) {
          if (record.kind == kind && (!match || match(record))) {
            found = std::move(record);
            return true;
          }
        }
        return false;
      },
      timeout);
  return found;
}

uint64_t timeOf(const ModuleRecord& record) { return static_cast<uint64_t>(record.num("t")); }

std::string payloadText(const ModuleRecord& record) {
  if (record.has("text")) return record.str("text");
  if (!record.has("hex")) return "";
  const std::string hex = record.str("hex");
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

bool isIoctlDelivery(const ModuleRecord& record, const std::string& prefix) {
  return record.kind == "IOCTL" && record.has("code") && record.num("code") == 2 &&
         payloadText(record).compare(0, prefix.size(), prefix) == 0;
}

std::vector<std::string> pluginFilenames(const std::string& statusDocument) {
  static const std::regex plugin("<Plugin Filename=\"([^\"]*)\"");
  std::vector<std::string> names;
  for (auto it = std::sregex_iterator(statusDocument.begin(), statusDocument.end(), plugin);
       it != std::sregex_iterator(); ++it)
    names.push_back((*it)[1].str());
  return names;
}

void startService(Sandbox& sb, pid_t& daemon) {
  LaunchResult r = sb.launch();
  ASSERT_TRUE(r.exitedWith(0)) << r.describe() << "\nlog:\n" << sb.logDump();
  ASSERT_GT(r.daemonPid, 1) << "no PID file once the launcher had exited\nlog:\n" << sb.logDump();
  ASSERT_TRUE(sb.isRunning(r.daemonPid)) << "the daemon is gone\nlog:\n" << sb.logDump();
  daemon = r.daemonPid;
}

void stopService(Sandbox& sb, pid_t daemon) {
  StopResult stop = sb.stop(daemon);
  EXPECT_TRUE(stop.done) << stop.describe() << "\nlog:\n" << sb.logDump();
  EXPECT_TRUE(stop.exitedNormally()) << stop.describe() << "\nlog:\n" << sb.logDump();
}

}  // namespace e2e
