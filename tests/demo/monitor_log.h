// monitor_log.h - reads back monitor.log, the demo monitor module's log, for
// the demo and SDK tests (test thread only). An entry is a header line
// "<date> <time> <what...>" followed by its payload, indented four blanks.
#ifndef SELVAR_TESTS_DEMO_MONITOR_LOG_H
#define SELVAR_TESTS_DEMO_MONITOR_LOG_H

#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace demo {

struct MonitorEntry {
  std::string time;    // "YYYY-MM-DD hh:mm:ss.mmm"
  std::string kind;    // "write", "ioctl", "monitor"
  std::map<std::string, std::string> fields;  // key=value words of the header
  std::string header;  // the header after the time
  std::string text;    // payload lines joined with '\n', indentation removed

  bool has(const std::string& key) const { return fields.count(key) != 0; }
  std::string field(const std::string& key) const {
    auto it = fields.find(key);
    return it == fields.end() ? std::string() : it->second;
  }
  uint64_t number(const std::string& key) const { return std::stoull(field(key), nullptr, 0); }
  bool isWrite(uint32_t source, uint32_t eventClass) const {
    return kind == "write" && has("source") && has("class") && number("source") == source &&
           number("class") == eventClass;
  }
};

// Entries complete up to the last newline; a half-written tail is left out.
inline std::vector<MonitorEntry> parseMonitorLog(const std::string& content) {
  std::vector<MonitorEntry> entries;
  std::istringstream in(content.substr(0, content.rfind('\n') + 1));
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 4, "    ") == 0) {
      if (entries.empty()) continue;
      std::string& text = entries.back().text;
      if (!text.empty()) text += '\n';
      text += line.substr(4);
      continue;
    }
    MonitorEntry entry;
    std::istringstream words(line);
    std::string date, clock, word;
    words >> date >> clock >> entry.kind;
    entry.time = date + " " + clock;
    const size_t kindAt = line.find(entry.kind, date.size() + clock.size());
    entry.header = kindAt == std::string::npos ? line : line.substr(kindAt);
    while (words >> word) {
      const size_t eq = word.find('=');
      if (eq != std::string::npos) entry.fields[word.substr(0, eq)] = word.substr(eq + 1);
    }
    entries.push_back(entry);
  }
  return entries;
}

inline std::vector<MonitorEntry> writesFrom(const std::vector<MonitorEntry>& entries, uint32_t source,
                                            uint32_t eventClass) {
  std::vector<MonitorEntry> found;
  for (const MonitorEntry& e : entries)
    if (e.isWrite(source, eventClass)) found.push_back(e);
  return found;
}

}  // namespace demo

#endif
