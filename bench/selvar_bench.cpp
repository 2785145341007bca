// selvar_bench - measures the service through its real load pass and its
// real modules, each figure beside a baseline from the same run, and checks
// that every run really did its work. Prints Markdown tables; exits 1 when a
// count check failed.
//
//   selvar_bench [--reps N] [--cell-seconds S] [--road-seconds S]
//                [--events N] [--modules N] [--only LIST]
//                [--impl service,bare,glib,zmq] [--cell SIZE,RECEIVERS,PRODUCERS]
//                [--pin] [--verbose]
//
// LIST is a comma-separated choice of queued, keep, request, stream,
// startup, footprint (default: all); --impl runs only some of the sides
// (bare: each figure's bare baseline) and --cell one queued cell (both for
// profiling); --pin keeps the producers on one CPU and every other thread
// on another (bench_util.h); --verbose prints each run's count and
// duration to standard error. Repetitions are interleaved: the
// service's run, then each baseline's, then the service's again.
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wx/filename.h>
#include <wx/init.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bench_util.h"
#include "core/payload_alloc.h"
#include "core/service_core.h"
#include "footprint.h"
#include "payload_count.h"
#include "runs.h"

using namespace bench;

namespace {

struct Options {
  int reps = 5;
  double cellSeconds = 0.2;
  double roadSeconds = 0.25;
  uint64_t events = 10000000;
  int modules = 200;
  std::set<std::string> only;
  std::set<std::string> impls;  // service, bare, glib, zmq (default: all); bare = each road's baseline
  int cellSize = -1, cellReceivers = -1, cellProducers = -1;  // queued: one cell only
  std::string footprintChildDir;
  std::string daemonChildDir;
  bool pin = false;
  bool runs(const std::string& impl) const { return impls.empty() || impls.count(impl) != 0; }
  bool wants(const std::string& part) const { return only.empty() || only.count(part) != 0; }
};

bool parseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--reps" && hasValue) {
      o->reps = atoi(argv[++i]);
    } else if (a == "--cell-seconds" && hasValue) {
      o->cellSeconds = atof(argv[++i]);
    } else if (a == "--road-seconds" && hasValue) {
      o->roadSeconds = atof(argv[++i]);
    } else if (a == "--events" && hasValue) {
      o->events = strtoull(argv[++i], nullptr, 10);
    } else if (a == "--modules" && hasValue) {
      o->modules = atoi(argv[++i]);
    } else if (a == "--only" && hasValue) {
      std::stringstream list(argv[++i]);
      std::string part;
      while (std::getline(list, part, ',')) o->only.insert(part);
    } else if (a == "--verbose") {
      bench::g_verbose = true;
    } else if (a == "--pin") {
      o->pin = true;
    } else if (a == "--impl" && hasValue) {
      std::stringstream list(argv[++i]);
      std::string part;
      while (std::getline(list, part, ',')) o->impls.insert(part);
    } else if (a == "--cell" && hasValue) {
      if (sscanf(argv[++i], "%d,%d,%d", &o->cellSize, &o->cellReceivers, &o->cellProducers) != 3) return false;
    } else if (a == "--daemon-footprint-child" && hasValue) {
      o->daemonChildDir = argv[++i];
    } else if (a == "--footprint-child" && hasValue) {
      o->footprintChildDir = argv[++i];
    } else {
      fprintf(stderr,
              "usage: %s [--reps N] [--cell-seconds S] [--road-seconds S] [--events N] [--modules N]\n"
              "       [--only queued,keep,request,stream,startup,footprint] [--impl service,bare,glib,zmq]\n"
              "       [--cell SIZE,RECEIVERS,PRODUCERS] [--pin] [--verbose]\n",
              argv[0]);
      return false;
    }
  }
  return o->reps >= 1 && o->cellSeconds > 0 && o->roadSeconds > 0 && o->modules >= 1;
}

// ---- formatting ----

std::string fmtRate(double v) {
  char b[32];
  if (v >= 1e6)
    snprintf(b, sizeof(b), "%.2f M", v / 1e6);
  else if (v >= 1e3)
    snprintf(b, sizeof(b), "%.1f k", v / 1e3);
  else
    snprintf(b, sizeof(b), "%.0f", v);
  return b;
}

std::string fmtMs(double v) {
  char b[32];
  snprintf(b, sizeof(b), "%.1f ms", v);
  return b;
}

std::string fmtMiB(double kib) {
  char b[32];
  snprintf(b, sizeof(b), "%.2f MiB", kib / 1024.0);
  return b;
}

std::string spread(const Samples& s, const std::function<std::string(double)>& f) {
  if (s.empty()) return "-";
  return f(s.median()) + " [" + f(s.min()) + " – " + f(s.max()) + "]";
}

std::string fmtRatio(double r) {
  char b[32];
  snprintf(b, sizeof(b), "%.2f", r);
  return b;
}

struct Goal {
  std::string what;
  std::string measured;
  std::string target;
  bool met;
};

std::vector<Goal> g_goals;

void addGoal(const std::string& what, const std::string& measured, const std::string& target, bool met) {
  g_goals.push_back({what, measured, target, met});
}

std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

std::string machineLine() {
  std::string model = "unknown CPU";
  std::ifstream cpu("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpu, line)) {
    if (line.compare(0, 10, "model name") == 0) {
      model = line.substr(line.find(':') + 2);
      break;
    }
  }
  long memKiB = 0;
  std::ifstream mem("/proc/meminfo");
  while (std::getline(mem, line)) {
    if (line.compare(0, 9, "MemTotal:") == 0) {
      memKiB = strtol(line.c_str() + 9, nullptr, 10);
      break;
    }
  }
  char b[256];
  snprintf(b, sizeof(b), "%s, %ld cores online, %.1f GiB RAM", model.c_str(), sysconf(_SC_NPROCESSORS_ONLN),
           static_cast<double>(memKiB) / (1024.0 * 1024.0));
  return b;
}

// ---- module directories ----

bool place(const std::string& from, const std::string& to) {
  return check(copyFile(from, to), "cannot copy " + from + " to the work directory");
}

bool layOutService(const std::string& moduleDir, const std::string& dir) {
  makeDir(dir);
  makeDir(dir + "/plugins");
  bool ok = place(moduleDir + "/bench_source.so", dir + "/plugins/bench_source.so");
  ok = place(moduleDir + "/bench_reader.so", dir + "/plugins/bench_reader.so") && ok;
  for (int i = 0; i < kSinks; ++i) {
    char name[64];
    snprintf(name, sizeof(name), "/plugins/bench_sink_%02d.so", i);
    ok = place(moduleDir + "/bench_sink.so", dir + name) && ok;
  }
  for (int i = 0; i < kKeepers; ++i) {
    char name[64];
    snprintf(name, sizeof(name), "/plugins/bench_keeper_%d.so", i);
    ok = place(moduleDir + "/bench_keeper.so", dir + name) && ok;
  }
  return ok;
}

bool startRig(const std::string& dir, CoreRig* rig) {
  rig->core = new ServiceCore(wxFileName(wxString(dir + "/Selvar")));
  rig->core->start();
  const std::string plugins = dir + "/plugins/";
  void* entry = symbolOf(plugins + "bench_source.so", "BenchSourceEntry");
  bool ok = check(entry != nullptr, "the bench source module was not loaded");
  if (entry != nullptr) rig->entry = reinterpret_cast<FlatPluginEventFn (*)(void)>(entry)();
  ok = check(rig->entry != nullptr, "the bench source module has no event entry") && ok;
  for (int i = 0; i < kSinks; ++i) {
    char name[64];
    snprintf(name, sizeof(name), "bench_sink_%02d.so", i);
    rig->sinks[i] = probeOf(plugins + name);
    ok = check(rig->sinks[i] != nullptr, std::string(name) + " was not loaded") && ok;
  }
  for (int i = 0; i < kKeepers; ++i) {
    char name[64];
    snprintf(name, sizeof(name), "bench_keeper_%d.so", i);
    rig->keepers[i] = probeOf(plugins + name);
    ok = check(rig->keepers[i] != nullptr, std::string(name) + " was not loaded") && ok;
  }
  rig->reader = probeOf(plugins + "bench_reader.so");
  ok = check(rig->reader != nullptr, "bench_reader.so was not loaded") && ok;
  return ok;
}

void stopRig(CoreRig* rig) {
  if (rig->core == nullptr) return;
  rig->core->stop();
  delete rig->core;
  rig->core = nullptr;
}

// ---- the parts ----

struct QueuedRow {
  QueuedCell cell;
  Samples core, bare, glib, zmq;
};

void runQueued(CoreRig& rig, const Options& o, std::vector<QueuedRow>* rows) {
  const uint32_t sizes[] = {0, 64, 4096, 65536};
  const int receivers[] = {1, 16};
  const int producers[] = {1, 2};
  for (uint32_t size : sizes)
    for (int r : receivers)
      for (int p : producers)
        if (o.cellSize < 0 || (static_cast<int>(size) == o.cellSize && r == o.cellReceivers && p == o.cellProducers))
          rows->push_back({{size, r, p, o.cellSeconds}, {}, {}, {}, {}});
  for (int rep = 0; rep < o.reps; ++rep) {
    for (QueuedRow& row : *rows) {
      if (o.runs("service")) row.core.add(queuedCore(rig, row.cell));
      if (o.runs("bare")) row.bare.add(queuedBare(row.cell));
      if (o.runs("glib")) row.glib.add(queuedGlib(row.cell));
      if (o.runs("zmq")) row.zmq.add(queuedZmq(row.cell));
    }
    fprintf(stderr, "queued events: repetition %d of %d done\n", rep + 1, o.reps);
  }
}

void printQueued(const std::vector<QueuedRow>& rows) {
  printf("\n### Queued events, submit to Write (events per second; median [min – max])\n\n");
  printf("| payload | receivers | producers | Selvar | bare mutex+deque | GAsyncQueue | ZeroMQ inproc | "
         "Selvar ÷ bare | Selvar ÷ GAsyncQueue | Selvar ÷ ZeroMQ |\n");
  printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (const QueuedRow& row : rows) {
    const double c = row.core.median();
    printf("| %u B | %d | %d | %s | %s | %s | %s | %s | %s | %s |\n", row.cell.size, row.cell.receivers,
           row.cell.producers, spread(row.core, fmtRate).c_str(), spread(row.bare, fmtRate).c_str(),
           spread(row.glib, fmtRate).c_str(), spread(row.zmq, fmtRate).c_str(), fmtRatio(c / row.bare.median()).c_str(),
           fmtRatio(c / row.glib.median()).c_str(), fmtRatio(c / row.zmq.median()).c_str());
    if (row.cell.size >= 4096) {
      // The payload copy is the same work on both sides.
      const double r = c / row.bare.median();
      addGoal("queued " + std::to_string(row.cell.size) + " B, " + std::to_string(row.cell.receivers) + " rx, " +
                  std::to_string(row.cell.producers) + " prod: Selvar ÷ bare",
              fmtRatio(r), "≥ 0.80", r >= 0.8);
      continue;
    }
    if (row.cell.size != 64) continue;
    const std::string label = "64 B, " + std::to_string(row.cell.receivers) + " receiver" +
                              (row.cell.receivers > 1 ? "s" : "") + ", " + std::to_string(row.cell.producers) +
                              " producer" + (row.cell.producers > 1 ? "s" : "");
    if (row.cell.receivers == 1) {
      const double r = c / row.bare.median();
      addGoal("queued " + label + ": Selvar ÷ bare", fmtRatio(r), "≥ 0.80", r >= 0.8);
      addGoal("queued " + label + ": ahead of GAsyncQueue and ZeroMQ",
              fmtRatio(c / row.glib.median()) + " / " + fmtRatio(c / row.zmq.median()), "> 1.00 / > 1.00",
              c > row.glib.median() && c > row.zmq.median());
    } else {
      const double r = c / row.bare.median();
      addGoal("queued " + label + ": Selvar ÷ bare", fmtRatio(r), "≥ 0.50", r >= 0.5);
    }
  }
}

struct PairRow {
  std::string figure;
  std::string baselineName;
  Samples core, base;
  bool lowerIsBetter;
  std::string goal;  // empty: none
  double goalRatio;
};

void printPairs(const std::vector<PairRow>& rows) {
  if (rows.empty()) return;
  printf("\n### Roads and start-up (median [min – max])\n\n");
  printf("| figure | Selvar | baseline | baseline figure | Selvar ÷ baseline |\n");
  printf("|---|---:|---|---:|---:|\n");
  for (const PairRow& row : rows) {
    const auto f = row.lowerIsBetter ? std::function<std::string(double)>(fmtMs)
                                     : std::function<std::string(double)>(fmtRate);
    const double r = row.core.median() / row.base.median();
    printf("| %s | %s | %s | %s | %s |\n", row.figure.c_str(), spread(row.core, f).c_str(), row.baselineName.c_str(),
           spread(row.base, f).c_str(), fmtRatio(r).c_str());
    if (row.goal.empty()) continue;
    addGoal(row.figure + ": Selvar ÷ baseline", fmtRatio(r), row.goal,
            row.lowerIsBetter ? r <= row.goalRatio : r >= row.goalRatio);
  }
}

struct FootprintResult {
  bool ran = false;
  long startKiB = -1, idleKiB = -1, warmKiB = -1, afterKiB = -1;
  long daemonKiB = -1, daemonPeakKiB = -1;
  std::string daemonNote;
  unsigned long long events = 0;
  double seconds = 0;
};

// The daemon's own directory: a copy of the service executable and the
// demo modules. Not under the temporary directory, which the daemon's
// private /tmp hides.
bool layOutDaemon(const std::string& exeDir, const std::string& dir) {
  makeDir(dir);
  makeDir(dir + "/plugins");
  bool ok = place(exeDir + "/Selvar", dir + "/Selvar") && chmod((dir + "/Selvar").c_str(), 0755) == 0;
  for (const char* demo : {"camera.so", "recorder.so", "monitor.so"})
    ok = place(exeDir + "/plugins/" + demo, dir + "/plugins/" + demo) && ok;
  return ok;
}

bool layOutFootprint(const std::string& moduleDir, const std::string& demoDir, const std::string& dir) {
  makeDir(dir);
  makeDir(dir + "/plugins");
  bool ok = true;
  for (const char* demo : {"camera.so", "recorder.so", "monitor.so"})
    ok = place(demoDir + "/" + demo, dir + "/plugins/" + demo) && ok;
  ok = place(moduleDir + "/bench_source.so", dir + "/plugins/bench_source.so") && ok;
  ok = place(moduleDir + "/bench_sink.so", dir + "/plugins/bench_sink_00.so") && ok;
  return ok;
}

// Runs this executable again with args; returns what it printed.
std::string runSelf(const std::vector<std::string>& args, const std::string& dir, int* status) {
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  *status = -1;
  if (!check(n > 0, "cannot find the benchmark's own executable")) return "";
  exe[n] = '\0';
  int pipeFds[2];
  if (!check(pipe(pipeFds) == 0, "no pipe for a child process")) return "";
  fflush(stdout);
  fflush(stderr);
  const pid_t child = fork();
  if (child == 0) {
    dup2(pipeFds[1], 1);
    close(pipeFds[0]);
    close(pipeFds[1]);
    if (chdir(dir.c_str()) != 0) _exit(2);
    std::vector<char*> argv;
    argv.push_back(exe);
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(exe, argv.data());
    _exit(2);
  }
  close(pipeFds[1]);
  std::string output;
  char buffer[512];
  ssize_t got;
  while ((got = read(pipeFds[0], buffer, sizeof(buffer))) > 0) output.append(buffer, static_cast<size_t>(got));
  close(pipeFds[0]);
  waitpid(child, status, 0);
  return output;
}

FootprintResult runFootprint(const std::string& dir, const std::string& daemonDir, uint64_t events) {
  FootprintResult r;
  int status = 0;
  if (!daemonDir.empty()) {
    const std::string output = runSelf({"--daemon-footprint-child", daemonDir}, daemonDir, &status);
    const size_t at = output.find("DAEMON ");
    int stopped = 0;
    int recorded = 0;
    if (at != std::string::npos &&
        sscanf(output.c_str() + at, "DAEMON idle_kib=%ld peak_kib=%ld stopped=%d recorded=%d", &r.daemonKiB,
               &r.daemonPeakKiB, &stopped, &recorded) == 4) {
      check(stopped == 1, "footprint: the daemon did not stop on SIGTERM");
      check(recorded == 1, "footprint: the daemon's demo recorder did not record and release its 100 frames");
    } else {
      r.daemonNote = at != std::string::npos ? output.substr(at, output.find('\n', at) - at) : "no result";
      fprintf(stderr, "daemon footprint not measured: %s\n", r.daemonNote.c_str());
    }
  }
  const std::string output = runSelf({"--footprint-child", dir, "--events", std::to_string(events)}, dir, &status);
  check(WIFEXITED(status) && WEXITSTATUS(status) == 0, "footprint: the child process reported a failure");
  const size_t at = output.find("FOOTPRINT ");
  int failed = -1;
  if (check(at != std::string::npos, "footprint: no result from the child process")) {
    r.ran = sscanf(output.c_str() + at,
                   "FOOTPRINT start_kib=%ld idle_kib=%ld warm_kib=%ld after_kib=%ld events=%llu seconds=%lf failed=%d",
                   &r.startKiB, &r.idleKiB, &r.warmKiB, &r.afterKiB, &r.events, &r.seconds, &failed) == 7;
    check(r.ran && failed == 0, "footprint: the child's checks failed");
  }
  return r;
}

void printFootprint(const FootprintResult& r) {
  if (!r.ran) return;
  const long growth = r.afterKiB - r.warmKiB;
  printf("\n### Footprint (VmRSS)\n\n");
  printf("| state | resident |\n|---|---:|\n");
  if (r.daemonKiB > 0) {
    printf("| the service executable as a daemon, demo modules, idle (private mount namespace) | %s |\n",
           fmtMiB(static_cast<double>(r.daemonKiB)).c_str());
    printf("| the same daemon, peak (VmHWM) | %s |\n", fmtMiB(static_cast<double>(r.daemonPeakKiB)).c_str());
  } else {
    printf("| the service executable as a daemon | not measured: %s |\n", r.daemonNote.c_str());
  }
  printf("| in-process child (benchmark executable with the peers' libraries), before the service started | %s |\n",
         fmtMiB(static_cast<double>(r.startKiB)).c_str());
  printf("| in-process child, idle service, demo modules + bench source and sink | %s |\n",
         fmtMiB(static_cast<double>(r.idleKiB)).c_str());
  printf("| after the first %llu events | %s |\n", r.events / 10, fmtMiB(static_cast<double>(r.warmKiB)).c_str());
  printf("| after %llu events (64 B, 1 receiver; took %.1f s) | %s |\n", r.events, r.seconds,
         fmtMiB(static_cast<double>(r.afterKiB)).c_str());
  printf("| growth over the last %llu events | %+ld KiB |\n", r.events - r.events / 10, growth);
  char measured[64];
  if (r.daemonKiB > 0) {
    const double idleMiB = static_cast<double>(r.daemonKiB) / 1024.0;
    snprintf(measured, sizeof(measured), "%.2f MiB", idleMiB);
    addGoal("idle daemon resident memory", measured, "< 8 MiB", idleMiB < 8.0);
  } else {
    const double idleMiB = static_cast<double>(r.idleKiB) / 1024.0;
    snprintf(measured, sizeof(measured), "%.2f MiB", idleMiB);
    addGoal("idle service resident memory (in-process child)", measured, "< 8 MiB", idleMiB < 8.0);
  }
  snprintf(measured, sizeof(measured), "%+ld KiB", growth);
  addGoal("growth after " + std::to_string(r.events) + " events", measured, "≤ +256 KiB (page noise)",
          growth <= 256);
}

void printGoals() {
  if (g_goals.empty()) return;
  printf("\n### Goals\n\n| goal | measured | target | |\n|---|---:|---:|---|\n");
  for (const Goal& g : g_goals)
    printf("| %s | %s | %s | %s |\n", g.what.c_str(), g.measured.c_str(), g.target.c_str(),
           g.met ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, &options)) return 2;
  // Short sleeps in the pacing loops should be short.
  prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
  // Before any thread starts, so that all of them inherit it.
  if (options.pin && !pinProcess()) {
    fprintf(stderr, "--pin needs two CPUs this process may use\n");
    return 2;
  }
  // Every payload copy the service makes is counted (set before any core).
  g_payloadAllocator = &countedPayloadAlloc;
  wxInitializer framework;
  if (!framework.IsOk()) {
    fprintf(stderr, "cannot initialise the framework\n");
    return 2;
  }
  if (!options.footprintChildDir.empty()) return footprintChild(options.footprintChildDir, options.events);
  if (!options.daemonChildDir.empty()) return daemonFootprintChild(options.daemonChildDir);

  const std::string exeDir = executableDir();
  const std::string moduleDir = exeDir + "/bench/modules";
  const std::string demoDir = exeDir + "/plugins";
  const char* tmpRoot = getenv("TMPDIR");
  std::string work = std::string(tmpRoot != nullptr && *tmpRoot != '\0' ? tmpRoot : "/tmp") + "/selvar-bench-XXXXXX";
  std::vector<char> workBuffer(work.begin(), work.end());
  workBuffer.push_back('\0');
  if (mkdtemp(workBuffer.data()) == nullptr) {
    perror("mkdtemp");
    return 2;
  }
  work = workBuffer.data();
  // The service writes its documents into the working directory.
  if (chdir(work.c_str()) != 0) return 2;

  const int64_t began = nowNs();
  printf("## Selvar benchmark\n\nMachine: %s. %d interleaved repetitions per figure. Load average at start: %s.\n",
         machineLine().c_str(), options.reps, loadAverage().c_str());

  std::vector<QueuedRow> queuedRows;
  std::vector<PairRow> pairs;
  const bool needRig = options.wants("queued") || options.wants("keep") || options.wants("request") ||
                       options.wants("stream");
  if (needRig) {
    CoreRig rig;
    const std::string serviceDir = work + "/service";
    if (layOutService(moduleDir, serviceDir) && startRig(serviceDir, &rig)) {
      if (options.wants("queued")) runQueued(rig, options, &queuedRows);
      if (options.wants("keep")) {
        PairRow row{"4 keeping receivers, 64 B, 1 producer (events/s)", "bare dispatcher + reference count", {}, {},
                    false, "≥ 0.50", 0.5};
        const QueuedCell cell{64, kKeepers, 1, options.roadSeconds};
        for (int rep = 0; rep < options.reps; ++rep) {
          if (options.runs("service")) row.core.add(keepCore(rig, cell));
          if (options.runs("bare")) row.base.add(keepBare(cell));
        }
        pairs.push_back(row);
        fprintf(stderr, "keeping receivers done\n");
      }
      if (options.wants("request")) {
        PairRow row{"request road: Read calls started and finished (/s)", "detached thread per call", {}, {}, false,
                    "≥ 0.80", 0.8};
        for (int rep = 0; rep < options.reps; ++rep) {
          if (options.runs("service")) row.core.add(requestCore(rig, options.roadSeconds));
          if (options.runs("bare")) row.base.add(requestBare(options.roadSeconds));
        }
        pairs.push_back(row);
        fprintf(stderr, "request road done\n");
      }
      if (options.wants("stream")) {
        PairRow row{"provider stream, 64 B, one in flight (payloads/s)", "two-thread semaphore ping-pong (rounds/s)",
                    {}, {}, false, "≥ 0.30", 0.3};
        for (int rep = 0; rep < options.reps; ++rep) {
          if (options.runs("service"))
            row.core.add(streamCore(rig, 64, options.roadSeconds, 0x00B00001u + static_cast<uint32_t>(rep)));
          if (options.runs("bare")) row.base.add(pingPongBare(options.roadSeconds));
        }
        pairs.push_back(row);
        fprintf(stderr, "provider stream done\n");
      }
    }
    stopRig(&rig);
  }

  if (options.wants("startup")) {
    const std::string dir = work + "/startup";
    makeDir(dir);
    makeDir(dir + "/plugins");
    bool ok = true;
    for (int i = 0; i < options.modules; ++i) {
      char name[64];
      snprintf(name, sizeof(name), "/plugins/bench_tiny_%03d.so", i);
      ok = place(moduleDir + "/bench_tiny.so", dir + name) && ok;
    }
    if (ok) {
      PairRow row{"start-up: load and open " + std::to_string(options.modules) + " modules (ms, lower is better)",
                  "dlopen + dlsym + Load + Open loop", {}, {}, true, "≤ 1.50", 1.5};
      for (int rep = 0; rep < options.reps; ++rep) {
        if (options.runs("service")) row.core.add(startupCore(dir, options.modules));
        if (options.runs("bare")) row.base.add(startupBare(dir, options.modules));
      }
      pairs.push_back(row);
      fprintf(stderr, "start-up done\n");
    }
  }

  FootprintResult footprint;
  if (options.wants("footprint")) {
    const std::string dir = work + "/footprint";
    const std::string daemonDir = exeDir + "/bench/daemon";
    removeTree(daemonDir);
    const bool daemonReady = layOutDaemon(exeDir, daemonDir);
    if (layOutFootprint(moduleDir, demoDir, dir))
      footprint = runFootprint(dir, daemonReady ? daemonDir : "", options.events);
    fprintf(stderr, "footprint done\n");
  }

  if (!queuedRows.empty()) printQueued(queuedRows);
  printPairs(pairs);
  printFootprint(footprint);
  printGoals();
  const double took = static_cast<double>(nowNs() - began) / 1e9;
  printf("\nMeasured in %.0f s; load average at the end: %s. Count checks failed: %d.\n", took,
         loadAverage().c_str(), failedChecks());
  if (chdir("/") != 0) return 2;
  removeTree(work);
  return failedChecks() != 0 ? 1 : 0;
}
