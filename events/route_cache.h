// route_cache.h - the dispatch thread's receiver lists.
//
// Who receives a queued event, and through which entry, depends only on the
// module table, the event's routing flags (mask selectors, EVF_TO_OTHERS,
// EVF_TO_ALL), its match pattern and, for EVF_TO_OTHERS, whether a module is
// the sender. The table does not change while the dispatch thread runs, so
// the thread works the list out once per (flags, pattern) and keeps it: an
// event then visits only its receivers, not every module. A list names each
// receiver's entry for both cases, sender or not.
//
// The lists also count the deliveries for the live figures: an event adds
// one to its list's use count, not one to each receiver's counters, and
// fold() later credits each receiver of a used list with the list's new
// uses (less the events the receiver sent itself, which reach it through
// its sender entry and are counted on the route as they happen). Every
// N-th event of a list is a timed one: each of its deliveries is timed, and
// retune() then sets the list's N from what those calls took.
//
// Bounded: at most kMaxKeys lists are kept; the cache starts over when it is
// full or the table it was built from is not the one it is asked about.
// Dispatch thread only.
#ifndef SELVAR_EVENTS_ROUTE_CACHE_H
#define SELVAR_EVENTS_ROUTE_CACHE_H

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <vector>

#include "pluginhost/plugin_info.h"

struct Route {
  const _PlugInInfo* info;
  uint32_t moduleId;
  uint32_t codeOther;        // 0: Write, else the IOCTL code (module is not the sender)
  uint32_t codeSelf;         // the same when the module is the sender
  uint32_t sentSinceFold;    // events of this list the module sent, not yet folded
  PluginEntryPoint other;    // entry when the module is not the sender, or null
  PluginEntryPoint self;     // entry when the module is the sender, or null
  // The module's delivery counters, here so the dispatch thread finds them
  // beside the entry it calls.
  ModuleFigures::Delivered* figures;
};

class RouteCache {
 public:
  // Flag bits that take part in routing.
  static const uint32_t kRoutingFlags = 0xFFu | EVF_MASK8 | EVF_TO_OTHERS | EVF_TO_ALL;
  static const size_t kMaxKeys = 256;

  RouteCache() : slots_(kMaxKeys * 2), keys_(0), table_(nullptr), tableSize_(0), lastKey_(0), last_(nullptr),
                 lastValid_(false) {
    used_.reserve(kMaxKeys);
  }

  // The receivers, in table order, of an event with these flags and this
  // queued-road match pattern, counting the event as one use of their list;
  // *count receives their number; *timedEvery, when this event's
  // deliveries are to be timed, the events each of them stands for, else 0.
  Route* routes(const std::vector<_PlugInInfo>& modules, uint32_t flags, uint32_t pattern, size_t* count,
                uint32_t* timedEvery) {
    const uint64_t key = (static_cast<uint64_t>(flags & kRoutingFlags) << 32) | pattern;
    if (modules.data() != table_ || modules.size() != tableSize_) reset(modules);
    if (!lastValid_ || lastKey_ != key) lookUp(modules, key);
    Slot& slot = *last_;
    if (slot.uses == slot.folded) used_.push_back(static_cast<size_t>(last_ - slots_.data()));
    *timedEvery = (slot.uses & (slot.sampleEvery - 1)) == 0 ? slot.sampleEvery : 0;
    ++slot.uses;
    *count = slot.count;
    return routes_.data() + slot.first;
  }

  // After a timed event of the list routes() last returned: its calls took
  // tookNs in all, over calls calls. Sets how often the list is timed.
  void retune(uint64_t tookNs, size_t calls) {
    const uint64_t wanted = static_cast<uint64_t>(FIGURES_TIMING_COST_NS) * FIGURES_TIMING_SHARE * calls;
    uint32_t every = 1;
    while (every < FIGURES_SAMPLE_EVERY && static_cast<uint64_t>(every) * tookNs < wanted) every *= 2;
    last_->sampleEvery = every;
  }

  // Credits the deliveries of the lists used since the last fold to their
  // receivers' counters. The dispatch thread folds after each batch, so the
  // figures are behind by at most the batch it is delivering.
  void fold() {
    for (const size_t index : used_) {
      Slot& slot = slots_[index];
      const uint64_t events = slot.uses - slot.folded;
      slot.folded = slot.uses;
      for (Route* route = routes_.data() + slot.first; route != routes_.data() + slot.first + slot.count; ++route) {
        const uint64_t sent = route->sentSinceFold;
        route->sentSinceFold = 0;
        if (route->other != nullptr) credit(*route->figures, route->codeOther, events - sent);
        if (route->self != nullptr) credit(*route->figures, route->codeSelf, sent);
      }
    }
    used_.clear();
  }

  void clear() {
    fold();
    table_ = nullptr;
    tableSize_ = 0;
  }

 private:
  struct Slot {
    uint64_t key;
    uint32_t first;
    uint32_t count;
    uint64_t uses;         // events delivered through this list
    uint64_t folded;       // of which fold() has credited
    uint32_t sampleEvery;  // one event in this many is timed (a power of two)
    bool used;
  };

  // Adds to a counter only the dispatch thread writes: no atomic
  // read-modify-write needed.
  static void credit(ModuleFigures::Delivered& figures, uint32_t code, uint64_t deliveries) {
    std::atomic<uint64_t>& counter = code == 0 ? figures.writes : figures.ioctls;
    counter.store(counter.load(std::memory_order_relaxed) + deliveries, std::memory_order_relaxed);
  }

  void reset(const std::vector<_PlugInInfo>& modules) {
    // The routes about to go still hold uncredited deliveries.
    fold();
    for (Slot& slot : slots_) slot.used = false;
    routes_.clear();
    keys_ = 0;
    lastValid_ = false;
    table_ = modules.data();
    tableSize_ = modules.size();
  }

  void lookUp(const std::vector<_PlugInInfo>& modules, uint64_t key) {
    const size_t mask = slots_.size() - 1;
    size_t i = static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> 40) & mask;
    for (; slots_[i].used; i = (i + 1) & mask) {
      if (slots_[i].key == key) {
        remember(i);
        return;
      }
    }
    if (keys_ == kMaxKeys) {
      reset(modules);
      lookUp(modules, key);
      return;
    }
    Slot& slot = slots_[i];
    slot.used = true;
    slot.uses = 0;
    slot.folded = 0;
    slot.sampleEvery = 1;
    slot.key = key;
    slot.first = static_cast<uint32_t>(routes_.size());
    build(modules, static_cast<uint32_t>(key >> 32), static_cast<uint32_t>(key));
    slot.count = static_cast<uint32_t>(routes_.size()) - slot.first;
    ++keys_;
    remember(i);
  }

  void remember(size_t index) {
    lastKey_ = slots_[index].key;
    last_ = &slots_[index];
    lastValid_ = true;
  }

  // The delivery rules, first rule that applies, per module: EVF_TO_OTHERS
  // to a module that is not the sender, then EVF_TO_ALL, then a matching
  // mask of a module that accepts events.
  void build(const std::vector<_PlugInInfo>& modules, uint32_t flags, uint32_t pattern) {
    for (size_t i = 0; i < modules.size(); ++i) {
      const _PlugInInfo& info = modules[i];
      if (info.library == nullptr) continue;
      Route route = {&info, info.moduleId(), 0, 0, 0, nullptr, nullptr, &info.figures->delivered};
      // As the sender: rule 1 does not apply.
      if ((flags & EVF_TO_ALL) != 0) {
        route.self = info.fnIOCTL;
        route.codeSelf = IOCTL_EVENT_ALL;
      } else if (info.loadInfo.acceptsEvents != 0 && info.matches(flags, pattern)) {
        route.self = info.fnWrite;
      }
      if ((flags & EVF_TO_OTHERS) != 0) {
        route.other = info.fnIOCTL;
        route.codeOther = IOCTL_EVENT_OTHERS;
      } else {
        route.other = route.self;
        route.codeOther = route.codeSelf;
      }
      // A receiver that does not export the chosen entry gets nothing.
      if (route.other != nullptr || route.self != nullptr) routes_.push_back(route);
    }
  }

  std::vector<Slot> slots_;  // kMaxKeys * 2, a power of two
  std::vector<Route> routes_;
  size_t keys_;
  const _PlugInInfo* table_;
  size_t tableSize_;
  uint64_t lastKey_;
  Slot* last_;  // slots_ never reallocates
  bool lastValid_;
  std::vector<size_t> used_;  // lists used since the last fold, each once
};

#endif  // SELVAR_EVENTS_ROUTE_CACHE_H
