// The module author's kit as an author meets it: `cmake --install` of the
// build into a prefix, the installed files, a C module built with
// `pkg-config --cflags` and a C++ module built with find_package(), both
// loaded by the installed service in an e2e sandbox; and the guide
// (docs/modules.md) held against the headers and its example file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "monitor_log.h"
#include "private_namespace.h"
#include "sandbox.h"

using namespace e2e;
namespace fs = std::filesystem;

namespace {

// Inside the sandbox's own /tmp: nothing of the host is ever written there.
const std::string prefix = "/tmp/selvar-sdk";
const std::string sbinDir = prefix + "/" SELVAR_INSTALL_SBINDIR;
const std::string pluginDir = prefix + "/" SELVAR_INSTALL_PLUGINDIR;
const std::string includeDir = prefix + "/" SELVAR_INSTALL_INCLUDEDIR;
const std::string pkgconfigDir = prefix + "/" SELVAR_INSTALL_PKGCONFIGDIR;
const std::string cmakePackageDir = prefix + "/" SELVAR_INSTALL_CMAKEDIR;
const std::string unitFile = prefix + "/" SELVAR_INSTALL_SYSTEMDDIR "/selvar.service";
const uint32_t minimalId = 0x00600001u;
const uint32_t cxxId = 0x00600002u;
const uint32_t statusClass = 0x00001000u;

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// The environment of this process without anything that would steer an
// installation or a build elsewhere, plus `extra`.
std::vector<std::string> cleanEnvironment(const std::vector<std::string>& extra = {}) {
  std::vector<std::string> env;
  for (const std::string& entry : environmentWithPath(Sandbox::defaultPath())) {
    if (entry.rfind("DESTDIR=", 0) == 0 || entry.rfind("PKG_CONFIG", 0) == 0 ||
        entry.rfind("CMAKE_", 0) == 0 || entry.rfind("MAKEFLAGS=", 0) == 0)
      continue;
    env.push_back(entry);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

ProcessResult run(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {},
                  const std::string& workDir = "", milliseconds timeout = milliseconds(120000)) {
  ProcessCommand command;
  command.file = argv.at(0);
  command.argv = argv;
  command.env = cleanEnvironment(extraEnv);
  command.workDir = workDir;
  command.timeout = timeout;
  return runProcess(command);
}

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// Each test installs the build for `prefix`. The installation is staged with
// DESTDIR in the build tree before the sandbox exists (the build tree may lie
// under the host's /tmp, which the sandbox covers), then moved into place
// inside the sandbox, where everything else happens.
class InstalledKit : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    stage = std::string(SELVAR_BINARY_DIR) + "/tests/sdk/stage-" + name;
    fs::remove_all(stage);
    ProcessResult install =
        run({SELVAR_CMAKE_COMMAND, "--install", SELVAR_BINARY_DIR, "--prefix", prefix}, {"DESTDIR=" + stage});
    ASSERT_TRUE(install.exitedWith(0)) << install.describe();

    sb = std::make_unique<Sandbox>();
    fs::copy(hostPath(stage + prefix), prefix, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    fs::remove_all(hostPath(stage));
  }

  void TearDown() override {
    if (sb) fs::remove_all(hostPath(stage));
  }

  // A file of the source tree, copied into the sandbox.
  std::string sourceFile(const std::string& relative) {
    return sb->writeFile("src/" + relative, readText(hostPath(std::string(SELVAR_SOURCE_DIR) + "/" + relative)));
  }

  std::string pkgConfig(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {SELVAR_PKG_CONFIG};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back("selvar-module");
    ProcessResult r = run(argv, {"PKG_CONFIG_LIBDIR=" + pkgconfigDir});
    EXPECT_TRUE(r.exitedWith(0)) << r.describe();
    return trimmed(r.out);
  }

  std::string stage;
  std::unique_ptr<Sandbox> sb;
};

TEST_F(InstalledKit, HoldsTheServiceItsModulesTheHeadersAndThePackageFiles) {
  struct stat info;
  ASSERT_EQ(stat((sbinDir + "/Selvar").c_str(), &info), 0);
  EXPECT_TRUE(info.st_mode & S_IXUSR);
  for (const char* module : {"camera.so", "recorder.so", "monitor.so"})
    EXPECT_TRUE(fs::is_regular_file(pluginDir + "/" + module)) << module;
  for (const char* header : {"pluginhost/plugin_interface.h", "events/event_record.h"}) {
    const std::string installed = includeDir + "/" + fs::path(header).filename().string();
    ASSERT_TRUE(fs::is_regular_file(installed)) << installed;
    EXPECT_EQ(readText(installed), readText(hostPath(std::string(SELVAR_SOURCE_DIR) + "/" + header))) << header;
  }

  // pkg-config: the header directory and the module directory of this
  // installation, and the project's version.
  EXPECT_EQ(pkgConfig({"--cflags"}), "-I" + includeDir);
  EXPECT_EQ(pkgConfig({"--variable=plugindir"}), pluginDir);
  EXPECT_EQ(pkgConfig({"--modversion"}), SELVAR_VERSION);

  // The CMake package names the same directories.
  EXPECT_TRUE(fs::is_regular_file(cmakePackageDir + "/SelvarModuleConfig.cmake"));
  EXPECT_TRUE(fs::is_regular_file(cmakePackageDir + "/SelvarModuleConfigVersion.cmake"));

  // The unit starts the installed executable.
  const std::string unit = readText(unitFile);
  ASSERT_FALSE(unit.empty()) << unitFile;
  EXPECT_NE(unit.find("\nExecStart=" + sbinDir + "/Selvar\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nPIDFile=/run/vantriserver.pid\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nType=forking\n"), std::string::npos) << unit;
}

TEST_F(InstalledKit, SystemdAcceptsTheUnit) {
  if (std::string(SELVAR_SYSTEMD_ANALYZE).empty()) GTEST_SKIP() << "systemd-analyze is not installed";
  ProcessResult verify = run({SELVAR_SYSTEMD_ANALYZE, "verify", unitFile});
  EXPECT_TRUE(verify.exitedWith(0)) << verify.describe();
  // Unknown or malformed settings are only warned about.
  EXPECT_EQ(verify.err, "") << verify.describe();

  // The sandboxing keeps the exposure at MEDIUM or better.
  ProcessResult security = run({SELVAR_SYSTEMD_ANALYZE, "security", "--offline=true", unitFile});
  std::smatch level;
  ASSERT_TRUE(std::regex_search(security.out, level, std::regex(R"(Overall exposure level for \S+: ([0-9.]+) (\w+))")))
      << security.describe();
  const std::set<std::string> acceptable = {"PERFECT", "SAFE", "OK", "MEDIUM"};
  EXPECT_EQ(acceptable.count(level[2]), 1u) << "exposure " << level[1] << " " << level[2] << "\n" << security.out;
}

TEST_F(InstalledKit, ModulesBuiltAgainstItRunInTheInstalledService) {
  // C with pkg-config, into the directory pkg-config names; the example
  // from the guide is the module. GNU C99 with -pedantic holds the headers
  // to the strictest mode authors use; hidden visibility leaves the entry
  // points exported through SELVAR_MODULE_EXPORT.
  const std::string minimalSource = sourceFile("docs/examples/minimal_module.c");
  const std::string compile = "\"$CC\" $CFLAGS -std=gnu99 -pedantic -Wall -Wextra -Werror -fvisibility=hidden -fPIC -shared "
                              "$(\"$PKG_CONFIG\" --cflags selvar-module) "
                              "-o \"$(\"$PKG_CONFIG\" --variable=plugindir selvar-module)/minimal_module.so\" \"$SRC\"";
  const std::vector<std::string> compileEnv = {std::string("CC=") + SELVAR_C_COMPILER, "CFLAGS=" SELVAR_TARGET_FLAGS,
                                               std::string("PKG_CONFIG=") + SELVAR_PKG_CONFIG,
                                               "PKG_CONFIG_LIBDIR=" + pkgconfigDir, "SRC=" + minimalSource};
  ProcessResult c = run({"/bin/sh", "-c", compile}, compileEnv, sb->root());
  ASSERT_TRUE(c.exitedWith(0)) << c.describe();
  ASSERT_TRUE(fs::is_regular_file(pluginDir + "/minimal_module.so"));

  // The same source for the 32-bit target: the headers' layout checks hold.
  ProcessResult c32 = run({"/bin/sh", "-c",
                           "\"$CC\" -m32 -std=c99 -pedantic -Wall -Wextra -Werror -fPIC -c "
                           "$(\"$PKG_CONFIG\" --cflags selvar-module) -o minimal_module32.o \"$SRC\""},
                          compileEnv, sb->root());
  EXPECT_TRUE(c32.exitedWith(0)) << c32.describe();

  // C++17 with find_package(SelvarModule), installed where the package says.
  const std::string project = sb->root() + "/src/tests/sdk/cxx_module";
  sourceFile("tests/sdk/cxx_module/CMakeLists.txt");
  sourceFile("tests/sdk/cxx_module/cxx_module.cpp");
  const std::string build = sb->root() + "/cxx-build";
  ProcessResult configure = run({SELVAR_CMAKE_COMMAND, "-S", project, "-B", build, "-DCMAKE_PREFIX_PATH=" + prefix,
                                 std::string("-DCMAKE_CXX_COMPILER=") + SELVAR_CXX_COMPILER,
                                 "-DCMAKE_CXX_FLAGS=" SELVAR_TARGET_FLAGS});
  ASSERT_TRUE(configure.exitedWith(0)) << configure.describe();
  EXPECT_NE(readText(build + "/CMakeCache.txt").find("SelvarModule_DIR:PATH=" + cmakePackageDir + "\n"),
            std::string::npos)
      << "find_package() did not take the installed package";
  ProcessResult compiled = run({SELVAR_CMAKE_COMMAND, "--build", build});
  ASSERT_TRUE(compiled.exitedWith(0)) << compiled.describe();
  ProcessResult installed = run({SELVAR_CMAKE_COMMAND, "--install", build});
  ASSERT_TRUE(installed.exitedWith(0)) << installed.describe();
  ASSERT_TRUE(fs::is_regular_file(pluginDir + "/cxx_module.so")) << installed.describe();

  // The installed service, with the installed demo modules beside ours.
  LaunchOptions options;
  options.program = sbinDir + "/Selvar";
  LaunchResult launch = sb->launch(options);
  ASSERT_TRUE(launch.exitedWith(0)) << launch.describe() << "\nlog:\n" << sb->logDump();
  ASSERT_GT(launch.daemonPid, 1);
  auto monitorLog = [&] { return demo::parseMonitorLog(sb->readFile(sbinDir + "/monitor.log").value_or("")); };
  const bool answered = waitUntil(
      [&] {
        auto entries = monitorLog();
        return demo::writesFrom(entries, minimalId, statusClass).size() >= 3 &&
               !demo::writesFrom(entries, cxxId, statusClass).empty();
      },
      milliseconds(10000));
  StopResult stop = sb->stop(launch.daemonPid);
  EXPECT_TRUE(stop.done && stop.exitedNormally()) << stop.describe() << "\nlog:\n" << sb->logDump();
  const std::string logText = sb->readFile(sbinDir + "/monitor.log").value_or("");
  ASSERT_TRUE(answered) << "monitor.log:\n" << logText << "\nlog:\n" << sb->logDump();

  // Both accepted and opened, as the status document says.
  const auto entries = monitorLog();
  std::vector<size_t> documentSizes;
  std::string statusDocument;
  for (const auto& e : entries) {
    if (e.kind != "ioctl") continue;
    documentSizes.push_back(e.number("bytes"));
    if (e.text.find("<Modules>") != std::string::npos) statusDocument = e.text;
  }
  for (const auto& module : {std::make_pair("minimal_module.so", minimalId), std::make_pair("cxx_module.so", cxxId)}) {
    const std::regex listed("<Plugin Filename=\"" + std::string(module.first) + "\" Opened=\"1\" OpenCode=\"0\"[^>]* ID=\"" +
                            std::to_string(module.second) + "\"");
    EXPECT_TRUE(std::regex_search(statusDocument, listed)) << module.first << "\n" << statusDocument;
  }

  // The C module: its Open, then one answer per document it was sent.
  std::multiset<std::string> expected = {"minimal module: open"};
  for (size_t size : documentSizes) expected.insert("minimal module: document of " + std::to_string(size) + " bytes");
  std::multiset<std::string> seen;
  for (const auto& e : demo::writesFrom(entries, minimalId, statusClass)) seen.insert(e.text);
  EXPECT_EQ(seen, expected) << logText;

  // The C++ module counted the service and the five modules.
  const auto cxxLines = demo::writesFrom(entries, cxxId, statusClass);
  ASSERT_EQ(cxxLines.size(), 1u) << logText;
  EXPECT_EQ(cxxLines[0].text, "c++ module: status document lists 6 plugins");
}

// --- The guide ---

std::string guide() { return readText(std::string(SELVAR_SOURCE_DIR) + "/docs/modules.md"); }

TEST(ModuleGuide, ShowsTheExampleFileVerbatim) {
  const std::string example = readText(std::string(SELVAR_SOURCE_DIR) + "/docs/examples/minimal_module.c");
  ASSERT_FALSE(example.empty());
  const std::string text = guide();
  const size_t start = text.find("```c\n/*\n * minimal_module.c");
  ASSERT_NE(start, std::string::npos) << "the guide does not show minimal_module.c";
  const size_t body = start + 5;
  const size_t end = text.find("```\n", body);
  ASSERT_NE(end, std::string::npos);
  EXPECT_EQ(text.substr(body, end - body), example);
}

// Every offset and size in the guide's tables becomes a static assertion,
// compiled for the 32-bit target and for LP64 against the public headers.
TEST(ModuleGuide, LayoutTablesMatchTheHeadersOnBothWidths) {
  const std::regex heading(R"(^### `(_\w+)`)");
  const std::regex fieldRow(R"(^\| `(\w+)(?:\[\d+\])?` \|[^|]*\| (\d+) \| (\d+) \|)");
  const std::regex sizeRow(R"(^\| \(size\) \|[^|]*\| (\d+) \| (\d+) \|)");
  const std::regex blockRow(R"(^\| `(_\w+)` \|[^|]*\| (\d+) \| (\d+) \|$)");

  std::ostringstream checks;
  checks << "#include <stddef.h>\n#include <stdint.h>\n#include \"plugin_interface.h\"\n"
            "#if UINTPTR_MAX == 0xFFFFFFFFu\n#define AT(w32, lp64) (w32)\n#else\n#define AT(w32, lp64) (lp64)\n#endif\n";
  std::set<std::string> sized;
  std::string block;
  size_t fields = 0;
  std::istringstream lines(guide());
  std::string line;
  std::smatch m;
  while (std::getline(lines, line)) {
    if (std::regex_search(line, m, heading)) {
      block = m[1];
    } else if (std::regex_search(line, m, blockRow)) {
      checks << "_Static_assert(sizeof(" << m[1] << ") == AT(" << m[2] << ", " << m[3] << "), \"" << m[1]
             << " size\");\n";
      sized.insert(m[1]);
    } else if (!block.empty() && std::regex_search(line, m, fieldRow)) {
      checks << "_Static_assert(offsetof(" << block << ", " << m[1] << ") == AT(" << m[2] << ", " << m[3]
             << "), \"" << block << "." << m[1] << "\");\n";
      ++fields;
    } else if (!block.empty() && std::regex_search(line, m, sizeRow)) {
      checks << "_Static_assert(sizeof(" << block << ") == AT(" << m[1] << ", " << m[2] << "), \"" << block
             << " size\");\n";
      sized.insert(block);
    }
  }
  const std::set<std::string> blocks = {"_LoadParmsIn",   "_LoadParmsOut",   "_ReadParmsIn",    "_ReadParmsOut",
                                        "_WriteParmsIn",  "_WriteParmsOut",  "_IOCTLParmsIn",   "_IOCTLParmsOut",
                                        "_EventParmsIn",  "_EventParmsOut",  "_OpenParmsIn",    "_OpenParmsOut",
                                        "_CloseParmsIn",  "_CloseParmsOut",  "_UnloadParmsIn",  "_UnloadParmsOut"};
  EXPECT_EQ(sized, blocks) << "every block's size is in the guide";
  EXPECT_GE(fields, 60u) << "the field tables were not found";

  const std::string dir = std::string(SELVAR_BINARY_DIR) + "/tests/sdk";
  fs::create_directories(dir);
  const std::string source = dir + "/guide_layout.c";
  std::ofstream(source) << checks.str();
  for (const char* width : {"-m32", "-m64"}) {
    ProcessResult r = run({SELVAR_C_COMPILER, width, "-std=c11", "-Wall", "-Werror", "-fsyntax-only",
                           "-I" SELVAR_SOURCE_DIR "/pluginhost", "-I" SELVAR_SOURCE_DIR "/events", source});
    EXPECT_TRUE(r.exitedWith(0)) << width << ": the guide disagrees with the headers\n" << r.describe();
  }
}

}  // namespace
