// route_cache.h - the dispatch thread's receiver lists.
//
// Who receives a queued event, and through which entry, depends only on the
// module table, the event's routing flags (mask selectors, EVF_TO_OTHERS,
// EVF_TO_ALL), its match pattern and which module sent it. The table does
// not change while the dispatch thread runs, so the thread works the list
// out once per (flags, pattern, sender) and keeps it (senders that are not
// modules route alike and share one list): an event then visits
// only its receivers, each through the one entry it gets, and nothing is
// decided per receiver and event.
//
// The lists also count the deliveries for the live figures: an event adds
// one to its list's pending count, not one to each receiver's counters, and
// fold() later credits each receiver of the list, and its sender, with the
// pending events. Only the list routes() returned last has pending events:
// turning to another list folds it. The dispatch thread folds too before it
// waits for events, and each timed event folds (see below), so under a
// steady stream the figures are behind by at most one timing interval of
// one list.
//
// Every N-th event of a list is a timed one: each of its deliveries is
// timed, and retune() then sets the list's N from what those calls took.
//
// Bounded: at most kMaxKeys lists are kept; the cache starts over when it is
// full or the table it was built from is not the one it is asked about.
// Dispatch thread only.
#ifndef SELVAR_EVENTS_ROUTE_CACHE_H
#define SELVAR_EVENTS_ROUTE_CACHE_H

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "pluginhost/plugin_info.h"

// One receiver of a list and the entry it gets.
struct Route {
  const _PlugInInfo* info;
  PluginEntryPoint entry;
  // The module's delivery counters, here so the dispatch thread finds them
  // beside the entry it calls.
  ModuleFigures::Delivered* figures;
  uint32_t moduleId;
  uint32_t code;  // 0: Write, else the IOCTL code
};

class RouteCache {
 public:
  // Flag bits that take part in routing.
  static const uint32_t kRoutingFlags = 0xFFu | EVF_MASK8 | EVF_TO_OTHERS | EVF_TO_ALL;
  static const size_t kMaxKeys = 512;

  RouteCache() : slots_(kMaxKeys * 2), keys_(0), table_(nullptr), tableSize_(0) { forgetLast(); }

  // Starts over if the table is not the one the lists were built from.
  // Once per batch, before routes().
  void useTable(const std::vector<_PlugInInfo>& modules) {
    if (modules.data() != table_ || modules.size() != tableSize_) reset(modules);
  }

  // The receivers, in table order, of an event with these flags and this
  // queued-road match pattern sent by sender, counting the event as one
  // pending use of their list; *count receives their number. Returns with
  // *timed set when this event's deliveries are to be timed: they then stand
  // for timedEvery() events each.
  Route* routes(const std::vector<_PlugInInfo>& modules, uint32_t flags, uint32_t pattern, uint32_t sender,
                size_t* count, bool* timed) {
    const uint64_t key = (static_cast<uint64_t>(flags & kRoutingFlags) << 32) | pattern;
    if (__builtin_expect(lastKey_ != key || lastSender_ != sender, 0)) lookUp(modules, key, sender);
    ++pending_;
    *timed = --countdown_ == 0;
    *count = lastCount_;
    return lastRoutes_;
  }

  // The events each delivery of the timed event stands for.
  uint32_t timedEvery() const { return last_->sampleEvery; }

  // After the timed event of the list routes() last returned: its calls
  // took tookNs in all, over calls calls. Sets how often the list is timed
  // and folds it.
  void retune(uint64_t tookNs, size_t calls) {
    const uint64_t wanted = static_cast<uint64_t>(FIGURES_TIMING_COST_NS) * FIGURES_TIMING_SHARE * calls;
    // A list with no receivers has nothing to time.
    uint32_t every = calls == 0 ? FIGURES_SAMPLE_EVERY : 1;
    while (every < FIGURES_SAMPLE_EVERY && static_cast<uint64_t>(every) * tookNs < wanted) every *= 2;
    last_->sampleEvery = every;
    countdown_ = every;
    fold();
  }

  // Credits the pending deliveries to the receivers' and the sender's
  // counters.
  void fold() {
    if (pending_ == 0) return;
    const Slot& slot = *last_;
    for (const Route* route = lastRoutes_; route != lastRoutes_ + lastCount_; ++route)
      addAsSoleWriter(route->code == 0 ? route->figures->writes : route->figures->ioctls, pending_);
    if (slot.senderFigures != nullptr) addAsSoleWriter(slot.senderFigures->sentDelivered, pending_);
    pending_ = 0;
  }

  void clear() {
    fold();
    table_ = nullptr;
    tableSize_ = 0;
  }

 private:
  struct Slot {
    uint64_t key;
    uint32_t sender;
    uint32_t first;
    uint32_t count;
    uint32_t countdown;    // events until the next timed one, while another list is in use
    uint32_t sampleEvery;  // one event in this many is timed (a power of two)
    bool used;
    ModuleFigures::Delivered* senderFigures;  // null: the sender is not a module
  };

  // A key no event has: its flags hold bits routing ignores.
  static const uint64_t kNoKey = ~0ull;
  // Marks the key of a list whose sender is not a module (a flag bit that
  // routing ignores).
  static const uint64_t kOtherSender = 1ull << 63;

  void forgetLast() {
    lastKey_ = kNoKey;
    lastSender_ = 0;
    last_ = nullptr;
    lastRoutes_ = nullptr;
    lastCount_ = 0;
    pending_ = 0;
    countdown_ = 0;
  }

  void reset(const std::vector<_PlugInInfo>& modules) {
    // The routes about to go still hold uncredited deliveries.
    fold();
    for (Slot& slot : slots_) slot.used = false;
    routes_.clear();
    moduleIds_.clear();
    for (const _PlugInInfo& info : modules) moduleIds_.push_back(info.moduleId());
    std::sort(moduleIds_.begin(), moduleIds_.end());
    keys_ = 0;
    forgetLast();
    table_ = modules.data();
    tableSize_ = modules.size();
  }

  void lookUp(const std::vector<_PlugInInfo>& modules, uint64_t key, uint32_t sender) {
    // Only the list in use holds pending deliveries.
    fold();
    if (last_ != nullptr) last_->countdown = countdown_;
    // A sender that is not a module (a counted source's own ID, the core)
    // routes like any other such sender: they share one list, so that many
    // source IDs cannot fill the cache.
    const bool moduleSender = std::binary_search(moduleIds_.begin(), moduleIds_.end(), sender);
    const uint64_t slotKey = moduleSender ? key : key | kOtherSender;
    const uint32_t slotSender = moduleSender ? sender : 0;
    const size_t mask = slots_.size() - 1;
    size_t i = static_cast<size_t>(((slotKey ^ (static_cast<uint64_t>(slotSender) << 40)) * 0x9E3779B97F4A7C15ull) >>
                                   40) &
               mask;
    for (; slots_[i].used; i = (i + 1) & mask) {
      if (slots_[i].key == slotKey && slots_[i].sender == slotSender) {
        remember(i, key, sender);
        return;
      }
    }
    if (keys_ == kMaxKeys) {
      reset(modules);
      lookUp(modules, key, sender);
      return;
    }
    Slot& slot = slots_[i];
    slot.used = true;
    slot.sampleEvery = 1;
    slot.countdown = 1;
    slot.key = slotKey;
    slot.sender = slotSender;
    slot.first = static_cast<uint32_t>(routes_.size());
    // A sender that is no module matches no module: nobody is the sender.
    slot.senderFigures = build(modules, static_cast<uint32_t>(key >> 32), static_cast<uint32_t>(key), sender);
    slot.count = static_cast<uint32_t>(routes_.size()) - slot.first;
    ++keys_;
    remember(i, key, sender);
  }

  // The list at index, for events with this key and sender from now on.
  void remember(size_t index, uint64_t key, uint32_t sender) {
    last_ = &slots_[index];
    lastKey_ = key;
    lastSender_ = sender;
    lastRoutes_ = routes_.data() + last_->first;
    lastCount_ = last_->count;
    countdown_ = last_->countdown;
  }

  // The delivery rules, first rule that applies, per module: EVF_TO_OTHERS
  // to a module that is not the sender, then EVF_TO_ALL, then a matching
  // mask of a module that accepts events. Returns the sender's counters.
  ModuleFigures::Delivered* build(const std::vector<_PlugInInfo>& modules, uint32_t flags, uint32_t pattern,
                                  uint32_t sender) {
    ModuleFigures::Delivered* senderFigures = nullptr;
    for (size_t i = 0; i < modules.size(); ++i) {
      const _PlugInInfo& info = modules[i];
      const bool isSender = info.moduleId() == sender;
      if (isSender && senderFigures == nullptr) senderFigures = &info.figures->delivered;
      if (info.library == nullptr) continue;
      Route route = {&info, nullptr, &info.figures->delivered, info.moduleId(), 0};
      if ((flags & EVF_TO_OTHERS) != 0 && !isSender) {
        route.entry = info.fnIOCTL;
        route.code = IOCTL_EVENT_OTHERS;
      } else if ((flags & EVF_TO_ALL) != 0) {
        route.entry = info.fnIOCTL;
        route.code = IOCTL_EVENT_ALL;
      } else if (info.loadInfo.acceptsEvents != 0 && info.matches(flags, pattern)) {
        route.entry = info.fnWrite;
      }
      // A receiver that does not export the chosen entry gets nothing.
      if (route.entry != nullptr) routes_.push_back(route);
    }
    return senderFigures;
  }

  std::vector<Slot> slots_;  // kMaxKeys * 2, a power of two
  std::vector<Route> routes_;
  std::vector<uint32_t> moduleIds_;  // of the table, sorted
  size_t keys_;
  const _PlugInInfo* table_;
  size_t tableSize_;
  // The list routes() returned last (slots_ never reallocates), its key
  // (kNoKey before there is one) and its receivers; here rather than in its
  // slot, so that an event of the same list reads nothing else.
  Slot* last_;
  uint64_t lastKey_;
  uint32_t lastSender_;
  uint32_t lastCount_;
  Route* lastRoutes_;
  uint64_t pending_;    // events delivered through that list, not yet credited
  uint32_t countdown_;  // its events until the next timed one
};

#endif  // SELVAR_EVENTS_ROUTE_CACHE_H
