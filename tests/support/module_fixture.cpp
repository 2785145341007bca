// module_fixture.cpp - temporary plug-in layouts and test module logs.
#include "tests/support/module_fixture.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;

namespace selvar_test {

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

ModuleRecord parseLine(const std::string& line) {
  ModuleRecord record;
  std::istringstream tokens(line);
  tokens >> record.kind;
  std::string token;
  while (tokens >> token) {
    const size_t eq = token.find('=');
    if (eq == std::string::npos)
      record.fields[token] = "";
    else
      record.fields[token.substr(0, eq)] = decodeLogValue(token.substr(eq + 1));
  }
  return record;
}

}  // namespace

const std::string& ModuleRecord::str(const std::string& key) const {
  auto it = fields.find(key);
  if (it == fields.end()) throw std::out_of_range(kind + " record has no field " + key);
  return it->second;
}

int64_t ModuleRecord::num(const std::string& key) const {
  const std::string& text = str(key);
  size_t pos = 0;
  bool negative = !text.empty() && text[0] == '-';
  if (negative) pos = 1;
  int base = 10;
  if (text.compare(pos, 2, "0x") == 0 || text.compare(pos, 2, "0X") == 0) {
    base = 16;
    pos += 2;
  }
  if (pos >= text.size()) throw std::invalid_argument(kind + "." + key + " is not a number: " + text);
  int64_t value = 0;
  for (; pos < text.size(); ++pos) {
    const int digit = hexValue(text[pos]);
    if (digit < 0 || digit >= base) throw std::invalid_argument(kind + "." + key + " is not a number: " + text);
    value = value * base + digit;
  }
  return negative ? -value : value;
}

std::string decodeLogValue(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '%' && i + 2 < value.size() && hexValue(value[i + 1]) >= 0 && hexValue(value[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hexValue(value[i + 1]) * 16 + hexValue(value[i + 2])));
      i += 2;
    } else {
      out.push_back(value[i]);
    }
  }
  return out;
}

std::vector<ModuleRecord> parseModuleLog(const std::string& text) {
  std::vector<ModuleRecord> records;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) break;
    if (end > start) records.push_back(parseLine(text.substr(start, end - start)));
    start = end + 1;
  }
  return records;
}

uint32_t payloadSum(const void* data, size_t size) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint32_t h = 0x811c9dc5u;
  for (size_t i = 0; i < size; ++i) {
    h ^= p[i];
    h *= 0x01000193u;
  }
  return h;
}

std::string framePayload(uint32_t frame, size_t size) {
  const std::string head = "frame=" + std::to_string(frame) + ";";
  std::string payload(size, '\0');
  for (size_t i = 0; i < size; ++i) payload[i] = i < head.size() ? head[i] : static_cast<char>('a' + i % 26);
  return payload;
}

std::string testModuleDir() {
  if (const char* env = std::getenv("SELVAR_TEST_MODULE_DIR"); env != nullptr && *env != 0) return env;
#ifdef SELVAR_TEST_MODULE_DIR
  return SELVAR_TEST_MODULE_DIR;
#else
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string("modules") : (self.parent_path() / "modules").string();
#endif
}

std::string testModulePath(const std::string& file) { return testModuleDir() + "/" + file; }

std::string configText(const ModuleConfig& config) {
  std::string text;
  for (const auto& [key, value] : config) text += key + "=" + value + "\n";
  return text;
}

bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (pred()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

ModuleFixture::ModuleFixture() {
  std::string pattern = (fs::temp_directory_path() / "selvar-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed for " + pattern);
  dir_ = pattern;
  fs::create_directory(pluginDir());
}

ModuleFixture::~ModuleFixture() {
  const char* keep = std::getenv("SELVAR_KEEP_TEST_DIRS");
  if (keep != nullptr && *keep != 0 && *keep != '0') {
    std::cerr << "[module fixture] kept " << dir_ << "\n";
    return;
  }
  remove();
}

std::string ModuleFixture::install(const std::string& name, const ModuleConfig& config, const std::string& module) {
  const std::string path = modulePath(name);
  fs::copy_file(testModulePath(module), path, fs::copy_options::overwrite_existing);
  if (!config.empty()) writeConfig(name, config);
  return path;
}

std::string ModuleFixture::installRaw(const std::string& name, const std::string& configText,
                                      const std::string& module) {
  const std::string path = install(name, {}, module);
  writeFile(configPath(name), configText);
  return path;
}

std::string ModuleFixture::installFile(const std::string& name, const std::string& content) {
  const std::string path = modulePath(name);
  writeFile(path, content);
  return path;
}

void ModuleFixture::writeConfig(const std::string& name, const ModuleConfig& config) {
  writeFile(configPath(name), configText(config));
}

void ModuleFixture::installExecutable(const std::string& source) {
  fs::copy_file(source, executablePath(), fs::copy_options::overwrite_existing);
  fs::permissions(executablePath(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                        fs::perms::others_read | fs::perms::others_exec);
}

std::vector<ModuleRecord> ModuleFixture::log(const std::string& name) const {
  return parseModuleLog(readFile(logPath(name)));
}

std::vector<ModuleRecord> ModuleFixture::records(const std::string& name, const std::string& kind) const {
  std::vector<ModuleRecord> matching;
  for (ModuleRecord& record : log(name))
    if (record.kind == kind) matching.push_back(std::move(record));
  return matching;
}

size_t ModuleFixture::count(const std::string& name, const std::string& kind) const {
  return records(name, kind).size();
}

bool ModuleFixture::waitForRecords(const std::string& name, const std::string& kind, size_t n,
                                   std::chrono::milliseconds timeout) const {
  return waitUntil([&] { return count(name, kind) >= n; }, timeout);
}

void ModuleFixture::remove() {
  if (dir_.empty()) return;
  std::error_code ec;
  fs::remove_all(dir_, ec);
  dir_.clear();
}

}  // namespace selvar_test
