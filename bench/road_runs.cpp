// The request road, the provider stream and start-up, each on the service
// and on its bare counterpart.
#include <dirent.h>
#include <dlfcn.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <wx/filename.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "core/service_core.h"
#include "payload_count.h"
#include "runs.h"

namespace bench {

namespace {

// Read calls a requester may have started and not yet seen finish.
const uint64_t kCallWindow = 32;

uint64_t countBits(const uint8_t* bits, size_t bytes) {
  uint64_t n = 0;
  for (size_t i = 0; i < bytes; ++i) n += static_cast<uint64_t>(__builtin_popcount(bits[i]));
  return n;
}

// Exactly the bits 0 .. count-1 are set.
bool bitsAreFirst(const uint8_t* bits, uint64_t count) {
  if (count > BENCH_MAX_REQUESTS) return false;
  const uint64_t full = count / 8;
  for (uint64_t i = 0; i < full; ++i)
    if (bits[i] != 0xFF) return false;
  if (count % 8 != 0 && bits[full] != static_cast<uint8_t>((1u << (count % 8)) - 1u)) return false;
  return countBits(bits, BENCH_MAX_REQUESTS / 8) == count;
}

_EventParmsOut freshOut() {
  _EventParmsOut out;
  out.size = sizeof(out);
  out.version = 1;
  out.result = 999;
  return out;
}

}  // namespace

double requestCore(CoreRig& rig, double seconds) {
  markRunStart();
  const std::string label = "service request road";
  BenchProbe* reader = rig.reader;
  const uint32_t tag = nextTag();
  resetProbe(reader, tag, 0, 1, 0, 0);
  memset(reader->requestBits, 0, BENCH_MAX_REQUESTS / 8);
  BenchRequest request = {BENCH_REQ_MAGIC, tag, 0, 0};
  _EventParmsIn in;
  memset(&in, 0, sizeof(in));
  in.size = sizeof(in);
  in.version = 1;
  in.sourceId = 0;
  in.flags = BENCH_FLAGS;
  in.eventClass = BENCH_CLASS_REQ_COUNT;
  in.data = &request;
  in.dataSize = sizeof(request);
  const uint64_t allocatedBefore = payload_count::allocated();
  uint64_t refused = 0;
  uint64_t seq = 0;
  const int64_t t0 = nowNs();
  const int64_t deadline = t0 + static_cast<int64_t>(seconds * 1e9);
  for (; seq < BENCH_MAX_REQUESTS; ++seq) {
    if ((seq & 7) == 0 && nowNs() >= deadline) break;
    while (seq - bench_load64(&reader->reads) > kCallWindow) sleepUs(20);
    request.seq = static_cast<uint32_t>(seq);
    _EventParmsOut out = freshOut();
    rig.entry(&in, &out);
    if (out.result != EVR_OK) ++refused;
  }
  ServiceCore* core = rig.core;
  const bool done = waitUntil(
      [&] { return bench_load64(&reader->reads) >= seq && core->callTracker.liveCallsTotal() == 0; }, 20000);
  const int64_t t1 = nowNs();
  check(done, label + ": Read calls still running after 20 s");
  check(seq > 0, label + ": no request was submitted");
  check(refused == 0, label + ": " + std::to_string(refused) + " requests not accepted");
  check(bench_load64(&reader->reads) == seq,
        label + ": " + std::to_string(bench_load64(&reader->reads)) + " Read calls for " + std::to_string(seq) +
            " requests");
  check(bench_load64(&reader->errors) == 0, label + ": reader saw a wrong or repeated request");
  check(bitsAreFirst(reader->requestBits, seq), label + ": not every request reached exactly one Read");
  // One private copy of the request per call thread.
  checkPayloads(allocatedBefore, seq, seq + 8, label);
  reportRun(label, seq, t0, t1);
  return static_cast<double>(seq) * 1e9 / static_cast<double>(t1 - t0);
}

namespace {

BenchProbe g_bareReader;
uint8_t g_bareBits[BENCH_MAX_REQUESTS / 8];

struct BareCall {
  void* payload;
  uint32_t size;
  std::atomic<int>* live;
};

void* bareCallMain(void* arg) {
  BareCall* call = static_cast<BareCall*>(arg);
  bench_count_read(&g_bareReader, call->payload, call->size);
  free(call->payload);
  std::atomic<int>* live = call->live;
  delete call;
  live->fetch_sub(1);
  return nullptr;
}

}  // namespace

double requestBare(double seconds) {
  markRunStart();
  const std::string label = "bare thread per call";
  const uint32_t tag = nextTag();
  g_bareReader.moduleId = 0xB2000000u;
  g_bareReader.requestBits = g_bareBits;
  resetProbe(&g_bareReader, tag, 0, 1, 0, 0);
  memset(g_bareBits, 0, sizeof(g_bareBits));
  BenchRequest request = {BENCH_REQ_MAGIC, tag, 0, 0};
  std::atomic<int> live{0};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  const uint64_t allocatedBefore = payload_count::allocated();
  uint64_t failed = 0;
  uint64_t seq = 0;
  const int64_t t0 = nowNs();
  const int64_t deadline = t0 + static_cast<int64_t>(seconds * 1e9);
  for (; seq < BENCH_MAX_REQUESTS; ++seq) {
    if ((seq & 7) == 0 && nowNs() >= deadline) break;
    while (seq - bench_load64(&g_bareReader.reads) > kCallWindow) sleepUs(20);
    request.seq = static_cast<uint32_t>(seq);
    BareCall* call = new BareCall{countedPayloadAlloc(sizeof(request)), sizeof(request), &live};
    memcpy(call->payload, &request, sizeof(request));
    live.fetch_add(1);
    pthread_t thread;
    if (pthread_create(&thread, &attr, bareCallMain, call) != 0) {
      live.fetch_sub(1);
      free(call->payload);
      delete call;
      ++failed;
    }
  }
  pthread_attr_destroy(&attr);
  const bool done =
      waitUntil([&] { return bench_load64(&g_bareReader.reads) >= seq && live.load() == 0; }, 20000);
  const int64_t t1 = nowNs();
  check(done, label + ": calls still running after 20 s");
  check(seq > 0, label + ": no call was started");
  check(failed == 0, label + ": " + std::to_string(failed) + " threads not started");
  check(bench_load64(&g_bareReader.reads) == seq, label + ": calls and requests differ");
  check(bench_load64(&g_bareReader.errors) == 0, label + ": a wrong or repeated request");
  check(bitsAreFirst(g_bareBits, seq), label + ": not every request reached exactly one call");
  checkPayloads(allocatedBefore, seq, seq, label);
  reportRun(label, seq, t0, t1);
  return static_cast<double>(seq) * 1e9 / static_cast<double>(t1 - t0);
}

double streamCore(CoreRig& rig, uint32_t size, double seconds, uint32_t handle) {
  markRunStart();
  const std::string label = "service provider stream";
  BenchProbe* keeper = rig.keepers[0];
  BenchProbe* reader = rig.reader;
  const uint32_t tag = nextTag();
  for (int i = 0; i < kKeepers; ++i) resetProbe(rig.keepers[i], tag, size, 1, 1, 0);
  resetProbe(reader, tag, 0, 1, 0, 0);
  const uint64_t allocatedBefore = payload_count::allocated();
  BenchRequest request = {BENCH_REQ_MAGIC, tag, 0, size};
  _EventParmsIn in;
  memset(&in, 0, sizeof(in));
  in.size = sizeof(in);
  in.version = 1;
  in.flags = BENCH_FLAGS;
  in.eventClass = BENCH_CLASS_REQ_STREAM;
  in.requestHandle = handle;
  in.data = &request;
  in.dataSize = sizeof(request);
  const int64_t t0 = nowNs();
  _EventParmsOut out = freshOut();
  rig.entry(&in, &out);
  check(out.result == EVR_OK, label + ": request not accepted");
  sleepUs(static_cast<unsigned>(seconds * 1e6));
  const uint64_t released = bench_load64(&keeper->released);
  const int64_t t1 = nowNs();
  // The requester stops the handle: the provider's next answer is refused.
  _EventParmsIn stop;
  memset(&stop, 0, sizeof(stop));
  stop.size = sizeof(stop);
  stop.version = 1;
  stop.flags = EVF_STOP;
  stop.requestHandle = handle;
  out = freshOut();
  rig.entry(&stop, &out);
  check(out.result == EVR_OK, label + ": stop not accepted");
  check(waitUntil([&] { return __atomic_load_n(&reader->providerEnd, __ATOMIC_ACQUIRE) != BENCH_END_NONE; }, 5000),
        label + ": the provider did not end after the stop");
  const bool settled = waitUntil(
      [&] {
        return bench_load64(&keeper->released) == bench_load64(&reader->answers) &&
               payload_count::outstanding() == 0;
      },
      5000);
  check(settled, label + ": answers not all released and freed");
  const uint64_t answers = bench_load64(&reader->answers);
  check(__atomic_load_n(&reader->providerEnd, __ATOMIC_ACQUIRE) == BENCH_END_REFUSED,
        label + ": the provider ended without a refusal");
  check(bench_load64(&reader->refusedAnswers) == 1, label + ": refusals: " +
                                                         std::to_string(bench_load64(&reader->refusedAnswers)));
  check(bench_load64(&reader->errors) == 0, label + ": provider errors");
  const uint64_t sent[1] = {answers};
  checkReceiver(keeper, sent, 1, label);
  check(bench_load64(&keeper->released) == answers, label + ": released and admitted answers differ");
  for (int i = 1; i < kKeepers; ++i)
    check(bench_load64(&rig.keepers[i]->delivered) == 0, label + ": an answer reached a keeper outside the class");
  check(released > 0, label + ": no payload went round");
  // The admitted answers, the refused one, and the call thread's copy of
  // the request.
  checkPayloads(allocatedBefore, answers + 2, answers + 10, label);
  reportRun(label, released, t0, t1);
  return static_cast<double>(released) * 1e9 / static_cast<double>(t1 - t0);
}

double pingPongBare(double seconds) {
  markRunStart();
  sem_t ping;
  sem_t pong;
  sem_init(&ping, 0, 0);
  sem_init(&pong, 0, 0);
  std::atomic<bool> stop{false};
  uint64_t echoed = 0;
  std::thread echo([&] {
    for (;;) {
      sem_wait(&ping);
      if (stop.load()) return;
      ++echoed;
      sem_post(&pong);
    }
  });
  uint64_t rounds = 0;
  const int64_t t0 = nowNs();
  const int64_t deadline = t0 + static_cast<int64_t>(seconds * 1e9);
  int64_t t1 = t0;
  for (;;) {
    sem_post(&ping);
    sem_wait(&pong);
    ++rounds;
    if ((rounds & 63) == 0 && (t1 = nowNs()) >= deadline) break;
  }
  stop.store(true);
  sem_post(&ping);
  echo.join();
  sem_destroy(&ping);
  sem_destroy(&pong);
  check(rounds > 0 && echoed == rounds, "bare ping-pong: " + std::to_string(echoed) + " echoes for " + std::to_string(rounds));
  reportRun("bare ping-pong", rounds, t0, t1);
  return static_cast<double>(rounds) * 1e9 / static_cast<double>(t1 - t0);
}

namespace {

// The number in a bench_tiny_NNN.so file name, -1 when there is none.
long tinyNumber(const std::string& name) {
  const size_t underscore = name.rfind('_');
  if (underscore == std::string::npos) return -1;
  char* end = nullptr;
  const long n = strtol(name.c_str() + underscore + 1, &end, 10);
  return end != nullptr && strcmp(end, ".so") == 0 ? n : -1;
}

struct Opened {
  std::string name;
  uint32_t id;
  int32_t openCode;
};

void checkOpened(const std::vector<Opened>& opened, int modules, const std::string& label) {
  check(static_cast<int>(opened.size()) == modules,
        label + ": " + std::to_string(opened.size()) + " modules of " + std::to_string(modules));
  std::vector<int> seen(static_cast<size_t>(modules), 0);
  int wrong = 0;
  for (const Opened& m : opened) {
    const long n = tinyNumber(m.name);
    if (n < 0 || n >= modules || m.id != BENCH_ID_TINY_BASE + static_cast<uint32_t>(n) || m.openCode != n + 1 ||
        seen[static_cast<size_t>(n)]++ != 0)
      ++wrong;
  }
  check(wrong == 0, label + ": " + std::to_string(wrong) + " modules with a wrong ID or Open result");
}

}  // namespace

double startupCore(const std::string& dir, int modules) {
  ServiceCore* core = new ServiceCore(wxFileName(wxString(dir + "/Selvar")));
  const int64_t t0 = nowNs();
  core->start();
  const int64_t t1 = nowNs();
  std::vector<Opened> opened;
  for (const _PlugInInfo& info : core->modules)
    opened.push_back({info.fileName.ToStdString(), info.moduleId(), info.openCode});
  core->stop();
  delete core;
  checkOpened(opened, modules, "service start-up");
  return static_cast<double>(t1 - t0) / 1e6;
}

double startupBare(const std::string& dir, int modules) {
  static const char* const kNames[ENTRY_COUNT] = PLUGIN_ENTRY_NAMES;
  struct Loaded {
    void* handle;
    PluginEntryPoint entries[ENTRY_COUNT];
  };
  std::vector<Loaded> loaded;
  std::vector<Opened> opened;
  const std::string pluginDir = dir + "/plugins";
  const int64_t t0 = nowNs();
  DIR* listing = opendir(pluginDir.c_str());
  if (listing != nullptr) {
    while (dirent* entry = readdir(listing)) {
      const std::string name = entry->d_name;
      if (name.size() < 4 || name[0] == '.' || name.compare(name.size() - 3, 3, ".so") != 0) continue;
      const std::string path = pluginDir + "/" + name;
      if (entry->d_type != DT_REG) {
        struct stat info;
        if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
      }
      Loaded m;
      m.handle = dlopen(path.c_str(), RTLD_NOW);
      if (m.handle == nullptr) continue;
      for (int i = 0; i < ENTRY_COUNT; ++i)
        m.entries[i] = reinterpret_cast<PluginEntryPoint>(dlsym(m.handle, kNames[i]));
      if (m.entries[ENTRY_LOAD] == nullptr) {
        dlclose(m.handle);
        continue;
      }
      _LoadParmsIn in;
      _LoadParmsOut out;
      memset(&in, 0, sizeof(in));
      memset(&out, 0, sizeof(out));
      in.size = sizeof(in);
      in.version = 3;
      out.size = sizeof(out);
      out.version = 1;
      if (m.entries[ENTRY_LOAD](&in, &out) != 0 || out.error != 0) {
        dlclose(m.handle);
        continue;
      }
      int32_t openCode = 0;
      if (m.entries[ENTRY_OPEN] != nullptr) {
        _OpenParmsIn openIn;
        _OpenParmsOut openOut;
        memset(&openIn, 0, sizeof(openIn));
        memset(&openOut, 0, sizeof(openOut));
        openIn.size = sizeof(openIn);
        openIn.version = 1;
        openOut.size = sizeof(openOut);
        openOut.version = 1;
        openCode = m.entries[ENTRY_OPEN](&openIn, &openOut);
      }
      loaded.push_back(m);
      opened.push_back({name, out.moduleId, openCode});
    }
    closedir(listing);
  }
  const int64_t t1 = nowNs();
  for (Loaded& m : loaded) {
    uint32_t block[8] = {8, 1};
    uint32_t outBlock[8] = {12, 1};
    if (m.entries[ENTRY_CLOSE] != nullptr) m.entries[ENTRY_CLOSE](block, outBlock);
    if (m.entries[ENTRY_UNLOAD] != nullptr) m.entries[ENTRY_UNLOAD](block, outBlock);
    dlclose(m.handle);
  }
  checkOpened(opened, modules, "bare dlopen loop");
  return static_cast<double>(t1 - t0) / 1e6;
}

}  // namespace bench
