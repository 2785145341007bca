// top_snapshot.h - one reading of the service's status endpoint, as
// Selvar-top sees it: the document's figures in plain structs, and the
// parser that fills them. Single-threaded; used only by the tool and its
// tests.
#ifndef SELVAR_TOOLS_TOP_TOP_SNAPSHOT_H
#define SELVAR_TOOLS_TOP_TOP_SNAPSHOT_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace top {

struct ModuleFigures {
  std::string file;
  uint64_t id = 0;
  uint64_t writes = 0;
  uint64_t ioctls = 0;
  uint64_t busyNs = 0;
  uint64_t longestCallNs = 0;
  uint64_t keptNow = 0;
  uint64_t keptMost = 0;
  uint64_t oldestKeptMs = 0;
  uint64_t releases = 0;
  uint64_t foreignReleases = 0;
  std::map<std::string, uint64_t> submitted;  // by result code name
  uint64_t readsRunning = 0;

  uint64_t deliveries() const { return writes + ioctls; }
};

struct ServiceFigures {
  uint64_t eventsAccepted = 0;
  uint64_t eventsDelivered = 0;
  uint64_t queueLength = 0;
  uint64_t queueHighWater = 0;
  uint64_t payloadBytesHeld = 0;
  uint64_t providersWaiting = 0;
  uint64_t requestsRunning = 0;
  uint64_t countedSources = 0;
  uint64_t heapBytes = 0;
  uint64_t heapLimitBytes = 0;
  bool throttling = false;
  uint64_t clockJumps = 0;
  uint64_t dispatchBusyNs = 0;
};

struct Snapshot {
  int64_t pid = 0;
  uint64_t uptimeMs = 0;
  uint64_t sampleEvery = 1;
  ServiceFigures service;
  std::vector<ModuleFigures> modules;
};

// Fills `snapshot` from the endpoint's JSON text. False, with a one-line
// reason in `error`, when the text is not such a document (a missing
// figure reads as 0, so a newer service's additions do no harm).
bool parseSnapshot(const std::string& text, Snapshot& snapshot, std::string& error);

}  // namespace top

#endif  // SELVAR_TOOLS_TOP_TOP_SNAPSHOT_H
