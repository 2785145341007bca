// Rates, order and layout of Selvar-top's table.
#include "tools/top/top_table.h"

#include <algorithm>
#include <cstdio>

namespace top {

namespace {

const size_t NAME_COLUMNS = 24;

struct KeyWord {
  SortKey key;
  const char* word;
};
const KeyWord KEY_WORDS[] = {
    {SORT_BUSY, "busy"}, {SORT_DELIVERIES, "deliveries"}, {SORT_LONGEST, "longest"},
    {SORT_KEPT, "kept"}, {SORT_OLDEST, "oldest"},         {SORT_NAME, "name"},
};

// Counters never go down in one daemon; a smaller value means a restart.
uint64_t delta(uint64_t now, uint64_t before) { return now >= before ? now - before : now; }

const ModuleFigures* findModule(const Snapshot& snapshot, size_t index, const ModuleFigures& like) {
  // The table keeps its order while the daemon runs: try the same place first.
  if (index < snapshot.modules.size() && snapshot.modules[index].file == like.file &&
      snapshot.modules[index].id == like.id)
    return &snapshot.modules[index];
  for (const ModuleFigures& module : snapshot.modules)
    if (module.file == like.file && module.id == like.id) return &module;
  return nullptr;
}

// Columns a UTF-8 text takes, counting each character as one.
size_t characters(const std::string& text) {
  size_t count = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++count;
  return count;
}

// Cuts text to at most `columns` characters, never inside a character's
// bytes; a cut name ends in '~' so it is not taken for a whole one.
std::string fitName(const std::string& text, size_t columns) {
  if (characters(text) <= columns) return text + std::string(columns - characters(text), ' ');
  std::string out;
  size_t count = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c & 0xC0) != 0x80 && ++count > columns - 1) break;
    out += text[i];
  }
  return out + "~";
}

std::string duration(double seconds) {
  char text[32];
  if (seconds < 0.01)
    snprintf(text, sizeof(text), "%.2fms", seconds * 1000);  // a Write takes microseconds
  else if (seconds < 1)
    snprintf(text, sizeof(text), "%.0fms", seconds * 1000);
  else if (seconds < 600)
    snprintf(text, sizeof(text), "%.1fs", seconds);
  else
    snprintf(text, sizeof(text), "%.0fm", seconds / 60);
  return text;
}

std::string uptime(uint64_t ms) {
  const uint64_t s = ms / 1000;
  char text[48];
  snprintf(text, sizeof(text), "%llu:%02llu:%02llu", static_cast<unsigned long long>(s / 3600),
           static_cast<unsigned long long>(s / 60 % 60), static_cast<unsigned long long>(s % 60));
  return text;
}

std::string mebibytes(uint64_t bytes) {
  char text[32];
  snprintf(text, sizeof(text), "%.1f", static_cast<double>(bytes) / (1024.0 * 1024.0));
  return text;
}

std::string rowLine(const TableRow& row) {
  char text[160];
  snprintf(text, sizeof(text), " %10.1f %6.1f %8s %6llu %6llu %7s %5llu", row.deliveriesPerSecond, row.busyPercent,
           duration(row.longestMs / 1000).c_str(), static_cast<unsigned long long>(row.keptNow),
           static_cast<unsigned long long>(row.keptMost),
           row.keptNow == 0 ? "-" : duration(row.oldestKeptSeconds).c_str(),
           static_cast<unsigned long long>(row.readsRunning));
  return fitName(row.name, NAME_COLUMNS) + text;
}

std::string cut(const std::string& line, size_t width) {
  if (characters(line) <= width) return line;
  std::string out;
  size_t count = 0;
  for (char c : line) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80 && ++count > width) break;
    out += c;
  }
  return out;
}

}  // namespace

bool sortKeyNamed(const std::string& word, SortKey& key) {
  for (const KeyWord& entry : KEY_WORDS) {
    if (word == entry.word || (word.size() == 1 && word[0] == entry.word[0])) {
      key = entry.key;
      return true;
    }
  }
  return false;
}

const char* sortKeyName(SortKey key) {
  for (const KeyWord& entry : KEY_WORDS)
    if (entry.key == key) return entry.word;
  return "?";
}

Table buildTable(const Snapshot* previous, const Snapshot& current) {
  Table table;
  const bool paired = previous != nullptr && previous->pid == current.pid && current.uptimeMs > previous->uptimeMs;
  table.sinceStart = !paired;
  const double seconds = (paired ? current.uptimeMs - previous->uptimeMs : current.uptimeMs) / 1000.0;
  const double nanoseconds = seconds * 1e9;

  const ServiceFigures& service = current.service;
  table.service.name = "(service)";
  if (seconds > 0) {
    const uint64_t delivered =
        paired ? delta(service.eventsDelivered, previous->service.eventsDelivered) : service.eventsDelivered;
    const uint64_t busy =
        paired ? delta(service.dispatchBusyNs, previous->service.dispatchBusyNs) : service.dispatchBusyNs;
    table.service.deliveriesPerSecond = delivered / seconds;
    table.service.busyPercent = std::min(100.0, busy * 100.0 / nanoseconds);
  }
  table.service.readsRunning = service.requestsRunning;

  for (size_t i = 0; i < current.modules.size(); ++i) {
    const ModuleFigures& module = current.modules[i];
    const ModuleFigures* before = paired ? findModule(*previous, i, module) : nullptr;
    TableRow row;
    row.name = module.file;
    if (seconds > 0) {
      const uint64_t deliveries = before ? delta(module.deliveries(), before->deliveries()) : module.deliveries();
      const uint64_t busy = before ? delta(module.busyNs, before->busyNs) : module.busyNs;
      row.deliveriesPerSecond = deliveries / seconds;
      row.busyPercent = std::min(100.0, busy * 100.0 / nanoseconds);
    }
    row.longestMs = module.longestCallNs / 1e6;
    row.keptNow = module.keptNow;
    row.keptMost = module.keptMost;
    row.oldestKeptSeconds = module.oldestKeptMs / 1000.0;
    row.readsRunning = module.readsRunning;
    table.modules.push_back(row);

    table.service.longestMs = std::max(table.service.longestMs, row.longestMs);
    table.service.keptNow += row.keptNow;
    table.service.keptMost += row.keptMost;
    table.service.oldestKeptSeconds = std::max(table.service.oldestKeptSeconds, row.oldestKeptSeconds);
  }
  return table;
}

void sortRows(std::vector<TableRow>& rows, SortKey key) {
  std::stable_sort(rows.begin(), rows.end(), [key](const TableRow& a, const TableRow& b) {
    switch (key) {
      case SORT_BUSY: return a.busyPercent > b.busyPercent;
      case SORT_DELIVERIES: return a.deliveriesPerSecond > b.deliveriesPerSecond;
      case SORT_LONGEST: return a.longestMs > b.longestMs;
      case SORT_KEPT: return a.keptNow > b.keptNow;
      case SORT_OLDEST: return a.oldestKeptSeconds > b.oldestKeptSeconds;
      case SORT_NAME: return a.name < b.name;
    }
    return false;
  });
}

std::vector<std::string> formatTable(const Snapshot& current, const Table& table, SortKey key, size_t width) {
  const ServiceFigures& service = current.service;
  std::vector<std::string> lines;
  char text[320];
  snprintf(text, sizeof(text), "Selvar  pid %lld  up %s  queue %llu (most %llu)  held %s MiB  providers waiting %llu",
           static_cast<long long>(current.pid), uptime(current.uptimeMs).c_str(),
           static_cast<unsigned long long>(service.queueLength),
           static_cast<unsigned long long>(service.queueHighWater), mebibytes(service.payloadBytesHeld).c_str(),
           static_cast<unsigned long long>(service.providersWaiting));
  lines.push_back(cut(text, width));
  snprintf(text, sizeof(text), "heap %s of %s MiB  throttling %s  clock jumps %llu  counted sources %llu  %s",
           mebibytes(service.heapBytes).c_str(), mebibytes(service.heapLimitBytes).c_str(),
           service.throttling ? "ON" : "off", static_cast<unsigned long long>(service.clockJumps),
           static_cast<unsigned long long>(service.countedSources),
           table.sinceStart ? "rates since start" : "rates per second");
  lines.push_back(cut(text, width));
  snprintf(text, sizeof(text), "sorted by %s; busy and longest from timed calls (fast ones 1 event in up to %llu)",
           sortKeyName(key),
           static_cast<unsigned long long>(current.sampleEvery));
  lines.push_back(cut(text, width));
  lines.push_back("");
  lines.push_back(cut(fitName("MODULE", NAME_COLUMNS) + "    DELIV/S  BUSY%  LONGEST   KEPT   MOST  OLDEST READS", width));
  lines.push_back(cut(rowLine(table.service), width));
  std::vector<TableRow> rows = table.modules;
  sortRows(rows, key);
  for (const TableRow& row : rows) lines.push_back(cut(rowLine(row), width));
  return lines;
}

}  // namespace top
