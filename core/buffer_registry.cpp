#include "core/buffer_registry.h"

#include <utility>

#include "compat/monotonic_clock.h"
#include "core/scoped_lock.h"

namespace {

const size_t kMinSlots = 64;
// The table shrinks only from above this size (320 KiB of entries on LP64):
// below it, a rehash would cost more than the memory it gives back, and
// payloads kept in bursts would make the table grow and shrink over and over.
const size_t kShrinkAboveSlots = 8192;
const size_t kNoSlot = ~static_cast<size_t>(0);
const uint64_t kHolderMask = 0xFFFFFFFFull;

}  // namespace

BufferRegistry::BufferRegistry()
    : table_(kMinSlots), used_(0), passPayload_(nullptr), passState_(0), passGeneration_(0), passRecorded_(false) {
  pthread_mutex_init(&mutex, nullptr);
}

BufferRegistry::~BufferRegistry() { pthread_mutex_destroy(&mutex); }

size_t BufferRegistry::home(const char* payload) const {
  // Payloads are malloc blocks: the low bits carry little; mix the rest.
  uint64_t key = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(payload)) >> 4;
  key *= 0x9E3779B97F4A7C15ull;
  return static_cast<size_t>(key >> 32) & (table_.size() - 1);
}

size_t BufferRegistry::find(const char* payload) const {
  const size_t mask = table_.size() - 1;
  for (size_t i = home(payload);; i = (i + 1) & mask) {
    if (table_[i].payload == payload) return i;
    if (table_[i].payload == nullptr) return kNoSlot;
  }
}

size_t BufferRegistry::insert(char* payload) {
  if ((used_ + 1) * 2 > table_.size()) rehash(table_.size() * 2);
  const size_t mask = table_.size() - 1;
  size_t i = home(payload);
  while (table_[i].payload != nullptr) i = (i + 1) & mask;
  Entry& entry = table_[i];
  entry.payload = payload;
  entry.passHold = false;
  entry.size = 0;
  entry.holders.clear();
  ++used_;
  return i;
}

void BufferRegistry::erase(size_t slot) {
  // Linear probing without tombstones: the entries behind the freed slot
  // that cannot be found from their home any more move up into it.
  const size_t mask = table_.size() - 1;
  keptBytes_.store(keptBytes_.load(std::memory_order_relaxed) - table_[slot].size, std::memory_order_relaxed);
  table_[slot].size = 0;
  table_[slot].payload = nullptr;
  table_[slot].passHold = false;
  table_[slot].holders.clear();
  size_t hole = slot;
  for (size_t j = (hole + 1) & mask; table_[j].payload != nullptr; j = (j + 1) & mask) {
    const size_t k = home(table_[j].payload);
    // Entry j stays when its home lies cyclically in (hole, j].
    const bool stays = hole <= j ? (hole < k && k <= j) : (hole < k || k <= j);
    if (stays) continue;
    std::swap(table_[hole], table_[j]);  // the hole's cleared list goes along
    hole = j;
  }
  --used_;
  if (table_.size() > kShrinkAboveSlots && used_ * 8 < table_.size()) rehash(table_.size() / 2);
}

void BufferRegistry::rehash(size_t slots) {
  std::vector<Entry> old(slots);
  old.swap(table_);
  const size_t mask = table_.size() - 1;
  for (Entry& entry : old) {
    if (entry.payload == nullptr) continue;
    size_t i = home(entry.payload);
    while (table_[i].payload != nullptr) i = (i + 1) & mask;
    table_[i] = std::move(entry);
  }
}

bool BufferRegistry::dropHolder(Entry& entry, unsigned long holder) {
  for (size_t i = 0; i < entry.holders.size(); ++i) {
    if (entry.holders[i].id != holder) continue;
    entry.holders[i] = entry.holders.back();
    entry.holders.pop_back();
    return true;
  }
  return false;
}

void BufferRegistry::addHolder(Entry& entry, unsigned long holder) {
  for (Holder& h : entry.holders) {
    if (h.id == holder) {
      ++h.holds;
      return;
    }
  }
  entry.holders.push_back(Holder{holder, 1, monotonicCoarseMs()});
}

bool BufferRegistry::takeBackOffer(const char* payload, unsigned long holder) {
  // The dispatch thread changes the offer without the
  // mutex only to end it or to offer the payload to the next receiver; a keep
  // of the holder offered now waits for the mutex, so the offer read here
  // stands until the compare-exchange below, or is gone for good.
  uint64_t state = passState_.load(std::memory_order_acquire);
  if ((state & kOffered) == 0 || (state & kReleased) != 0 || (state & kHolderMask) != holder) return false;
  // The offer's payload was published before the offer; a later pass
  // publishes a new generation before its payload, so a payload read here
  // that belongs to a later pass makes the exchange fail.
  if (passPayload_.load(std::memory_order_acquire) != payload) return false;
  return passState_.compare_exchange_strong(state, state | kReleased, std::memory_order_acq_rel);
}

void BufferRegistry::addHold(char* payload, unsigned long holder) {
  if (payload == nullptr) return;
  ScopedLock lock(&mutex);
  size_t slot = find(payload);
  if (slot == kNoSlot) slot = insert(payload);
  addHolder(table_[slot], holder);
}

size_t BufferRegistry::insertPassPayload(char* payload) {
  const size_t slot = insert(payload);
  table_[slot].size = passSize_;
  keptBytes_.store(keptBytes_.load(std::memory_order_relaxed) + passSize_, std::memory_order_relaxed);
  return slot;
}

bool BufferRegistry::releaseHold(char* payload, unsigned long holder, ReleaseKind* kind) {
  if (kind != nullptr) *kind = RELEASED_NOTHING;
  if (payload == nullptr) return true;
  ScopedLock lock(&mutex);
  const size_t slot = find(payload);
  if (slot != kNoSlot && dropHolder(table_[slot], holder)) {
    if (kind != nullptr) *kind = RELEASED_HOLD;
    Entry& entry = table_[slot];
    if (!entry.holders.empty() || entry.passHold) return false;
    erase(slot);
    return true;
  }
  // Not held by this holder in the table: perhaps it is being handed the
  // payload right now and gives it back before its call returns. The pass
  // holds the payload meanwhile, so this is never the last hold.
  if (takeBackOffer(payload, holder) && kind != nullptr) *kind = RELEASED_OFFER;
  // Without a hold of this holder the pointer is not ours to free: a stale or
  // foreign pointer must never reach free().
  return false;
}

size_t BufferRegistry::holdCount(char* payload) {
  if (payload == nullptr) return 0;
  ScopedLock lock(&mutex);
  size_t count = 0;
  bool passCounted = false;
  const size_t slot = find(payload);
  if (slot != kNoSlot) {
    for (const Holder& h : table_[slot].holders) count += h.holds;
    if (table_[slot].passHold) {
      ++count;
      passCounted = true;
    }
  }
  if (!passCounted && passPayload_.load(std::memory_order_acquire) == payload) ++count;
  return count;
}

size_t BufferRegistry::payloadCount() {
  ScopedLock lock(&mutex);
  return used_;
}

void BufferRegistry::beginPass(char* payload, uint32_t size) {
  passSize_ = size;
  passGeneration_ += 1ull << kGenerationShift;
  // The new generation before the payload: a releaser that reads this
  // payload can no longer match an offer of an earlier pass.
  passState_.store(passGeneration_, std::memory_order_release);
  passPayload_.store(payload, std::memory_order_release);
  passRecorded_ = false;
}

bool BufferRegistry::keep(uint32_t holder) {
  char* payload = passPayload_.load(std::memory_order_relaxed);
  ScopedLock lock(&mutex);
  const uint64_t state = passState_.exchange(passGeneration_, std::memory_order_acq_rel);
  // Given back during its own call: nothing is left to hold.
  if ((state & kReleased) != 0 && (state & kHolderMask) == holder) return false;
  size_t slot = find(payload);
  if (slot == kNoSlot) slot = insertPassPayload(payload);
  Entry& entry = table_[slot];
  if (!passRecorded_) {
    entry.passHold = true;
    passRecorded_ = true;
  }
  addHolder(entry, holder);
  return true;
}

bool BufferRegistry::endPass() {
  if (!passRecorded_) {
    // Nobody keeps it: nothing in the table refers to it.
    passState_.store(passGeneration_, std::memory_order_release);
    passPayload_.store(nullptr, std::memory_order_release);
    return true;
  }
  char* payload = passPayload_.load(std::memory_order_relaxed);
  ScopedLock lock(&mutex);
  passState_.store(passGeneration_, std::memory_order_release);
  passPayload_.store(nullptr, std::memory_order_release);
  passRecorded_ = false;
  const size_t slot = find(payload);
  if (slot == kNoSlot) return true;  // not reached: the pass's hold kept the entry
  Entry& entry = table_[slot];
  entry.passHold = false;
  if (!entry.holders.empty()) return false;
  erase(slot);
  return true;
}

bool BufferRegistry::keepAndEndPass(uint32_t holder, bool* recorded) {
  char* payload = passPayload_.load(std::memory_order_relaxed);
  ScopedLock lock(&mutex);
  const uint64_t state = passState_.exchange(passGeneration_, std::memory_order_acq_rel);
  passPayload_.store(nullptr, std::memory_order_release);
  passRecorded_ = false;
  const bool givenBack = (state & kReleased) != 0 && (state & kHolderMask) == holder;
  *recorded = !givenBack;
  size_t slot = find(payload);
  if (slot == kNoSlot) {
    // Nobody else holds it; the last receiver keeps it, or gave it back
    // already during its call.
    if (givenBack) return true;
    slot = insertPassPayload(payload);
  }
  Entry& entry = table_[slot];
  entry.passHold = false;
  if (!givenBack) addHolder(entry, holder);
  if (!entry.holders.empty()) return false;
  erase(slot);
  return true;
}

std::vector<std::pair<unsigned long, int64_t>> BufferRegistry::oldestHolds() {
  std::vector<std::pair<unsigned long, int64_t>> oldest;
  ScopedLock lock(&mutex);
  for (const Entry& entry : table_) {
    if (entry.payload == nullptr) continue;
    for (const Holder& h : entry.holders) {
      auto it = oldest.begin();
      while (it != oldest.end() && it->first != h.id) ++it;
      if (it == oldest.end())
        oldest.emplace_back(h.id, h.since);
      else if (h.since < it->second)
        it->second = h.since;
    }
  }
  return oldest;
}
