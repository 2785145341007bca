// Footprint: the resident memory of an idle service with the demo modules,
// and after a long run of queued events.
//
// Two fresh child processes of the benchmark measure it. One runs the real
// service executable as the daemon it is, in a mount namespace of its own
// (private /run and /tmp, so its PID file and instance lock touch nothing of
// the host), and reads the daemon's VmRSS once it is idle. The other runs
// the service in-process (the benchmark's own executable, which also maps
// the peers' libraries) and floods it with queued events.
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wx/filename.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <cstring>
#include <string>

#include "bench_util.h"
#include "core/service_core.h"
#include "footprint.h"
#include "payload_count.h"

namespace bench {

int footprintChild(const std::string& dir, uint64_t events) {
  const long startKiB = residentKiB();
  ServiceCore* core = new ServiceCore(wxFileName(wxString(dir + "/Selvar")));
  core->start();
  // The demo recorder records 100 frames of the camera at 40 ms each, then
  // stops its request: the service is idle once those frames are freed.
  sleepUs(4500000);
  check(waitUntil([] { return payload_count::outstanding() == 0; }, 10000),
        "footprint: the demo modules' frames were not all freed");
  const long idleKiB = residentKiB();

  const std::string plugins = dir + "/plugins/";
  BenchProbe* sink = probeOf(plugins + "bench_sink_00.so");
  void* entrySymbol = symbolOf(plugins + "bench_source.so", "BenchSourceEntry");
  long warmKiB = -1;
  long afterKiB = -1;
  double seconds = 0;
  uint64_t sent = 0;
  if (check(sink != nullptr && entrySymbol != nullptr, "footprint: bench modules not loaded")) {
    const FlatPluginEventFn entry = reinterpret_cast<FlatPluginEventFn (*)(void)>(entrySymbol)();
    const uint32_t size = 64;
    const uint64_t warmUp = events / 10;
    const uint32_t tag = nextTag();
    resetProbe(sink, tag, size, 1, 1, 0);
    uint8_t payload[64];
    bench_fill_pattern(payload, size);
    _EventParmsIn in;
    memset(&in, 0, sizeof(in));
    in.size = sizeof(in);
    in.version = 1;
    in.dataSize = size;
    in.data = payload;
    in.sourceId = BENCH_ID_SOURCE;
    in.flags = BENCH_FLAGS;
    in.eventClass = BENCH_CLASS_ONE;
    const uint64_t allocatedBefore = payload_count::allocated();
    uint64_t refused = 0;
    const int64_t t0 = nowNs();
    for (; sent < events; ++sent) {
      if ((sent & 31) == 0)
        while (sent - bench_load64(&sink->next[0]) > 1024) sleepUs(20);
      if (sent == warmUp) {
        waitUntil([&] { return bench_load64(&sink->delivered) == sent && payload_count::outstanding() == 0; }, 10000);
        warmKiB = residentKiB();
      }
      bench_stamp_event(&in, payload, size, tag, 0, sent);
      _EventParmsOut out;
      out.size = sizeof(out);
      out.version = 1;
      out.result = 999;
      entry(&in, &out);
      if (out.result != EVR_OK) ++refused;
    }
    check(waitUntil([&] { return bench_load64(&sink->delivered) == sent; }, 20000),
          "footprint: not everything delivered");
    seconds = static_cast<double>(nowNs() - t0) / 1e9;
    checkPayloads(allocatedBefore, sent, sent + 64, "footprint run");
    afterKiB = residentKiB();
    check(refused == 0, "footprint: events not accepted");
    const uint64_t sentArray[1] = {sent};
    checkReceiver(sink, sentArray, 1, "footprint run");
  }
  core->stop();
  delete core;
  printf("FOOTPRINT start_kib=%ld idle_kib=%ld warm_kib=%ld after_kib=%ld events=%llu seconds=%.3f failed=%d\n",
         startKiB, idleKiB, warmKiB, afterKiB, static_cast<unsigned long long>(sent), seconds, failedChecks());
  fflush(stdout);
  return failedChecks() != 0 ? 1 : 0;
}

namespace {

long statusKiB(pid_t pid, const char* field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const size_t length = strlen(field);
  while (std::getline(status, line))
    if (line.compare(0, length, field) == 0) return strtol(line.c_str() + length, nullptr, 10);
  return -1;
}

}  // namespace

int daemonFootprintChild(const std::string& dir) {
  // The daemon's PID file lives in /run and its instance lock in /tmp: give
  // it private ones. Needs root (CAP_SYS_ADMIN); without it, say so.
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=8m") != 0 ||
      mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777,size=64m") != 0) {
    printf("DAEMON unavailable errno=%d\n", errno);
    return 3;
  }
  // The daemon detaches from its launcher; as subreaper this process can
  // still wait for it.
  prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
  const std::string executable = dir + "/Selvar";
  const pid_t launcher = fork();
  if (launcher == 0) {
    execl(executable.c_str(), executable.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(launcher, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    printf("DAEMON failed launcher_status=%d\n", status);
    return 1;
  }
  pid_t daemon = 0;
  {
    std::ifstream pidFile("/run/vantriserver.pid");
    pidFile >> daemon;
  }
  if (daemon <= 0) {
    printf("DAEMON failed no_pid_file\n");
    return 1;
  }
  // The demo recorder records 100 frames at 40 ms, then stops its request.
  sleepUs(5000000);
  const long idleKiB = statusKiB(daemon, "VmRSS:");
  const long peakKiB = statusKiB(daemon, "VmHWM:");
  kill(daemon, SIGTERM);
  // Reaped here (subreaper); a daemon that does not stop in 20 s is killed.
  bool stopped = false;
  for (int i = 0; i < 2000 && !stopped; ++i) {
    if (waitpid(daemon, &status, WNOHANG) == daemon)
      stopped = true;
    else
      sleepUs(10000);
  }
  if (!stopped) {
    kill(daemon, SIGKILL);
    waitpid(daemon, &status, 0);
  }
  // The daemon did its work: the demo recorder wrote its summary on the way
  // out, with all 100 frames recorded and every kept frame released.
  bool recorded = false;
  {
    std::ifstream log(dir + "/recorder.log");
    std::string line;
    while (std::getline(log, line))
      if (line.find("summary recorded=100 ") != std::string::npos && line.find("released=100 ") != std::string::npos)
        recorded = true;
  }
  printf("DAEMON idle_kib=%ld peak_kib=%ld stopped=%d recorded=%d\n", idleKiB, peakKiB, stopped ? 1 : 0,
         recorded ? 1 : 0);
  fflush(stdout);
  return stopped && recorded && idleKiB > 0 ? 0 : 1;
}

}  // namespace bench
