#include "bench_util.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "payload_count.h"

namespace bench {

namespace {
std::atomic<int> g_failed{0};
std::atomic<uint32_t> g_tag{0x1000};
int g_producerCpu = -1;  // set by pinProcess()
}  // namespace

int64_t nowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void sleepUs(unsigned microseconds) {
  timespec ts;
  ts.tv_sec = microseconds / 1000000u;
  ts.tv_nsec = static_cast<long>(microseconds % 1000000u) * 1000L;
  while (nanosleep(&ts, &ts) != 0) {
  }
}

double Samples::median() const {
  std::vector<double> sorted = values;
  std::sort(sorted.begin(), sorted.end());
  const size_t n = sorted.size();
  if (n == 0) return 0;
  return n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
}

double Samples::min() const { return values.empty() ? 0 : *std::min_element(values.begin(), values.end()); }
double Samples::max() const { return values.empty() ? 0 : *std::max_element(values.begin(), values.end()); }

bool check(bool ok, const std::string& what) {
  if (!ok) {
    g_failed.fetch_add(1);
    fprintf(stderr, "CHECK FAILED: %s\n", what.c_str());
  }
  return ok;
}

int failedChecks() { return g_failed.load(); }

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
  const int64_t deadline = nowNs() + static_cast<int64_t>(timeoutMs) * 1000000LL;
  for (;;) {
    if (done()) return true;
    if (nowNs() > deadline) return done();
    sleepUs(20);
  }
}

long residentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmRSS:") == 0) return strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

std::string executableDir() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) return ".";
  path[n] = '\0';
  std::string s(path);
  const size_t slash = s.rfind('/');
  return slash == std::string::npos ? "." : s.substr(0, slash);
}

bool makeDir(const std::string& path) { return mkdir(path.c_str(), 0755) == 0; }

bool copyFile(const std::string& from, const std::string& to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary);
  if (!in || !out) return false;
  out << in.rdbuf();
  return static_cast<bool>(out);
}

bool removeTree(const std::string& path) {
  const std::string command = "rm -rf '" + path + "'";
  return system(command.c_str()) == 0;
}

void* symbolOf(const std::string& path, const char* name) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return nullptr;
  void* symbol = dlsym(handle, name);
  dlclose(handle);  // drops only the reference taken just now
  return symbol;
}

BenchProbe* probeOf(const std::string& path) {
  void* symbol = symbolOf(path, "BenchProbeOf");
  if (symbol == nullptr) return nullptr;
  return reinterpret_cast<BenchProbeFn>(symbol)();
}

void resetProbe(BenchProbe* p, uint32_t tag, uint32_t payloadSize, uint32_t producers, uint32_t checkEvery,
                uint32_t checkSlot) {
  p->runTag = tag;
  p->payloadSize = payloadSize;
  p->producers = producers;
  p->checkEvery = checkEvery;
  p->checkSlot = checkSlot;
  for (int i = 0; i < BENCH_MAX_PRODUCERS; ++i) bench_store64(&p->next[i], 0);
  bench_store64(&p->delivered, 0);
  bench_store64(&p->fullChecks, 0);
  bench_store64(&p->errors, 0);
  __atomic_store_n(&p->firstError, 0u, __ATOMIC_RELEASE);
  bench_store64(&p->released, 0);
  bench_store64(&p->reads, 0);
  bench_store64(&p->answers, 0);
  bench_store64(&p->refusedAnswers, 0);
  __atomic_store_n(&p->providerEnd, 0u, __ATOMIC_RELEASE);
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
}

void checkReceiver(const BenchProbe* p, const uint64_t* sent, int producers, const std::string& label) {
  const std::string who = label + " receiver 0x" + [&] {
    char b[16];
    snprintf(b, sizeof(b), "%08X", p->moduleId);
    return std::string(b);
  }();
  uint64_t total = 0;
  uint64_t expectedFull = 0;
  for (int i = 0; i < producers; ++i) {
    total += sent[i];
    const uint64_t n = sent[i];
    if (p->checkEvery != 0) expectedFull += n / p->checkEvery + (p->checkSlot < n % p->checkEvery ? 1 : 0);
    check(bench_load64(&p->next[i]) == n, who + ": producer " + std::to_string(i) + " sent " + std::to_string(n) +
                                               ", next expected " + std::to_string(bench_load64(&p->next[i])));
  }
  const uint64_t errors = bench_load64(&p->errors);
  check(errors == 0, who + ": " + std::to_string(errors) + " errors, first code " +
                         std::to_string(__atomic_load_n(&p->firstError, __ATOMIC_ACQUIRE)));
  check(bench_load64(&p->delivered) == total,
        who + ": delivered " + std::to_string(bench_load64(&p->delivered)) + " of " + std::to_string(total));
  if (p->payloadSize >= 16)
    check(bench_load64(&p->fullChecks) == expectedFull, who + ": compared " +
                                                            std::to_string(bench_load64(&p->fullChecks)) +
                                                            " payloads in full, expected " +
                                                            std::to_string(expectedFull));
}

void checkPayloads(uint64_t allocatedBefore, uint64_t low, uint64_t high, const std::string& label) {
  const bool freed = waitUntil([] { return payload_count::outstanding() == 0; }, 5000);
  check(freed, label + ": " + std::to_string(payload_count::outstanding()) + " payloads never freed");
  const uint64_t made = payload_count::allocated() - allocatedBefore;
  check(made >= low && made <= high, label + ": " + std::to_string(made) + " payload copies made, expected " +
                                         std::to_string(low) + (high != low ? ".." + std::to_string(high) : ""));
}

uint32_t nextTag() { return g_tag.fetch_add(1); }

bool g_verbose = false;

namespace {
int64_t g_runCpuStart = 0;
long g_runSwitchStart = 0;

long contextSwitches() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_nvcsw + usage.ru_nivcsw;
}
}  // namespace

int64_t processCpuNs() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void markRunStart() {
  g_runCpuStart = processCpuNs();
  g_runSwitchStart = contextSwitches();
}

void reportRun(const std::string& label, uint64_t events, int64_t t0, int64_t t1) {
  if (!g_verbose) return;
  const double cpu = static_cast<double>(processCpuNs() - g_runCpuStart);
  const double switches = static_cast<double>(contextSwitches() - g_runSwitchStart);
  const double n = events != 0 ? static_cast<double>(events) : 1.0;
  fprintf(stderr, "%s: %llu in %.3f s, cpu %.0f ns each, %.2f context switches each\n", label.c_str(),
          static_cast<unsigned long long>(events), static_cast<double>(t1 - t0) / 1e9, cpu / n, switches / n);
}

bool pinProcess() {
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof(allowed), &allowed) != 0) return false;
  int cpus[2];
  int found = 0;
  for (int cpu = 0; cpu < CPU_SETSIZE && found < 2; ++cpu)
    if (CPU_ISSET(cpu, &allowed)) cpus[found++] = cpu;
  if (found < 2) return false;
  cpu_set_t rest;
  CPU_ZERO(&rest);
  CPU_SET(cpus[1], &rest);
  if (sched_setaffinity(0, sizeof(rest), &rest) != 0) return false;
  g_producerCpu = cpus[0];
  return true;
}

void pinProducer() {
  if (g_producerCpu < 0) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(g_producerCpu, &set);
  pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
}

}  // namespace bench
