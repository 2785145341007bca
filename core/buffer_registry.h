// buffer_registry.h - who holds which shared payload.
//
// A payload may have several holders: the dispatch thread while it delivers
// the payload (its pass), and each receiving module that kept it, under its
// ID. Whoever drops the last hold owns the payload and frees it.
//
// Holds live in an open-addressing table keyed by the payload pointer, one
// entry per payload with its holders; entries and their holder lists are
// reused, so the steady state allocates nothing. Every operation on the
// table takes the registry's own (leaf) mutex for a few instructions.
//
// The dispatch thread's pass costs no lock at all for a receiver that does
// not keep the payload: the pass and the receiver being called are published
// in two atomic words (beginPass, offer), and only a receiver that keeps the
// payload is written into the table (keep). A receiver may give the payload
// back during its own call, before the pass learns that it keeps it; such a
// release is recognised by the published words and the keep is then not
// recorded. A pointer that is not held by the releasing holder (stale,
// foreign, static, inside a payload, or already given back) is never
// reported freeable.
//
// Safe from any thread, except that beginPass, offer, keep and endPass belong
// to the one dispatch thread.
#ifndef SELVAR_CORE_BUFFER_REGISTRY_H
#define SELVAR_CORE_BUFFER_REGISTRY_H

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/thread_annotations.h"

class BufferRegistry {
 public:
  BufferRegistry();
  ~BufferRegistry();  // drops the entries; frees no payload
  BufferRegistry(const BufferRegistry&) = delete;
  BufferRegistry& operator=(const BufferRegistry&) = delete;

  // Records one hold of payload by holder. A null payload records nothing.
  void addHold(char* payload, unsigned long holder);

  // Drops every hold of payload by holder. Returns true when that removed at
  // least one hold and none is left (the dispatch thread's pass counts as a
  // hold): the caller then owns the payload. A null payload returns true at
  // once (there is nothing to free). A payload with no hold by this holder
  // returns false, so an unknown pointer is never freed.
  // What a release was, for the figures: a hold dropped, the payload the
  // holder is being handed right now given back during its own call (it
  // never became a hold), or a pointer the holder did not hold.
  enum ReleaseKind { RELEASED_HOLD, RELEASED_OFFER, RELEASED_NOTHING };
  bool releaseHold(char* payload, unsigned long holder, ReleaseKind* kind = nullptr);

  // Number of holds of payload, the dispatch thread's pass included (tests
  // and diagnostics).
  size_t holdCount(char* payload);

  // --- The dispatch thread's pass over one non-null payload ---
  // The dispatch thread holds the payload from beginPass to endPass.
  // size: its bytes, counted in keptBytes() while a receiver keeps it.
  void beginPass(char* payload, uint32_t size = 0);
  // holder is about to be handed the payload (before its entry is called).
  void offer(uint32_t holder) {
    passState_.store(passGeneration_ | kOffered | holder, std::memory_order_release);
  }
  // The holder offered last returned keep != 0: it holds the payload until
  // it gives it back, unless it already did so during its call. True when
  // the hold was recorded.
  bool keep(uint32_t holder);
  // Ends the pass. True when no other hold is left: the caller frees.
  bool endPass();
  // keep(holder) and endPass() in one step, for the pass's last receiver;
  // *recorded as keep() returns.
  bool keepAndEndPass(uint32_t holder, bool* recorded);

  // Distinct payloads with a hold in the table (tests and diagnostics).
  size_t payloadCount();

  // For each holder with a hold now, when (monotonicCoarseMs) it took its oldest
  // one. For the status document; walks the table under the mutex.
  std::vector<std::pair<unsigned long, int64_t>> oldestHolds();
  // Bytes of the payloads receivers keep now. Any thread, no lock.
  uint64_t keptBytes() const { return keptBytes_.load(std::memory_order_relaxed); }

 private:
  struct Holder {
    unsigned long id;
    unsigned long holds;
    int64_t since;  // when the first of these holds was taken (monotonicCoarseMs)
  };
  struct Entry {
    char* payload = nullptr;  // null: the slot is free
    bool passHold = false;    // the dispatch thread's pass holds it too
    uint32_t size = 0;        // its bytes, as the pass gave them
    std::vector<Holder> holders;  // kept (cleared) when the entry is freed
  };

  // passState_: bits 0..31 the holder offered, bit 32 "offered", bit 33
  // "given back during its call", bits 34..63 the pass generation.
  static const uint64_t kOffered = 1ull << 32;
  static const uint64_t kReleased = 1ull << 33;
  static const int kGenerationShift = 34;

  size_t find(const char* payload) const REQUIRES(mutex);
  size_t insert(char* payload) REQUIRES(mutex);
  // insert() for the pass's payload, counting its bytes as kept.
  size_t insertPassPayload(char* payload) REQUIRES(mutex);
  void erase(size_t slot) REQUIRES(mutex);
  void rehash(size_t slots) REQUIRES(mutex);
  static bool dropHolder(Entry& entry, unsigned long holder);
  static void addHolder(Entry& entry, unsigned long holder);
  bool takeBackOffer(const char* payload, unsigned long holder) REQUIRES(mutex);
  size_t home(const char* payload) const REQUIRES(mutex);

  PthreadMutex mutex;
  std::vector<Entry> table_ GUARDED_BY(mutex);  // power of two in size
  size_t used_ GUARDED_BY(mutex);
  std::atomic<uint64_t> keptBytes_{0};  // written under the mutex, read anywhere

  // Written by the dispatch thread; read by releasers under the mutex. Not
  // GUARDED_BY: the dispatch thread's pass publishes and ends offers without
  // the mutex, which is what keeps a non-keeping receiver lock-free.
  std::atomic<char*> passPayload_;
  std::atomic<uint64_t> passState_;
  // Dispatch thread only.
  uint64_t passGeneration_;  // current generation, already shifted
  uint32_t passSize_ = 0;    // the pass's payload's bytes
  bool passRecorded_;        // a keep put the pass's payload into the table
};

#endif  // SELVAR_CORE_BUFFER_REGISTRY_H
