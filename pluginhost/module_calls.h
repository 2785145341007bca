// module_calls.h - which module entry point each service thread is inside
// now, read by the stall watch and by the crash report.
//
// A ModuleCallRecord belongs to one calling thread: only that thread writes
// it, through a ModuleCallScope around each entry call. Any thread may read
// it, and so may a signal handler running on the calling thread. Every field
// is a lock-free atomic and every name it leads to lives in memory that is
// never freed, so a reader never blocks and never allocates: that is what
// makes the records usable from a fatal-signal handler.
//
// The library table below maps a module's library handle (the key the scope
// stores) to its file name and to the address range it is mapped at, so a
// fault on a module's own thread can be traced by the faulting instruction's
// address. Entries are added and removed by the load and unload passes (main
// thread); lookups are lock-free and allowed anywhere, signal handlers too.
#ifndef SELVAR_PLUGINHOST_MODULE_CALLS_H
#define SELVAR_PLUGINHOST_MODULE_CALLS_H

#include <wx/string.h>

#include <atomic>
#include <cstdint>

// A cache line of its own: the dispatch thread writes it for every delivery,
// and a neighbour written by other threads would make each write a miss.
struct alignas(64) ModuleCallRecord {
  std::atomic<const void*> library{nullptr};  // the library key; null: in no module
  std::atomic<const char*> entry{nullptr};   // "Load", "Write", ... (static text)
  // Calls that have returned. Pointer-sized, so lock-free on 32-bit too;
  // readers only compare it, so wrapping around does no harm.
  std::atomic<uintptr_t> finished{0};

  // A consistent view for readers on other threads: library is null when no
  // call was in progress.
  struct Snapshot {
    const void* library;
    const char* entry;
    uintptr_t finished;  // with library, tells one call from the next
  };
  Snapshot snapshot() const;
};

// The current thread's record (its library is null between calls), or null
// before the thread's first module call. __thread
// rather than thread_local: no initialisation wrapper is called on each use
// (the hot path stays a few plain moves). Initial-exec: reading it never
// calls into the dynamic loader, so a signal handler may.
extern __thread ModuleCallRecord* g_threadCall __attribute__((tls_model("initial-exec")));

// Marks record as "inside entry of the module with this library" for its
// lifetime. For a record
// that outlives every call of its thread (the dispatch thread's): the
// thread's pointer is set on its first call and then left, since a record
// with no library means "in no call". On the dispatch hot path: a few plain
// stores, no clock read, no lock. How long a call has run is measured by the
// watcher, from when it first saw the call.
class ModuleCallScope {
 public:
  ModuleCallScope(ModuleCallRecord& record_, const void* library, const char* entry) : record(record_) {
    if (g_threadCall != &record) g_threadCall = &record;
    record.entry.store(entry, std::memory_order_relaxed);
    record.library.store(library, std::memory_order_release);
  }
  ~ModuleCallScope() {
    record.library.store(nullptr, std::memory_order_relaxed);
    // One writer: no read-modify-write needed.
    record.finished.store(record.finished.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  }
  ModuleCallScope(const ModuleCallScope&) = delete;
  ModuleCallScope& operator=(const ModuleCallScope&) = delete;

 private:
  ModuleCallRecord& record;
};

// The dispatch thread's record, which the stall watch reads. The daemon runs
// one dispatch thread; tests that run several cores at once share it, and
// only the daemon's watch reads it.
extern ModuleCallRecord g_dispatchCall;

// ModuleCallScope on g_dispatchCall, for the dispatch thread's deliveries.
// Naming the global directly lets each store address it as a constant, so
// the record's address needs no register kept across the module call.
class DispatchCallScope {
 public:
  DispatchCallScope(const void* library, const char* entry) {
    if (g_threadCall != &g_dispatchCall) g_threadCall = &g_dispatchCall;
    g_dispatchCall.entry.store(entry, std::memory_order_relaxed);
    g_dispatchCall.library.store(library, std::memory_order_release);
  }
  ~DispatchCallScope() {
    g_dispatchCall.library.store(nullptr, std::memory_order_relaxed);
    g_dispatchCall.finished.store(g_dispatchCall.finished.load(std::memory_order_relaxed) + 1,
                                  std::memory_order_release);
  }
  DispatchCallScope(const DispatchCallScope&) = delete;
  DispatchCallScope& operator=(const DispatchCallScope&) = delete;
};

// A call on a thread that nobody watches (main thread, call threads): the
// record lives as long as the call, and the thread's pointer is put back.
class LocalModuleCall {
 public:
  LocalModuleCall(const void* library, const char* entry) : outer(g_threadCall), scope(record, library, entry) {}
  ~LocalModuleCall() { g_threadCall = outer; }

 private:
  ModuleCallRecord* outer;
  ModuleCallRecord record;
  ModuleCallScope scope;
};

// The entry point's name for an ENTRY_* index ("Load", ..., "IOCTL").
const char* moduleEntryName(uint32_t entryIndex);

// Adds a module's library (its key) with its file name; anyCode is an address
// inside the library (an entry point), which locates its whole mapping.
// Main thread. Beyond the table's size a module keeps no entry and its
// crashes are reported as the service's own.
void rememberModule(const void* library, const wxString& fileName, const void* anyCode);
void forgetModule(const void* library);

// The file name of the module whose library this is, or null. Async-signal-safe.
const char* moduleFileName(const void* library);
// The file name of the remembered library whose mapping holds address, or
// null. Async-signal-safe.
const char* moduleFileNameAt(uintptr_t address);

#endif  // SELVAR_PLUGINHOST_MODULE_CALLS_H
