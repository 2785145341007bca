// running_core.h - a ServiceCore started in-process over a ModuleFixture.
//
// RunningCore works in the fixture's directory for its whole life (the
// scheduler keeps core.xml in the working directory), starts the core over
// the fixture's plugins/ and stops it at the latest in its destructor. Install
// the modules and their configurations before start(): a test module reads
// its .conf when it is mapped.
//
// The helpers below build event records, pick module log records by field,
// and tell whether a payload block has been freed (under AddressSanitizer).
#ifndef SELVAR_TESTS_SUPPORT_RUNNING_CORE_H
#define SELVAR_TESTS_SUPPORT_RUNNING_CORE_H

#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include "core/service_core.h"
#include "tests/support/core_test_support.h"
#include "tests/support/module_fixture.h"

namespace selvar_test {

class RunningCore {
 public:
  explicit RunningCore(const ModuleFixture& fixture) : core(wxFileName(wxString(fixture.executablePath()))) {
    std::error_code ec;
    previous_ = std::filesystem::current_path(ec);
    std::filesystem::current_path(fixture.dir(), ec);
  }
  ~RunningCore() {
    if (!abandoned_) stop();
    restoreDirectory();
  }
  RunningCore(const RunningCore&) = delete;
  RunningCore& operator=(const RunningCore&) = delete;

  bool start() {
    started_ = true;
    return core.start();
  }
  void stop() {
    if (started_ && !stopped_) core.stop();
    stopped_ = true;
  }
  // For a test whose stop() hung on another thread: the core is left to
  // that thread and never touched again from here.
  void abandon() {
    abandoned_ = true;
    restoreDirectory();
  }

  // Submits through the service's event entry, as a module does; returns
  // _EventParmsOut.result.
  int32_t submit(const _EventParmsIn& in) {
    _EventParmsOut out;
    memset(&out, 0, sizeof(out));
    out.size = sizeof(out);
    out.version = 1;
    out.result = 999;
    FlatPluginEvent(&in, &out);
    return out.result;
  }

  // Gives a kept payload back on behalf of the module with ID holder.
  int32_t release(void* payload, uint32_t holder) {
    _EventParmsIn in;
    memset(&in, 0, sizeof(in));
    in.size = sizeof(in);
    in.version = 1;
    in.flags = EVF_RELEASE;
    in.sourceId = holder;
    in.data = payload;
    return submit(in);
  }

  // The table entry of plugins/<fileName>, or null.
  _PlugInInfo* module(const std::string& fileName) {
    for (_PlugInInfo& info : core.modules)
      if (info.fileName == wxString(fileName)) return &info;
    return nullptr;
  }

  // Waits until no call thread runs any more. Calls launched before this is
  // called are counted already, so afterwards they have all ended.
  bool callsEnded(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    return waitUntil([this] { return core.callTracker.liveCallsTotal() == 0; }, timeout);
  }

  ServiceCore core;

 private:
  void restoreDirectory() {
    if (previous_.empty()) return;
    std::error_code ec;
    std::filesystem::current_path(previous_, ec);
    previous_.clear();
  }

  std::filesystem::path previous_;
  bool started_ = false;
  bool stopped_ = false;
  bool abandoned_ = false;
};

inline _EventParmsIn eventRecord(uint32_t source, uint32_t flags, uint32_t eventClass, const void* data = nullptr,
                                 uint32_t dataSize = 0, uint32_t requestHandle = 0) {
  _EventParmsIn in;
  memset(&in, 0, sizeof(in));
  in.size = sizeof(in);
  in.version = 1;
  in.sourceId = source;
  in.flags = flags;
  in.eventClass = eventClass;
  in.data = const_cast<void*>(data);
  in.dataSize = dataSize;
  in.requestHandle = requestHandle;
  return in;
}

inline _EventParmsIn textEvent(uint32_t source, uint32_t flags, uint32_t eventClass, const std::string& text,
                               uint32_t requestHandle = 0) {
  return eventRecord(source, flags, eventClass, text.data(), static_cast<uint32_t>(text.size()), requestHandle);
}

// Records of kind whose field key has exactly value.
inline std::vector<ModuleRecord> recordsWith(const ModuleFixture& fx, const std::string& name,
                                             const std::string& kind, const std::string& key,
                                             const std::string& value) {
  std::vector<ModuleRecord> found;
  for (ModuleRecord& record : fx.records(name, kind))
    if (record.has(key) && record.str(key) == value) found.push_back(std::move(record));
  return found;
}

inline std::vector<ModuleRecord> recordsWith(const ModuleFixture& fx, const std::string& name,
                                             const std::string& kind,
                                             const std::function<bool(const ModuleRecord&)>& pred) {
  std::vector<ModuleRecord> found;
  for (ModuleRecord& record : fx.records(name, kind))
    if (pred(record)) found.push_back(std::move(record));
  return found;
}

inline bool waitForWith(const ModuleFixture& fx, const std::string& name, const std::string& kind,
                        const std::string& key, const std::string& value, size_t n = 1,
                        std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
  return waitUntil([&] { return recordsWith(fx, name, kind, key, value).size() >= n; }, timeout);
}

// Index of the first record of kind in the module's log, or -1.
inline long firstIndexOf(const ModuleFixture& fx, const std::string& name, const std::string& kind) {
  const std::vector<ModuleRecord> log = fx.log(name);
  for (size_t i = 0; i < log.size(); ++i)
    if (log[i].kind == kind) return static_cast<long>(i);
  return -1;
}

inline char* pointerField(const ModuleRecord& record, const std::string& key = "ptr") {
  return reinterpret_cast<char*>(static_cast<uintptr_t>(record.num(key)));
}

// The modules' clock (t= in their logs): CLOCK_MONOTONIC in microseconds.
inline int64_t monotonicMicros() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// When the submission logged by record (t, us) began.
inline int64_t submissionStart(const ModuleRecord& record) { return record.num("t") - record.num("us"); }

// A payload allocator that watches the requests of one size: it counts them,
// remembers the blocks it hands out, and refuses them all when told to.
// Install it (AllocatorSwap) before start() and keep it until after stop().
struct WatchedAllocations {
  static void reset(size_t watchedSize, bool refuseWatched) {
    ScopedLock lock(&mutex);
    size = watchedSize;
    refuse = refuseWatched;
    requests = 0;
    blocks.clear();
  }
  static void* allocate(size_t n) {
    {
      ScopedLock lock(&mutex);
      if (n == size) {
        ++requests;
        if (refuse) return nullptr;
      }
    }
    void* block = malloc(n);
    ScopedLock lock(&mutex);
    if (n == size && block != nullptr) blocks.push_back(block);
    return block;
  }
  static int requestCount() {
    ScopedLock lock(&mutex);
    return requests;
  }
  static std::vector<void*> handedOut() {
    ScopedLock lock(&mutex);
    return blocks;
  }

  static pthread_mutex_t mutex;  // guards the members below
  static size_t size;
  static bool refuse;
  static int requests;
  static std::vector<void*> blocks;
};
inline pthread_mutex_t WatchedAllocations::mutex = PTHREAD_MUTEX_INITIALIZER;
inline size_t WatchedAllocations::size = 0;
inline bool WatchedAllocations::refuse = false;
inline int WatchedAllocations::requests = 0;
inline std::vector<void*> WatchedAllocations::blocks;

#ifdef SELVAR_TEST_ASAN
// Freed blocks stay poisoned while AddressSanitizer keeps them quarantined.
inline bool blockFreed(const void* block) { return __asan_address_is_poisoned(block) != 0; }
const bool kCanSeeFrees = true;
#else
inline bool blockFreed(const void*) { return false; }
const bool kCanSeeFrees = false;
#endif

}  // namespace selvar_test

#endif  // SELVAR_TESTS_SUPPORT_RUNNING_CORE_H
