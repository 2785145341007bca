// top_table.h - Selvar-top's table: from two readings of the endpoint to
// one row per module (rates over the time between them) with the service's
// row on top, sorted, and laid out as text lines. Pure functions: the
// terminal view and --once print the same lines. Single-threaded.
#ifndef SELVAR_TOOLS_TOP_TOP_TABLE_H
#define SELVAR_TOOLS_TOP_TOP_TABLE_H

#include <cstdint>
#include <string>
#include <vector>

#include "tools/top/top_snapshot.h"

namespace top {

struct TableRow {
  std::string name;
  double deliveriesPerSecond = 0;
  double busyPercent = 0;    // share of the dispatch thread's time inside this module
  double longestMs = 0;      // longest single timed delivery so far
  uint64_t keptNow = 0;
  uint64_t keptMost = 0;
  double oldestKeptSeconds = 0;
  uint64_t readsRunning = 0;
};

enum SortKey { SORT_BUSY, SORT_DELIVERIES, SORT_LONGEST, SORT_KEPT, SORT_OLDEST, SORT_NAME };

// The key a word or its first letter names ("busy", "b", ...); false when
// it names none.
bool sortKeyNamed(const std::string& word, SortKey& key);
const char* sortKeyName(SortKey key);

// The service's row and the modules' rows. With a previous reading of the
// same daemon, rates cover the time between the two; without one (the
// first reading, or a daemon that was restarted), they cover its uptime.
struct Table {
  TableRow service;
  std::vector<TableRow> modules;
  bool sinceStart = true;
};
Table buildTable(const Snapshot* previous, const Snapshot& current);

// Modules ordered by key: numbers descending, names ascending; ties keep
// the table's order.
void sortRows(std::vector<TableRow>& rows, SortKey key);

// The lines to show: a summary line, the column heads, the service's row,
// then the modules' rows. Each line is at most `width` columns (file names
// are cut on a character boundary).
std::vector<std::string> formatTable(const Snapshot& current, const Table& table, SortKey key, size_t width);

}  // namespace top

#endif  // SELVAR_TOOLS_TOP_TOP_TABLE_H
