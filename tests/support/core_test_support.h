// core_test_support.h - helpers for tests that drive a ServiceCore in-process.
//
// TestCore: a constructed (never started) core with an event trigger, so that
// submissions queue; its destructor frees whatever is still queued.
// takeQueued: empties the core's queue into plain copies, freeing payloads.
// ScopedWorkdir: a fresh temporary working directory for one scope (core.xml
// is read and written in the working directory).
// FreeProbe: tells whether a payload block was freed.
// QuietHeap: a scheduler environment whose heap is never over the limit.
// hex: a number as the test modules' configuration writes it ("0x1f").
#ifndef SELVAR_TESTS_SUPPORT_CORE_TEST_SUPPORT_H
#define SELVAR_TESTS_SUPPORT_CORE_TEST_SUPPORT_H

#include <malloc.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "core/payload_alloc.h"
#include "core/scoped_lock.h"
#include "core/service_core.h"
#include "housekeeping/scheduler_environment.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define SELVAR_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#define SELVAR_TEST_ASAN 1
#endif
#endif

// ThreadSanitizer replaces the allocator and reports no heap totals.
#if defined(__SANITIZE_THREAD__)
#define SELVAR_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define SELVAR_TEST_TSAN 1
#endif
#endif

namespace selvar_test {

// Heap use never counts as over the limit, so counted results stay exact.
class QuietHeap : public SchedulerEnvironment {
 public:
  uint64_t usedHeapBytes() override { return 0; }
};

inline std::string hex(uint32_t value) {
  char text[16];
  snprintf(text, sizeof(text), "0x%x", value);
  return text;
}

// One event taken off the queue: the record as queued and its payload bytes.
struct QueuedEvent {
  _EventParmsIn record;
  std::string payload;
  bool hadData;  // record.data was non-null
};

inline std::vector<QueuedEvent> takeQueued(ServiceCore& core) {
  std::vector<QueuedEvent> events;
  ScopedLock lock(&core.queueMutex);
  while (!core.eventQueue.empty()) {
    QueuedEvent event;
    event.record = core.eventQueue.front();
    core.eventQueue.pop();
    event.hadData = event.record.data != nullptr;
    if (event.hadData) event.payload.assign(static_cast<const char*>(event.record.data), event.record.dataSize);
    free(event.record.data);
    event.record.data = nullptr;
    events.push_back(event);
  }
  return events;
}

inline size_t queuedCount(ServiceCore& core) {
  ScopedLock lock(&core.queueMutex);
  return core.eventQueue.size();
}

class TestCore {
 public:
  explicit TestCore(const wxString& executable = "app/Selvar") : core(wxFileName(executable)) {
    core.eventTrigger = new pt::trigger(true, false);
  }
  ~TestCore() {
    takeQueued(core);
    ScopedLock lock(&core.queueMutex);
    delete core.eventTrigger;
    core.eventTrigger = nullptr;
  }
  TestCore(const TestCore&) = delete;
  TestCore& operator=(const TestCore&) = delete;

  ServiceCore core;
};

class ScopedWorkdir {
 public:
  ScopedWorkdir() {
    std::error_code ec;
    std::string pattern = (std::filesystem::temp_directory_path(ec) / "selvar-test-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) return;
    path_ = name.data();
    previous_ = std::filesystem::current_path(ec);
    std::filesystem::current_path(path_, ec);
    ok_ = !ec;
  }
  ~ScopedWorkdir() {
    std::error_code ec;
    if (!previous_.empty()) std::filesystem::current_path(previous_, ec);
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  ScopedWorkdir(const ScopedWorkdir&) = delete;
  ScopedWorkdir& operator=(const ScopedWorkdir&) = delete;

  bool ok() const { return ok_; }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::filesystem::path previous_;
  bool ok_ = false;
};

inline void writeFile(const std::string& name, const std::string& contents) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out << contents;
}

inline std::string readFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Replaces the payload allocator for one scope.
class AllocatorSwap {
 public:
  explicit AllocatorSwap(PayloadAllocator allocator) : saved_(g_payloadAllocator) { g_payloadAllocator = allocator; }
  ~AllocatorSwap() { g_payloadAllocator = saved_; }
  AllocatorSwap(const AllocatorSwap&) = delete;
  AllocatorSwap& operator=(const AllocatorSwap&) = delete;

 private:
  PayloadAllocator saved_;
};

// Counts payload allocations and remembers the latest block.
struct AllocationLog {
  static int count;
  static void* last;
  static void* allocate(size_t size) {
    ++count;
    last = malloc(size);
    return last;
  }
  static void reset() {
    count = 0;
    last = nullptr;
  }
};
inline int AllocationLog::count = 0;
inline void* AllocationLog::last = nullptr;

// Whether a block of a known size was freed across a call. Under
// AddressSanitizer freed memory stays poisoned while quarantined; elsewhere a
// freed block this large (keep it well above the allocator's small-block
// caches, e.g. 64 KiB) leaves the heap's in-use total. Construct the probe
// right before the call; existsNow says whether the block is already
// allocated then (false when the call both makes and frees it).
// Where neither works (ThreadSanitizer builds) supported() is false and tests
// that are about freeing skip themselves (SKIP_UNLESS_FREES_VISIBLE).
class FreeProbe {
 public:
  FreeProbe(size_t size, bool existsNow) : size_(static_cast<int64_t>(size)), existsNow_(existsNow), before_(inUse()) {}

  static bool supported() {
#ifdef SELVAR_TEST_TSAN
    return false;
#else
    return true;
#endif
  }

  bool freed(const void* block) const {
#ifdef SELVAR_TEST_ASAN
    return block != nullptr && __asan_address_is_poisoned(block) != 0;
#else
    (void)block;
    const int64_t growth = inUse() - before_;
    return existsNow_ ? -growth >= size_ : growth < size_;
#endif
  }

 private:
  static int64_t inUse() {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
    const struct mallinfo2 info = mallinfo2();
#else
    const struct mallinfo info = mallinfo();
#endif
    return static_cast<int64_t>(info.uordblks) + static_cast<int64_t>(info.hblkhd);
  }

  [[maybe_unused]] int64_t size_;  // unread where the sanitizer answers
  [[maybe_unused]] bool existsNow_;
  int64_t before_;
};

}  // namespace selvar_test

#define SKIP_UNLESS_FREES_VISIBLE() \
  if (!::selvar_test::FreeProbe::supported()) GTEST_SKIP() << "this build's allocator does not show frees"

#endif  // SELVAR_TESTS_SUPPORT_CORE_TEST_SUPPORT_H
