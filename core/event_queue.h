// event_queue.h - the FIFO of accepted events.
//
// A ring of event records held by value, with the sum of their payload sizes.
// No allocation per event: the ring grows by doubling when full and keeps its
// storage, and the dispatch thread takes everything queued at once by
// swapping rings (ServiceCore::drainEventQueue). Records own their payloads
// as the queue's user decides; the queue itself never frees a payload.
// Not synchronised: the core guards its queue with queueMutex.
//
// QueueBudget bounds what the queues hold: a submitter reserves a record and
// its payload bytes before it copies anything, and a queue that was given
// the budget gives the reservation back as records leave it (pop), in small
// batches and at the latest when the queue runs empty.
#ifndef SELVAR_CORE_EVENT_QUEUE_H
#define SELVAR_CORE_EVENT_QUEUE_H

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

#include "events/event_record.h"

class QueueBudget {
 public:
  QueueBudget(uint32_t maxRecords, uint64_t maxBytes)
      : maxRecords_(maxRecords), maxBytes_(maxBytes), packed_(0) {}
  QueueBudget(const QueueBudget&) = delete;
  QueueBudget& operator=(const QueueBudget&) = delete;

  // Reserves one record of `bytes` payload bytes; false (and nothing
  // reserved) when that would pass either limit.
  bool reserve(uint32_t bytes) {
    if (bytes > maxBytes_) return false;
    const uint64_t delta = (static_cast<uint64_t>(bytes) << kBytesShift) | 1u;
    const uint64_t now = packed_.fetch_add(delta, std::memory_order_relaxed) + delta;
    if ((now & kRecordsMask) <= maxRecords_ && (now >> kBytesShift) <= maxBytes_) return true;
    packed_.fetch_sub(delta, std::memory_order_relaxed);
    return false;
  }
  void release(uint64_t records, uint64_t bytes) {
    if (records == 0) return;
    // Between two releases the count only grows, so the count a release
    // finds is the most since the one before: the high-water mark is kept
    // here (the dispatch thread releases every 32 records and when its
    // batch runs empty), not on every reserve.
    const uint64_t before = packed_.fetch_sub((bytes << kBytesShift) | records, std::memory_order_relaxed);
    noteHighWater(before & kRecordsMask);
  }

  // Reserved now: records (each accepted event until it has been delivered)
  // and their payload bytes.
  uint64_t records() const { return packed_.load(std::memory_order_relaxed) & kRecordsMask; }
  uint64_t bytes() const { return packed_.load(std::memory_order_relaxed) >> kBytesShift; }
  uint32_t maxRecords() const { return maxRecords_; }
  // The most records reserved at once so far.
  uint64_t highWater() const {
    const uint64_t released = highWater_.load(std::memory_order_relaxed);
    const uint64_t now = records();
    // A refused reservation stands in the count for an instant.
    return std::min<uint64_t>(maxRecords_, released > now ? released : now);
  }
  uint64_t maxBytes() const { return maxBytes_; }

 private:
  // Records in the low 24 bits, bytes above: one atomic step reserves both.
  static const int kBytesShift = 24;
  static const uint64_t kRecordsMask = (1ull << kBytesShift) - 1;

  const uint32_t maxRecords_;
  const uint64_t maxBytes_;
  std::atomic<uint64_t> packed_;
  // The most records a release found (the count now may be higher still).
  std::atomic<uint64_t> highWater_{0};

  void noteHighWater(uint64_t records) {
    uint64_t seen = highWater_.load(std::memory_order_relaxed);
    while (records > seen && !highWater_.compare_exchange_weak(seen, records, std::memory_order_relaxed)) {
    }
  }
};

class EventQueue {
 public:
  explicit EventQueue(QueueBudget* budget = nullptr) : budget_(budget) {}
  ~EventQueue() { flushBudget(); }
  EventQueue(const EventQueue&) = delete;
  EventQueue& operator=(const EventQueue&) = delete;

  bool empty() const { return count_ == 0; }
  size_t size() const { return count_; }
  // Sum of dataSize over the queued records.
  uint64_t payloadBytes() const { return bytes_; }
  size_t capacity() const { return capacity_; }

  _EventParmsIn& front() { return slots_[head_]; }
  const _EventParmsIn& front() const { return slots_[head_]; }

  void pop() {
    const uint32_t size = slots_[head_].dataSize;
    bytes_ -= size;
    head_ = (head_ + 1) & (capacity_ - 1);
    if (budget_ != nullptr) {
      doneBytes_ += size;
      if (++doneRecords_ == kBudgetBatch) flushBudget();
    }
    // An emptied ring starts again at slot 0, so a short queue keeps using
    // the same few slots (and pages).
    if (--count_ == 0) {
      head_ = 0;
      flushBudget();
    }
  }

  void push(const _EventParmsIn& event) {
    if (count_ == capacity_) grow();
    slots_[(head_ + count_) & (capacity_ - 1)] = event;
    ++count_;
    bytes_ += event.dataSize;
  }

  // Exchanges the contents; each queue keeps its budget.
  void swap(EventQueue& other) {
    flushBudget();
    other.flushBudget();
    slots_.swap(other.slots_);
    std::swap(capacity_, other.capacity_);
    std::swap(head_, other.head_);
    std::swap(count_, other.count_);
    std::swap(bytes_, other.bytes_);
  }

  // While empty: gives the storage back when it holds more than keepSlots.
  void trim(size_t keepSlots) {
    if (count_ == 0 && capacity_ > keepSlots) {
      slots_.reset();
      capacity_ = 0;
      head_ = 0;
    }
  }

 private:
  // Records given back to the budget at a time (fewer shared-line writes).
  static const uint32_t kBudgetBatch = 32;

  void flushBudget() {
    if (budget_ == nullptr || doneRecords_ == 0) return;
    budget_->release(doneRecords_, doneBytes_);
    doneRecords_ = 0;
    doneBytes_ = 0;
  }

  void grow() {
    const size_t capacity = capacity_ == 0 ? 16 : capacity_ * 2;
    // Not value-initialised: slots are written before they are read.
    std::unique_ptr<_EventParmsIn[]> grown(new _EventParmsIn[capacity]);
    for (size_t i = 0; i < count_; ++i) grown[i] = slots_[(head_ + i) & (capacity_ - 1)];
    slots_.swap(grown);
    capacity_ = capacity;
    head_ = 0;
  }

  std::unique_ptr<_EventParmsIn[]> slots_;
  size_t capacity_ = 0;  // a power of two, or 0
  size_t head_ = 0;
  size_t count_ = 0;
  uint64_t bytes_ = 0;
  QueueBudget* const budget_;  // not owned; null: none
  uint32_t doneRecords_ = 0;   // popped, not yet given back to the budget
  uint64_t doneBytes_ = 0;
};

#endif  // SELVAR_CORE_EVENT_QUEUE_H
