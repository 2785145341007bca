#include "pluginhost/module_calls.h"

#include <link.h>

#include <set>
#include <string>

#include "core/scoped_lock.h"
#include "pluginhost/plugin_interface.h"

__thread ModuleCallRecord* g_threadCall = nullptr;
ModuleCallRecord g_dispatchCall;

namespace {

// More modules than any recorder carries; past it, crashes go unattributed.
const int MODULE_TABLE_SIZE = 128;

struct ModuleEntry {
  std::atomic<const void*> library{nullptr};
  std::atomic<const char*> name{nullptr};
  std::atomic<uintptr_t> low{0};
  std::atomic<uintptr_t> high{0};
};

ModuleEntry g_moduleTable[MODULE_TABLE_SIZE];

// Names are copied once and never freed: a record or a signal handler may
// still hold a name after its library has gone.
PthreadMutex g_namesMutex = PTHREAD_MUTEX_INITIALIZER;
std::set<std::string>* g_names PT_GUARDED_BY(g_namesMutex) = new std::set<std::string>();

const char* internName(const wxString& fileName) {
  ScopedLock lock(&g_namesMutex);
  return g_names->insert(std::string(fileName.utf8_str())).first->c_str();
}

struct MappingSearch {
  uintptr_t address;
  uintptr_t low;
  uintptr_t high;
};

// The span of the loaded object's segments, for the object holding address.
int findMapping(struct dl_phdr_info* info, size_t, void* data) {
  MappingSearch* search = static_cast<MappingSearch*>(data);
  uintptr_t low = UINTPTR_MAX;
  uintptr_t high = 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD) continue;
    const uintptr_t start = info->dlpi_addr + segment.p_vaddr;
    if (start < low) low = start;
    if (start + segment.p_memsz > high) high = start + segment.p_memsz;
  }
  if (search->address < low || search->address >= high) return 0;
  search->low = low;
  search->high = high;
  return 1;
}

}  // namespace

ModuleCallRecord::Snapshot ModuleCallRecord::snapshot() const {
  // A call that ends bumps finished, so an unchanged count around the reads
  // means they all saw the same call.
  for (;;) {
    Snapshot view;
    view.finished = finished.load();
    view.library = library.load();
    view.entry = entry.load();
    if (finished.load() == view.finished) return view;
  }
}

const char* moduleEntryName(uint32_t entryIndex) {
  static const char* const names[ENTRY_COUNT] = PLUGIN_ENTRY_NAMES;
  return entryIndex < ENTRY_COUNT ? names[entryIndex] : "?";
}

void rememberModule(const void* library, const wxString& fileName, const void* anyCode) {
  MappingSearch search = {reinterpret_cast<uintptr_t>(anyCode), 0, 0};
  if (anyCode != nullptr) dl_iterate_phdr(findMapping, &search);
  static const char claimed = 0;  // marks an entry being filled
  for (ModuleEntry& entry : g_moduleTable) {
    const void* expected = nullptr;
    if (!entry.library.compare_exchange_strong(expected, &claimed)) continue;
    entry.name.store(internName(fileName));
    entry.low.store(search.low);
    entry.high.store(search.high);
    entry.library.store(library);  // published last: readers key on it
    return;
  }
}

void forgetModule(const void* library) {
  for (ModuleEntry& entry : g_moduleTable) {
    if (entry.library.load() != library) continue;
    entry.library.store(nullptr);
    entry.low.store(0);
    entry.high.store(0);
  }
}

const char* moduleFileName(const void* library) {
  if (library == nullptr) return nullptr;
  for (const ModuleEntry& entry : g_moduleTable)
    if (entry.library.load() == library) return entry.name.load();
  return nullptr;
}

const char* moduleFileNameAt(uintptr_t address) {
  for (const ModuleEntry& entry : g_moduleTable) {
    if (entry.library.load() == nullptr) continue;
    if (address >= entry.low.load() && address < entry.high.load()) return entry.name.load();
  }
  return nullptr;
}
