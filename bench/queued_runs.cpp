// Queued events through the service, and the same shape on a bare
// mutex/deque/condition-variable dispatcher, on GLib's GAsyncQueue and on
// ZeroMQ inproc PUSH/PULL; receivers that keep, on the service and bare.
//
// Every implementation is driven by the same producer loop and checked by
// the same receiver code (bench_check_delivery): only the way from submit to
// the receiver differs. The producers pace themselves to a window of events
// not yet delivered (so the queue stays short and memory bounded); the
// figure is events submitted / (time of the last delivery - start).
#include <glib.h>
#include <zmq.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "keeper_queue.h"
#include "payload_count.h"
#include "runs.h"

namespace bench {

namespace {

const uint8_t* benchPattern() {
  static uint8_t* pattern = [] {
    uint8_t* p = static_cast<uint8_t*>(malloc(BENCH_MAX_PAYLOAD));
    bench_fill_pattern(p, BENCH_MAX_PAYLOAD);
    return p;
  }();
  return pattern;
}

// Events not yet delivered that a producer may have outstanding: at most
// 1024, and at most about 8 MiB of payload.
uint64_t windowFor(uint32_t size) {
  const uint64_t bySize = (8u << 20) / (static_cast<uint64_t>(size) + sizeof(_EventParmsIn));
  return std::max<uint64_t>(16, std::min<uint64_t>(1024, bySize));
}

uint32_t classFor(int receivers) { return receivers == 1 ? BENCH_CLASS_ONE : BENCH_CLASS_ALL; }

struct ProducePlan {
  QueuedCell cell;
  uint32_t tag;
  uint32_t eventClass;
  uint64_t window;
  std::function<uint64_t(int)> completed;  // events of producer p delivered so far
};

struct ProduceResult {
  uint64_t sent[BENCH_MAX_PRODUCERS] = {};
  uint64_t total = 0;
  uint64_t failures = 0;
  int64_t t0 = 0;
};

// Port: begin(p) and end(p) on producer p's thread, submit(p, in) per event.
template <class Port>
ProduceResult produce(const ProducePlan& plan, Port& port) {
  ProduceResult result;
  std::mutex gateMutex;
  std::condition_variable gate;
  bool open = false;
  int ready = 0;
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> failures{0};
  std::vector<std::thread> threads;
  const uint32_t size = plan.cell.size;
  for (int p = 0; p < plan.cell.producers; ++p) {
    threads.emplace_back([&, p] {
      pinProducer();
      port.begin(p);
      uint8_t* payload = nullptr;
      if (size != 0) {
        payload = static_cast<uint8_t*>(aligned_alloc(64, (size + 63) & ~63u));
        bench_fill_pattern(payload, size);
      }
      _EventParmsIn in;
      memset(&in, 0, sizeof(in));
      in.size = sizeof(in);
      in.version = 1;
      in.dataSize = size;
      in.data = payload;
      in.sourceId = BENCH_ID_SOURCE;
      in.flags = BENCH_FLAGS;
      in.eventClass = plan.eventClass;
      {
        std::unique_lock<std::mutex> lock(gateMutex);
        ++ready;
        gate.notify_all();
        gate.wait(lock, [&] { return open; });
      }
      uint64_t seq = 0;
      while (!stop.load(std::memory_order_relaxed)) {
        if ((seq & 31) == 0) {
          while (seq - plan.completed(p) > plan.window && !stop.load(std::memory_order_relaxed)) sleepUs(20);
          if (stop.load(std::memory_order_relaxed)) break;
        }
        bench_stamp_event(&in, payload, size, plan.tag, static_cast<uint32_t>(p), seq);
        if (!port.submit(p, in)) {
          failures.fetch_add(1);
          break;
        }
        ++seq;
      }
      result.sent[p] = seq;
      port.end(p);
      free(payload);
    });
  }
  {
    std::unique_lock<std::mutex> lock(gateMutex);
    gate.wait(lock, [&] { return ready == plan.cell.producers; });
    result.t0 = nowNs();
    open = true;
    gate.notify_all();
  }
  sleepUs(static_cast<unsigned>(plan.cell.seconds * 1e6));
  stop.store(true);
  for (std::thread& t : threads) t.join();
  for (int p = 0; p < plan.cell.producers; ++p) result.total += result.sent[p];
  result.failures = failures.load();
  return result;
}

std::string cellLabel(const char* impl, const QueuedCell& cell) {
  return std::string(impl) + " " + std::to_string(cell.size) + " B, " + std::to_string(cell.receivers) + " rx, " +
         std::to_string(cell.producers) + " prod";
}

double rateOf(const std::string& label, uint64_t events, int64_t t0, int64_t t1) {
  reportRun(label, events, t0, t1);
  return t1 > t0 ? static_cast<double>(events) * 1e9 / static_cast<double>(t1 - t0) : 0;
}

// ---- the service ----

struct CorePort {
  FlatPluginEventFn entry;
  void begin(int) {}
  void end(int) {}
  bool submit(int, const _EventParmsIn& in) {
    _EventParmsOut out;
    out.size = sizeof(out);
    out.version = 1;
    out.result = 999;
    entry(&in, &out);
    return out.result == EVR_OK;
  }
};

// ---- the bare dispatcher ----

// One receiver: a function called through a pointer, as the service calls a
// module's entry point.
struct Receiver {
  void (*fn)(void* context, const _EventParmsIn& event);
  void* context;
};

void plainReceive(void* context, const _EventParmsIn& event) {
  bench_check_delivery(static_cast<BenchProbe*>(context), event.extension, event.data, event.dataSize);
}

// std::mutex + std::deque + std::condition_variable; the record by value,
// the payload copied on submit; one consumer that drains the queue per
// wake-up, calls every receiver and frees the payload. A record with
// sourceId 0 is a producer's end mark.
struct BareDispatcher {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<_EventParmsIn> queue;
  std::vector<Receiver> receivers;
  int producers = 0;
  size_t prefix = 0;  // bytes in front of the payload (the keep variant's count)
  void (*deliver)(BareDispatcher& self, const _EventParmsIn& event) = nullptr;
  std::thread consumer;

  void start() {
    consumer = std::thread([this] { run(); });
  }
  void push(const _EventParmsIn& event) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      queue.push_back(event);
    }
    wake.notify_one();
  }
  bool submit(const _EventParmsIn& in) {
    _EventParmsIn event = in;
    if (in.data != nullptr && in.dataSize != 0) {
      char* block = static_cast<char*>(countedPayloadAlloc(prefix + in.dataSize));
      if (block == nullptr) return false;
      memcpy(block + prefix, in.data, in.dataSize);
      event.data = block + prefix;
    } else {
      event.data = nullptr;
      event.dataSize = 0;
    }
    push(event);
    return true;
  }
  void run() {
    int ends = 0;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      wake.wait(lock, [this] { return !queue.empty(); });
      while (!queue.empty()) {
        const _EventParmsIn event = queue.front();
        queue.pop_front();
        lock.unlock();
        if (event.sourceId == 0)
          ++ends;
        else
          deliver(*this, event);
        lock.lock();
      }
      if (ends == producers) return;
    }
  }
};

void deliverPlain(BareDispatcher& self, const _EventParmsIn& event) {
  for (const Receiver& r : self.receivers) r.fn(r.context, event);
  free(event.data);
}

struct BarePort {
  BareDispatcher* dispatcher;
  void begin(int) {}
  void end(int) {
    _EventParmsIn mark;
    memset(&mark, 0, sizeof(mark));
    dispatcher->push(mark);
  }
  bool submit(int, const _EventParmsIn& in) { return dispatcher->submit(in); }
};

BenchProbe g_localProbes[kSinks];

void resetLocalProbes(const QueuedCell& cell, uint32_t tag) {
  for (int i = 0; i < kSinks; ++i) {
    g_localProbes[i].moduleId = 0xB0000000u + static_cast<uint32_t>(i);
    g_localProbes[i].index = static_cast<uint32_t>(i);
    g_localProbes[i].pattern = benchPattern();
    resetProbe(&g_localProbes[i], tag, cell.size, static_cast<uint32_t>(cell.producers),
               static_cast<uint32_t>(cell.receivers), static_cast<uint32_t>(i) % cell.receivers);
  }
}

// Waits for every receiver to have every event; returns the time it saw that.
int64_t awaitDelivered(BenchProbe* const* probes, int count, uint64_t total, const std::string& label) {
  const bool done = waitUntil(
      [&] {
        for (int i = 0; i < count; ++i)
          if (bench_load64(&probes[i]->delivered) < total) return false;
        return true;
      },
      20000);
  const int64_t t1 = nowNs();
  check(done, label + ": not everything delivered within 20 s");
  return t1;
}

void checkLocalReceivers(const QueuedCell& cell, const ProduceResult& r, const std::string& label) {
  for (int i = 0; i < cell.receivers; ++i) checkReceiver(&g_localProbes[i], r.sent, cell.producers, label);
  check(r.failures == 0, label + ": a submission failed");
}

}  // namespace

double queuedCore(CoreRig& rig, const QueuedCell& cell) {
  markRunStart();
  const std::string label = cellLabel("service", cell);
  const uint32_t tag = nextTag();
  for (int i = 0; i < kSinks; ++i)
    resetProbe(rig.sinks[i], tag, cell.size, static_cast<uint32_t>(cell.producers),
               static_cast<uint32_t>(cell.receivers), static_cast<uint32_t>(i) % cell.receivers);
  BenchProbe* window = rig.sinks[0];
  ProducePlan plan{cell, tag, classFor(cell.receivers), windowFor(cell.size),
                   [window](int p) { return bench_load64(&window->next[p]); }};
  CorePort port{rig.entry};
  const uint64_t allocatedBefore = payload_count::allocated();
  const ProduceResult r = produce(plan, port);
  check(r.total > 0, label + ": no event was submitted");
  const int64_t t1 = awaitDelivered(rig.sinks, cell.receivers, r.total, label);
  check(r.failures == 0, label + ": a submission was not accepted");
  for (int i = 0; i < kSinks; ++i) {
    if (i < cell.receivers)
      checkReceiver(rig.sinks[i], r.sent, cell.producers, label);
    else
      check(bench_load64(&rig.sinks[i]->delivered) == 0, label + ": a sink outside the class got events");
  }
  const uint64_t copies = cell.size != 0 ? r.total : 0;
  // The service's own documents may add a few copies of their own.
  checkPayloads(allocatedBefore, copies, copies + 8, label);
  return rateOf(label, r.total, r.t0, t1);
}

double queuedBare(const QueuedCell& cell) {
  markRunStart();
  const std::string label = cellLabel("bare", cell);
  const uint32_t tag = nextTag();
  resetLocalProbes(cell, tag);
  BareDispatcher dispatcher;
  dispatcher.producers = cell.producers;
  dispatcher.deliver = deliverPlain;
  for (int i = 0; i < cell.receivers; ++i) dispatcher.receivers.push_back({plainReceive, &g_localProbes[i]});
  dispatcher.start();
  BenchProbe* window = &g_localProbes[0];
  ProducePlan plan{cell, tag, classFor(cell.receivers), windowFor(cell.size),
                   [window](int p) { return bench_load64(&window->next[p]); }};
  BarePort port{&dispatcher};
  const uint64_t allocatedBefore = payload_count::allocated();
  const ProduceResult r = produce(plan, port);
  check(r.total > 0, label + ": no event was submitted");
  BenchProbe* probes[kSinks];
  for (int i = 0; i < kSinks; ++i) probes[i] = &g_localProbes[i];
  const int64_t t1 = awaitDelivered(probes, cell.receivers, r.total, label);
  dispatcher.consumer.join();
  checkLocalReceivers(cell, r, label);
  const uint64_t copies = cell.size != 0 ? r.total : 0;
  checkPayloads(allocatedBefore, copies, copies, label);
  return rateOf(label, r.total, r.t0, t1);
}

// ---- GLib GAsyncQueue: a pointer queue, so record and payload travel in
// one block allocated on submit. ----

namespace {

char g_endMark;

struct GlibPort {
  GAsyncQueue* queue;
  void begin(int) {}
  void end(int) { g_async_queue_push(queue, &g_endMark); }
  bool submit(int, const _EventParmsIn& in) {
    const size_t size = in.data != nullptr ? in.dataSize : 0;
    char* block = static_cast<char*>(countedPayloadAlloc(sizeof(_EventParmsIn) + size));
    if (block == nullptr) return false;
    _EventParmsIn* record = reinterpret_cast<_EventParmsIn*>(block);
    memcpy(record, &in, sizeof(in));
    if (size != 0) {
      memcpy(block + sizeof(_EventParmsIn), in.data, size);
      record->data = block + sizeof(_EventParmsIn);
    } else {
      record->data = nullptr;
      record->dataSize = 0;
    }
    g_async_queue_push(queue, block);
    return true;
  }
};

}  // namespace

double queuedGlib(const QueuedCell& cell) {
  markRunStart();
  const std::string label = cellLabel("GAsyncQueue", cell);
  const uint32_t tag = nextTag();
  resetLocalProbes(cell, tag);
  std::vector<Receiver> receivers;
  for (int i = 0; i < cell.receivers; ++i) receivers.push_back({plainReceive, &g_localProbes[i]});
  GAsyncQueue* queue = g_async_queue_new();
  std::thread consumer([&] {
    int ends = 0;
    for (;;) {
      void* item = g_async_queue_pop(queue);
      if (item == &g_endMark) {
        if (++ends == cell.producers) return;
        continue;
      }
      const _EventParmsIn& event = *static_cast<const _EventParmsIn*>(item);
      for (const Receiver& r : receivers) r.fn(r.context, event);
      free(item);
    }
  });
  BenchProbe* window = &g_localProbes[0];
  ProducePlan plan{cell, tag, classFor(cell.receivers), windowFor(cell.size),
                   [window](int p) { return bench_load64(&window->next[p]); }};
  GlibPort port{queue};
  const uint64_t allocatedBefore = payload_count::allocated();
  const ProduceResult r = produce(plan, port);
  check(r.total > 0, label + ": no event was submitted");
  BenchProbe* probes[kSinks];
  for (int i = 0; i < kSinks; ++i) probes[i] = &g_localProbes[i];
  const int64_t t1 = awaitDelivered(probes, cell.receivers, r.total, label);
  consumer.join();
  g_async_queue_unref(queue);
  checkLocalReceivers(cell, r, label);
  checkPayloads(allocatedBefore, r.total, r.total, label);
  return rateOf(label, r.total, r.t0, t1);
}

// ---- ZeroMQ inproc PUSH/PULL: one message per event (record + payload),
// one PUSH socket per producer, one PULL socket for the consumer. ----

namespace {

struct ZmqPort {
  void* context;
  const char* endpoint;
  void* sockets[BENCH_MAX_PRODUCERS] = {};
  void begin(int p) {
    sockets[p] = zmq_socket(context, ZMQ_PUSH);
    zmq_connect(sockets[p], endpoint);
  }
  void end(int p) {
    zmq_send(sockets[p], "", 0, 0);
    zmq_close(sockets[p]);
  }
  bool submit(int p, const _EventParmsIn& in) {
    const size_t size = in.data != nullptr ? in.dataSize : 0;
    zmq_msg_t message;
    if (zmq_msg_init_size(&message, sizeof(_EventParmsIn) + size) != 0) return false;
    char* bytes = static_cast<char*>(zmq_msg_data(&message));
    memcpy(bytes, &in, sizeof(in));
    if (size != 0) memcpy(bytes + sizeof(_EventParmsIn), in.data, size);
    if (zmq_msg_send(&message, sockets[p], 0) < 0) {
      zmq_msg_close(&message);
      return false;
    }
    return true;
  }
};

}  // namespace

double queuedZmq(const QueuedCell& cell) {
  markRunStart();
  const std::string label = cellLabel("ZeroMQ", cell);
  const uint32_t tag = nextTag();
  resetLocalProbes(cell, tag);
  std::vector<Receiver> receivers;
  for (int i = 0; i < cell.receivers; ++i) receivers.push_back({plainReceive, &g_localProbes[i]});
  void* context = zmq_ctx_new();
  const char* endpoint = "inproc://selvar-bench";
  void* pull = zmq_socket(context, ZMQ_PULL);
  check(zmq_bind(pull, endpoint) == 0, label + ": bind failed");
  uint64_t closed = 0;
  std::thread consumer([&] {
    int ends = 0;
    for (;;) {
      zmq_msg_t message;
      zmq_msg_init(&message);
      if (zmq_msg_recv(&message, pull, 0) < 0) {
        zmq_msg_close(&message);
        return;
      }
      const size_t bytes = zmq_msg_size(&message);
      if (bytes == 0) {
        zmq_msg_close(&message);
        if (++ends == cell.producers) return;
        continue;
      }
      char* data = static_cast<char*>(zmq_msg_data(&message));
      _EventParmsIn event;
      memcpy(&event, data, sizeof(event));
      event.data = event.dataSize != 0 ? data + sizeof(_EventParmsIn) : nullptr;
      if (bytes != sizeof(_EventParmsIn) + event.dataSize) event.dataSize = 0xFFFFFFFFu;  // counted as wrong size
      for (const Receiver& r : receivers) r.fn(r.context, event);
      zmq_msg_close(&message);
      ++closed;
    }
  });
  BenchProbe* window = &g_localProbes[0];
  ProducePlan plan{cell, tag, classFor(cell.receivers), windowFor(cell.size),
                   [window](int p) { return bench_load64(&window->next[p]); }};
  ZmqPort port{context, endpoint};
  const ProduceResult r = produce(plan, port);
  check(r.total > 0, label + ": no event was submitted");
  BenchProbe* probes[kSinks];
  for (int i = 0; i < kSinks; ++i) probes[i] = &g_localProbes[i];
  const int64_t t1 = awaitDelivered(probes, cell.receivers, r.total, label);
  consumer.join();
  zmq_close(pull);
  zmq_ctx_term(context);
  checkLocalReceivers(cell, r, label);
  check(closed == r.total, label + ": " + std::to_string(closed) + " messages closed of " + std::to_string(r.total));
  return rateOf(label, r.total, r.t0, t1);
}

// ---- Keeping receivers ----

namespace {

uint64_t minReleased(BenchProbe* const* probes, int count) {
  uint64_t least = UINT64_MAX;
  for (int i = 0; i < count; ++i) least = std::min(least, bench_load64(&probes[i]->released));
  return least;
}

void checkKeepers(BenchProbe* const* probes, const ProduceResult& r, const std::string& label) {
  for (int i = 0; i < kKeepers; ++i) {
    checkReceiver(probes[i], r.sent, 1, label);
    check(bench_load64(&probes[i]->released) == bench_load64(&probes[i]->delivered),
          label + ": keeper " + std::to_string(i) + " released " + std::to_string(bench_load64(&probes[i]->released)) +
              " of " + std::to_string(bench_load64(&probes[i]->delivered)));
  }
  check(r.failures == 0, label + ": a submission was not accepted");
}

// The bare keeper: the payload block starts with a reference count; the
// dispatcher holds one reference during delivery and each keeper one until
// its releaser thread gives it back.
struct BareKeeper {
  BenchProbe* probe;
  BenchKeeper keeper;
};

const size_t kCountPrefix = 16;

int releaseCounted(void*, void* payload, uint32_t) {
  char* block = static_cast<char*>(payload) - kCountPrefix;
  if (__atomic_sub_fetch(reinterpret_cast<uint32_t*>(block), 1u, __ATOMIC_ACQ_REL) == 0) free(block);
  return 0;
}

void keepReceive(void* context, const _EventParmsIn& event) {
  BareKeeper* k = static_cast<BareKeeper*>(context);
  bench_check_delivery(k->probe, event.extension, event.data, event.dataSize);
  if (event.data != nullptr) bench_keeper_keep(&k->keeper, event.data, event.dataSize);
}

void deliverKept(BareDispatcher& self, const _EventParmsIn& event) {
  if (event.data == nullptr) {
    for (const Receiver& r : self.receivers) r.fn(r.context, event);
    return;
  }
  char* block = static_cast<char*>(event.data) - kCountPrefix;
  __atomic_store_n(reinterpret_cast<uint32_t*>(block), static_cast<uint32_t>(self.receivers.size()) + 1u,
                   __ATOMIC_RELEASE);
  for (const Receiver& r : self.receivers) r.fn(r.context, event);
  releaseCounted(nullptr, event.data, 0);
}

}  // namespace

double keepCore(CoreRig& rig, const QueuedCell& cell) {
  markRunStart();
  const std::string label = "service keep " + std::to_string(cell.size) + " B";
  const uint32_t tag = nextTag();
  for (int i = 0; i < kKeepers; ++i) resetProbe(rig.keepers[i], tag, cell.size, 1, kKeepers, static_cast<uint32_t>(i));
  BenchProbe** keepers = rig.keepers;
  ProducePlan plan{cell, tag, BENCH_CLASS_KEEP, windowFor(cell.size),
                   [keepers](int) { return minReleased(keepers, kKeepers); }};
  CorePort port{rig.entry};
  const uint64_t allocatedBefore = payload_count::allocated();
  const ProduceResult r = produce(plan, port);
  check(r.total > 0, label + ": no event was submitted");
  const bool done = waitUntil(
      [&] { return minReleased(keepers, kKeepers) >= r.total && payload_count::outstanding() == 0; }, 20000);
  const int64_t t1 = nowNs();
  check(done, label + ": not everything released and freed within 20 s");
  checkKeepers(keepers, r, label);
  checkPayloads(allocatedBefore, r.total, r.total + 8, label);
  return rateOf(label, r.total, r.t0, t1);
}

double keepBare(const QueuedCell& cell) {
  markRunStart();
  const std::string label = "bare keep " + std::to_string(cell.size) + " B";
  const uint32_t tag = nextTag();
  BenchProbe* probes[kKeepers];
  BareKeeper keepers[kKeepers];
  BareDispatcher dispatcher;
  dispatcher.producers = 1;
  dispatcher.prefix = kCountPrefix;
  dispatcher.deliver = deliverKept;
  for (int i = 0; i < kKeepers; ++i) {
    probes[i] = &g_localProbes[i];
    g_localProbes[i].moduleId = 0xB1000000u + static_cast<uint32_t>(i);
    g_localProbes[i].pattern = benchPattern();
    resetProbe(probes[i], tag, cell.size, 1, kKeepers, static_cast<uint32_t>(i));
    keepers[i].probe = probes[i];
    bench_keeper_start(&keepers[i].keeper, probes[i], releaseCounted, nullptr);
    dispatcher.receivers.push_back({keepReceive, &keepers[i]});
  }
  dispatcher.start();
  ProducePlan plan{cell, tag, BENCH_CLASS_KEEP, windowFor(cell.size),
                   [&probes](int) { return minReleased(probes, kKeepers); }};
  BarePort port{&dispatcher};
  const uint64_t allocatedBefore = payload_count::allocated();
  const ProduceResult r = produce(plan, port);
  check(r.total > 0, label + ": no event was submitted");
  const bool done = waitUntil(
      [&] { return minReleased(probes, kKeepers) >= r.total && payload_count::outstanding() == 0; }, 20000);
  const int64_t t1 = nowNs();
  check(done, label + ": not everything released and freed within 20 s");
  dispatcher.consumer.join();
  for (int i = 0; i < kKeepers; ++i) bench_keeper_stop(&keepers[i].keeper);
  checkKeepers(probes, r, label);
  checkPayloads(allocatedBefore, r.total, r.total, label);
  return rateOf(label, r.total, r.t0, t1);
}

}  // namespace bench
