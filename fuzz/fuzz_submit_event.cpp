// fuzz_submit_event - event records and payloads through ServiceCore::submitEvent
// on a started core with three copies of fuzz_module.so loaded.
//
// The core is started once and kept across inputs. Each input is decoded into
// the modules' behaviour and a sequence of operations: records on every road
// with arbitrary flags, classes, sources, handles, registration bytes and
// payloads (NULL with a size, a pointer with size 0, failed payload copies),
// counted bursts across the 766-event allowance, requests that make providers
// answer, stops, and releases: of kept payloads (once or twice) and of
// pointers the service never handed out (stack, foreign heap, NULL, inside a
// payload, already given back). After each input every module gives back what
// it kept, so payloads never accumulate.
//
// Checked on every input:
//   - the result of each submission is the one its road gives (the counted
//     allowance is modelled here; the counting table is cleared per input);
//   - every payload a module keeps still has a hold in the buffer registry;
//   - the queue drains (the dispatch thread never stalls);
//   - payload copies still alive after the give-back stay bounded;
// and, through the modules and the sanitizers, that nothing is read after it
// was freed, freed twice, or freed while unknown.
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wx/filename.h>
#include <wx/init.h>
#include <wx/log.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "core/scoped_lock.h"
#include "core/service_core.h"
#include "fuzz/fuzz_module.h"
#include "tests/stress/payload_tracker.h"
#include "tests/support/core_test_support.h"

namespace fs = std::filesystem;
using selvar_test::PayloadTracker;

namespace {

const int kModuleCount = 3;
const uint32_t kIds[kModuleCount] = {0x00010000u, 0x00020000u, PLUGIN_ID_FIRST};
const uint32_t kUnknownSource = 0x00077770u;
const size_t kMaxOperations = 96;
// Payload copies that may still be alive once every module gave back what it
// kept: answers in flight and deliveries racing the give-back.
const uint64_t kOutstandingBound = 256;

struct ModuleControl {
  void* handle = nullptr;
  FuzzModuleSetBehaviourFn setBehaviour = nullptr;
  FuzzModuleReleaseFn release = nullptr;
  FuzzModuleReleaseAllFn releaseAll = nullptr;
  FuzzModuleCheckKeptFn checkKept = nullptr;
  FuzzModuleStaleFn stale = nullptr;
  FuzzModuleInteriorFn interior = nullptr;
  FuzzModuleStatsFn stats = nullptr;
  FuzzModuleActiveReadsFn activeReads = nullptr;
};

ServiceCore* g_core = nullptr;
ModuleControl g_modules[kModuleCount];
std::string g_dir;
// A heap block the service never saw, for releases of unknown pointers.
char* g_foreign = nullptr;
std::map<std::string, uint64_t> g_counts;  // what the inputs exercised

[[noreturn]] void fail(const std::string& what) {
  fprintf(stderr, "fuzz_submit_event: %s\n", what.c_str());
  abort();
}

template <typename T>
T symbol(void* handle, const char* name) {
  void* address = dlsym(handle, name);
  if (address == nullptr) fail(std::string("fuzz_module.so has no ") + name);
  return reinterpret_cast<T>(address);
}

std::string moduleSource() {
  if (const char* chosen = getenv("SELVAR_FUZZ_MODULE")) return chosen;
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) fail("cannot find this executable's directory");
  return (self.parent_path() / "fuzz_module.so").string();
}

void stopCore() {
  if (g_core == nullptr) return;
  g_core->stop();
  delete g_core;
  g_core = nullptr;
  std::error_code ec;
  fs::remove_all(g_dir, ec);
}

// Reads the input front to back; past its end every value is 0.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  bool empty() const { return p_ >= end_; }
  uint8_t u8() { return p_ < end_ ? *p_++ : 0; }
  uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
  uint32_t u32() { return u16() | (static_cast<uint32_t>(u16()) << 16); }
  // Up to n bytes (fewer at the end of the input).
  std::vector<uint8_t> bytes(size_t n) {
    const size_t available = static_cast<size_t>(end_ - p_);
    if (n > available) n = available;
    std::vector<uint8_t> out(p_, p_ + n);
    p_ += n;
    return out;
  }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

uint32_t pickSource(uint8_t selector, Reader& in) {
  switch (selector % 8) {
    case 0: return 0;
    case 1: return kIds[0];
    case 2: return kIds[1];
    case 3: return kIds[2];
    case 4: return EVENT_SOURCE_CORE;
    case 5: return kUnknownSource;
    case 6: return 1;
    default: return in.u32();
  }
}

uint32_t pickHandle(uint8_t selector) { return selector % 4 == 0 ? 0 : 1 + (selector >> 2) % 8; }

// The counted allowance, as the service must apply it to this input's records.
std::map<uint32_t, uint32_t> g_model;

int32_t submit(const _EventParmsIn& in) {
  _EventParmsOut out;
  memset(&out, 0, sizeof(out));
  out.size = sizeof(out);
  out.version = 1;
  out.result = 0x5a5a5a5a;
  if (g_core->submitEvent(&in, &out) != 0) fail("submitEvent returned non-zero");
  return out.result;
}

// The result the service must give a record the harness submits (the harness
// thread is never a provider, so an event under a handle is always refused).
int32_t expectedResult(const _EventParmsIn& in, bool copyFails) {
  if (in.flags == EVF_RELEASE) return EVR_OK;
  if (in.sourceId == 0) return EVR_OK;
  bool counted = false;
  if ((in.flags & EVF_MASK0) != 0 && (in.eventClass & EVC_COUNTED) != 0) {
    auto it = g_model.find(in.sourceId);
    if (EVENT_REGISTRATION(&in) == 1) {
      g_model[in.sourceId] = 0;
    } else if (it == g_model.end()) {
      return EVR_UNREGISTERED;
    } else if (it->second > COUNTED_EVENT_LIMIT - 1) {
      g_model.erase(it);
      return EVR_LIMIT;
    } else {
      ++it->second;
    }
    counted = true;
  }
  if (in.data != nullptr && in.dataSize != 0 && copyFails) {
    if (counted) g_model.erase(in.sourceId);
    return EVR_NO_MEMORY;
  }
  if (in.requestHandle != 0) return EVR_HANDLE_REFUSED;
  return EVR_OK;
}

void submitChecked(const _EventParmsIn& in, bool copyFails, const char* road) {
  const int32_t expected = expectedResult(in, copyFails);
  if (copyFails) PayloadTracker::failOnThisThread(1);
  const int32_t result = submit(in);
  PayloadTracker::failOnThisThread(0);
  if (result != expected)
    fail(std::string(road) + ": result " + std::to_string(result) + ", expected " + std::to_string(expected) +
         " (source " + std::to_string(in.sourceId) + " flags " + std::to_string(in.flags) + " class " +
         std::to_string(in.eventClass) + ")");
  ++g_counts[std::string(road) + " result " + std::to_string(result)];
}

_EventParmsIn blankRecord() {
  _EventParmsIn in;
  memset(&in, 0, sizeof(in));
  in.size = sizeof(in);
  in.version = 1;
  return in;
}

// A record decoded from the input, with its payload in a buffer of exactly
// dataSize bytes so that any read past it is caught.
void eventOperation(Reader& in, bool specialFlags) {
  static const uint32_t kSpecial[] = {EVF_RELEASE, EVF_STOP, 0, EVF_TO_ALL, EVF_TO_OTHERS,
                                      EVF_MASK0,   EVF_MASK8, EVF_TO_ALL | EVF_TO_OTHERS};
  _EventParmsIn record = blankRecord();
  const uint8_t flagByte = in.u8();
  record.flags = specialFlags ? kSpecial[flagByte % 8] : in.u16();
  record.eventClass = in.u32();
  record.sourceId = pickSource(in.u8(), in);
  record.requestHandle = pickHandle(in.u8());
  const uint8_t mode = in.u8();
  if (mode & 1) EVENT_REGISTRATION(&record) = 1;
  if (mode & 2) {
    const std::vector<uint8_t> ext = in.bytes(4);
    if (!ext.empty()) memcpy(record.extension, ext.data(), ext.size());
  }
  const bool copyFails = (mode & 4) != 0;
  const uint8_t length = in.u8();
  std::vector<uint8_t> bytes = in.bytes(length);
  char* payload = nullptr;
  if (!bytes.empty()) {
    payload = static_cast<char*>(malloc(bytes.size()));
    memcpy(payload, bytes.data(), bytes.size());
  }
  switch ((mode >> 3) % 4) {
    case 0:  // the payload as given
    case 1:
      record.data = payload;
      record.dataSize = static_cast<uint32_t>(bytes.size());
      break;
    case 2:  // no data, but a size
      record.data = nullptr;
      record.dataSize = length;
      break;
    default:  // data, but size 0
      record.data = payload != nullptr ? payload : g_foreign;
      record.dataSize = 0;
      break;
  }
  const char* road = record.flags == EVF_RELEASE ? "release"
                     : record.sourceId == 0      ? (record.flags == EVF_STOP ? "stop" : "request")
                                                 : "event";
  // A release of an arbitrary pointer: the data above is the harness's own.
  submitChecked(record, copyFails && record.flags != EVF_RELEASE && record.sourceId != 0, road);
  free(payload);
}

void requestOperation(Reader& in) {
  _EventParmsIn record = blankRecord();
  record.flags = in.u16() & ~(EVF_STOP | EVF_RELEASE);
  record.eventClass = in.u32();
  record.requestHandle = pickHandle(in.u8() | 1);
  const std::vector<uint8_t> bytes = in.bytes(in.u8() % 64);
  record.data = bytes.empty() ? nullptr : const_cast<uint8_t*>(bytes.data());
  record.dataSize = static_cast<uint32_t>(bytes.size());
  submitChecked(record, false, "request");
}

void stopOperation(Reader& in) {
  _EventParmsIn record = blankRecord();
  record.flags = EVF_STOP;
  record.requestHandle = pickHandle(in.u8());
  submitChecked(record, false, "stop");
}

void releaseKeptOperation(Reader& in) {
  ModuleControl& module = g_modules[in.u8() % kModuleCount];
  const uint32_t index = in.u8();
  const uint32_t times = 1 + in.u8() % 2;
  if (module.release(index, times)) ++g_counts[times == 2 ? "kept payload released twice" : "kept payload released"];
}

void releaseUnknownOperation(Reader& in) {
  char onStack[16] = {0};
  const uint8_t kind = in.u8();
  ModuleControl& module = g_modules[in.u8() % kModuleCount];
  void* pointer = nullptr;
  const char* what = nullptr;
  switch (kind % 6) {
    case 0: pointer = onStack; what = "stack"; break;
    case 1: pointer = g_foreign; what = "foreign heap"; break;
    case 2: pointer = nullptr; what = "null"; break;
    case 3: pointer = module.interior(in.u8()); what = "inside a kept payload"; break;
    case 4: pointer = module.stale(); what = "already given back"; break;
    default: pointer = g_foreign + 1 + in.u8() % 15; what = "inside foreign heap"; break;
  }
  _EventParmsIn record = blankRecord();
  record.flags = EVF_RELEASE;
  record.data = pointer;
  record.dataSize = in.u8();
  // A pointer never handed out has no hold under any holder. A payload the
  // module gave back may still be kept by another module, whose hold only
  // that module may give back: it is released as its old keeper or a stranger.
  const uint8_t source = in.u8();
  if (kind % 6 == 4)
    record.sourceId = source % 2 == 0 ? kIds[&module - g_modules] : kUnknownSource;
  else
    record.sourceId = pickSource(source, in);
  submitChecked(record, false, "release");
  ++g_counts[std::string("unknown pointer released: ") + what];
}

void countedBurstOperation(Reader& in) {
  const uint32_t source = 0x00500000u | in.u8();
  const uint32_t events = COUNTED_EVENT_LIMIT - 6 + in.u8() % 16;
  _EventParmsIn record = blankRecord();
  record.sourceId = source;
  record.flags = EVF_MASK0;
  // A class no module takes: the burst exercises the counting, not delivery.
  record.eventClass = EVC_COUNTED | 0x00100000u;
  EVENT_REGISTRATION(&record) = 1;
  submitChecked(record, false, "counted");
  EVENT_REGISTRATION(&record) = 0;
  for (uint32_t i = 0; i < events; ++i) submitChecked(record, false, "counted");
}

bool waitForDrain() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (;;) {
    // Accepted events not yet delivered: queued, or in the dispatch
    // thread's batch. A provider waiting for its turn holds a reservation
    // for an answer that is not queued yet: it waits for a kept payload the
    // inputs may release only after this wait.
    if (g_core->undeliveredEvents() <= g_core->waitRegistry.waitingProviders()) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
}

int holdExists(void* ptr, uint32_t, void*) { return g_core->bufferRegistry.holdCount(static_cast<char*>(ptr)) > 0; }

void printCounts() {
  FuzzModuleStats total = {};
  for (ModuleControl& module : g_modules) {
    FuzzModuleStats stats = {};
    module.stats(&stats);
    total.deliveries += stats.deliveries;
    total.keeps += stats.keeps;
    total.releases += stats.releases;
    total.answers += stats.answers;
    total.refusedAnswers += stats.refusedAnswers;
    total.echoes += stats.echoes;
    total.reads += stats.reads;
  }
  fprintf(stderr, "fuzz_submit_event: exercised\n");
  for (const auto& [what, n] : g_counts) fprintf(stderr, "  %-44s %llu\n", what.c_str(), (unsigned long long)n);
  fprintf(stderr,
          "  module deliveries %llu, kept %llu, given back %llu, Read calls %llu, answers %llu (refused %llu), "
          "echoes %llu\n  payload copies made %llu, freed %llu, failed on purpose %llu\n",
          (unsigned long long)total.deliveries, (unsigned long long)total.keeps, (unsigned long long)total.releases,
          (unsigned long long)total.reads, (unsigned long long)total.answers,
          (unsigned long long)total.refusedAnswers, (unsigned long long)total.echoes,
          (unsigned long long)PayloadTracker::allocated(), (unsigned long long)PayloadTracker::freed(),
          (unsigned long long)PayloadTracker::failed());
}

void atExit() {
  printCounts();
  stopCore();
  if (PayloadTracker::outstanding() != 0) {
    fprintf(stderr, "fuzz_submit_event: %llu payload copies not freed after stop\n",
            (unsigned long long)PayloadTracker::outstanding());
    _exit(1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  new wxInitializer();  // kept for the whole run
  std::error_code ec;
  std::string pattern = (fs::temp_directory_path(ec) / "selvar-fuzz-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) fail("mkdtemp failed");
  g_dir = pattern;
  fs::create_directory(g_dir + "/plugins");
  chmod(g_dir.c_str(), 0755);
  chmod((g_dir + "/plugins").c_str(), 0755);
  // core.xml is written into the working directory.
  if (chdir(g_dir.c_str()) != 0) fail("chdir failed");

  const std::string source = moduleSource();
  static const char* const names[kModuleCount] = {"a.so", "b.so", "c.so"};
  for (int i = 0; i < kModuleCount; ++i) {
    const std::string path = g_dir + "/plugins/" + names[i];
    fs::copy_file(source, path, ec);
    if (ec) fail("cannot copy " + source + ": " + ec.message());
    chmod(path.c_str(), 0755);
    ModuleControl& module = g_modules[i];
    module.handle = dlopen(path.c_str(), RTLD_NOW);
    if (module.handle == nullptr) fail(std::string("dlopen: ") + dlerror());
    FuzzModuleSetup setup = {};
    setup.id = kIds[i];
    // a: reads and takes events on masks 1 and 8; b: takes events on masks 0,
    // 2 and 6 (notices and memory documents); c: reads only, first in the table.
    if (i == 0) {
      setup.masks[1] = 0x0000FFFFu;
      setup.masks[8] = 0x00FF00FFu;
      setup.hasReader = 1;
      setup.acceptsEvents = 1;
    } else if (i == 1) {
      setup.masks[0] = 0x010000FFu;
      setup.masks[2] = 0x01000010u;
      setup.masks[6] = 0x01000002u;
      setup.acceptsEvents = 1;
    } else {
      setup.masks[1] = 0x00F0F0F0u;
      setup.masks[3] = 0x0000000Fu;
      setup.hasReader = 1;
    }
    symbol<FuzzModuleConfigureFn>(module.handle, "FuzzModuleConfigure")(&setup);
    module.setBehaviour = symbol<FuzzModuleSetBehaviourFn>(module.handle, "FuzzModuleSetBehaviour");
    module.release = symbol<FuzzModuleReleaseFn>(module.handle, "FuzzModuleRelease");
    module.releaseAll = symbol<FuzzModuleReleaseAllFn>(module.handle, "FuzzModuleReleaseAll");
    module.checkKept = symbol<FuzzModuleCheckKeptFn>(module.handle, "FuzzModuleCheckKept");
    module.stale = symbol<FuzzModuleStaleFn>(module.handle, "FuzzModuleStale");
    module.interior = symbol<FuzzModuleInteriorFn>(module.handle, "FuzzModuleInterior");
    module.stats = symbol<FuzzModuleStatsFn>(module.handle, "FuzzModuleGetStats");
    module.activeReads = symbol<FuzzModuleActiveReadsFn>(module.handle, "FuzzModuleActiveReads");
  }

  g_foreign = static_cast<char*>(malloc(16));
  PayloadTracker::install();
  g_core = new ServiceCore(wxFileName(wxString(g_dir + "/Selvar")));
  static selvar_test::QuietHeap quiet;
  g_core->schedulerEnvironment = &quiet;
  if (!g_core->start()) fail("the core did not start");
  if (g_core->modules.size() != kModuleCount) fail("not every fuzz module was loaded");
  if (g_core->modules[0].moduleId() != PLUGIN_ID_FIRST) fail("PLUGIN_ID_FIRST is not first in the table");
  atexit(atExit);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in(data, size);
  const uint8_t behaviourByte = in.u8();
  FuzzModuleBehaviour behaviour = {};
  behaviour.keepLevel = behaviourByte & 7;
  behaviour.provideCount = (behaviourByte >> 3) & 3;
  behaviour.releaseInDelivery = (behaviourByte >> 5) & 1;
  behaviour.echoBudget = (behaviourByte >> 6) & 3;
  for (ModuleControl& module : g_modules) module.setBehaviour(&behaviour);
  {
    ScopedLock lock(&g_core->idLock);
    g_core->idTable.clear();
  }
  g_model.clear();

  bool burstDone = false;
  for (size_t n = 0; n < kMaxOperations && !in.empty(); ++n) {
    switch (in.u8() % 10) {
      case 0: case 1: case 2: eventOperation(in, false); break;
      case 3: eventOperation(in, true); break;
      case 4: requestOperation(in); break;
      case 5: stopOperation(in); break;
      case 6: releaseKeptOperation(in); break;
      case 7: releaseUnknownOperation(in); break;
      case 8:
        // One burst per input: a burst is some 770 submissions.
        if (!burstDone) countedBurstOperation(in);
        burstDone = true;
        break;
      default:
        if (!waitForDrain()) fail("the queue did not drain");
        break;
    }
  }

  if (!waitForDrain()) fail("the queue did not drain");
  for (int i = 0; i < kModuleCount; ++i)
    if (g_modules[i].checkKept(&holdExists, nullptr) != 0)
      fail("module " + std::to_string(i) + " keeps a payload the registry holds nothing of");
  // Providers stop answering: no more keeping, then everything given back.
  FuzzModuleBehaviour idle = {};
  for (ModuleControl& module : g_modules) module.setBehaviour(&idle);
  for (int round = 0; round < 2; ++round) {
    for (ModuleControl& module : g_modules) module.releaseAll();
    if (!waitForDrain()) fail("the queue did not drain");
  }
  if (PayloadTracker::outstanding() > kOutstandingBound)
    fail("payload copies accumulate: " + std::to_string(PayloadTracker::outstanding()) + " alive");
  return 0;
}
