// Selvar-inspect promises the service's verdict. Here both run over the same
// plugins directory (the service first, in its sandbox, then the inspector):
// each module is accepted by both or by neither, and a file the service
// refuses before loading is never mapped by the inspector either.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "module_e2e.h"
#include "private_namespace.h"
#include "process_runner.h"

using namespace e2e;

namespace {

// Accepted or not, per file, as the inspector's JSON report has it.
std::map<std::string, bool> inspectorAccepts(const std::string& dir, std::string* directoryMessage) {
  ProcessCommand command;
  command.file = hostPath(SELVAR_E2E_INSPECTOR);
  command.argv = {command.file, "--json", "--timeout=5", "--dir", dir};
  command.env = environmentWithPath(Sandbox::defaultPath());
  command.timeout = milliseconds(60000);
  const ProcessResult run = runProcess(command);
  std::map<std::string, bool> accepted;
  const nlohmann::json doc = nlohmann::json::parse(run.out, nullptr, false);
  EXPECT_TRUE(doc.is_object()) << run.describe();
  if (!doc.is_object()) return accepted;
  for (const auto& m : doc["modules"]) {
    accepted[m["file"].get<std::string>()] = m["verdict"] == "accepted";
    if (m["serviceMessage"].is_string()) *directoryMessage = m["serviceMessage"].get<std::string>();
  }
  return accepted;
}

// Runs the service over plugins/ until its scheduler has written core.xml
// (the load and open passes are behind it), stops it, and tells per file
// whether it was accepted: opened. Then the inspector over the same folder.
void expectSameVerdicts(Sandbox& sb, const std::vector<std::string>& files, std::string* inspectorMessage) {
  pid_t daemon = -1;
  ASSERT_NO_FATAL_FAILURE(startService(sb, daemon));
  EXPECT_TRUE(waitUntil(
      [&] {
        std::ifstream in(sb.coreXml());
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return text.find("</Vantri>") != std::string::npos;
      },
      milliseconds(5000)))
      << sb.logDump();
  stopService(sb, daemon);
  std::map<std::string, bool> service;
  for (const std::string& file : files) service[file] = !moduleRecords(sb, file, "OPEN").empty();
  EXPECT_EQ(inspectorAccepts(sb.pluginDir(), inspectorMessage), service)
      << sb.logDump() << moduleLogDump(sb, files);
}

TEST(InspectorAgreesWithService, ModuleByModule) {
  Sandbox sb;
  sb.writePluginFile("garbage.so", "not a shared object\n");
  installModule(sb, "noload.so", "", "no_load_module.so");
  installModule(sb, "refuses.so", "id=0x00100002\nloadReturn=3\n");
  installModule(sb, "good.so", "id=0x00100001\n");
  installModule(sb, "twin.so", "id=0x00100001\n");
  installModule(sb, "reserved.so", "id=0x80000000\n");
  chmod(installModule(sb, "groupwritable.so", "id=0x00100003\n").c_str(), 0775);
  ASSERT_EQ(chown(installModule(sb, "foreign.so", "id=0x00100004\n").c_str(), 4321, 4321), 0);
  const std::vector<std::string> files = {"garbage.so", "noload.so",  "refuses.so",       "good.so",
                                          "twin.so",    "reserved.so", "groupwritable.so", "foreign.so"};
  std::string message;
  expectSameVerdicts(sb, files, &message);
  for (const char* untrusted : {"groupwritable.so", "foreign.so"})
    EXPECT_TRUE(moduleLog(sb, untrusted).empty()) << untrusted << " was mapped\n" << moduleLogDump(sb, {untrusted});
}

TEST(InspectorAgreesWithService, OnAPluginsDirectoryOthersMayChange) {
  Sandbox sb;
  installModule(sb, "good.so", "id=0x00100001\n");
  ASSERT_EQ(chmod(sb.pluginDir().c_str(), 0775), 0);
  std::string message;
  expectSameVerdicts(sb, {"good.so"}, &message);
  EXPECT_TRUE(moduleLog(sb, "good.so").empty()) << moduleLogDump(sb, {"good.so"});
  // The inspector names the service's reason, word for word.
  EXPECT_EQ(sb.syslog().count(textIs(message)), 1u) << message << "\n" << sb.logDump();
}

}  // namespace
