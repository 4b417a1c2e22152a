// The work-stealing deque; who may touch what, and why that is safe, is in local_queue.h.
#include "pool/local_queue.h"

#include <bit>

namespace qelt {
namespace {

JobHandle read_slot(const std::atomic<std::uintptr_t>& execute,
                    const std::atomic<std::uintptr_t>& record) noexcept {
  // Relaxed: the slot's contents are published by the release store of back_ (push) or, for a
  // copied buffer, by the seq_cst store of buffer_ (resize), which the reader has acquired.
  return JobHandle{
      reinterpret_cast<void (*)(void*) noexcept>(execute.load(std::memory_order_relaxed)),
      reinterpret_cast<void*>(record.load(std::memory_order_relaxed))};
}

}  // namespace

LocalQueue::LocalQueue() : buffer_(new Buffer(MIN_CAPACITY)) {}

LocalQueue::~LocalQueue() {
  delete buffer_.load(std::memory_order_relaxed);
  for (Buffer* buffer : retired_) delete buffer;
}

std::size_t LocalQueue::capacity() const noexcept {
  return buffer_.load(std::memory_order_relaxed)->capacity;  // the owner is the only writer
}

bool LocalQueue::is_empty() const noexcept {
  const std::int64_t back = back_.load(std::memory_order_acquire);
  const std::int64_t front = front_.load(std::memory_order_seq_cst);
  return back - front <= 0;
}

void LocalQueue::push(JobHandle job) {
  // Relaxed loads of back_ and buffer_: the owner is their only writer.
  const std::int64_t back = back_.load(std::memory_order_relaxed);
  // Acquire: a thief's read of the slot it took happens before its compare-and-swap of front_,
  // so seeing front_ past a slot means the slot may be overwritten without the thief seeing it.
  const std::int64_t front = front_.load(std::memory_order_acquire);
  Buffer* buffer = buffer_.load(std::memory_order_relaxed);
  if (back - front >= static_cast<std::int64_t>(buffer->capacity)) {
    resize(2 * buffer->capacity);
    buffer = buffer_.load(std::memory_order_relaxed);
  }
  Slot& slot = buffer->at(back);
  // Relaxed: published by the release store of back_ below.
  slot.execute.store(reinterpret_cast<std::uintptr_t>(job.execute), std::memory_order_relaxed);
  slot.record.store(reinterpret_cast<std::uintptr_t>(job.record), std::memory_order_relaxed);
  // Release: a thief that reads the new back_ sees the slot written above.
  back_.store(back + 1, std::memory_order_release);
}

std::optional<JobHandle> LocalQueue::take() {
  std::int64_t back = back_.load(std::memory_order_relaxed);  // the owner is the only writer
  // Relaxed: a stale front_ only looks smaller, which sends an empty queue down the full path.
  if (back - front_.load(std::memory_order_relaxed) <= 0) {
    if (!retired_.empty()) free_retired_if_no_thief();
    return std::nullopt;
  }
  back -= 1;
  Buffer* buffer = buffer_.load(std::memory_order_relaxed);
  // Sequentially consistent store then load, against the thieves' load of front_ then back_:
  // either a thief sees the lowered back_, or the owner sees that thief's advanced front_.
  back_.store(back, std::memory_order_seq_cst);
  const std::int64_t front = front_.load(std::memory_order_seq_cst);
  const std::int64_t remaining = back - front;
  if (remaining < 0) {  // a thief took the last job
    // Relaxed: back_ returns to a value already published; front_ equals it, so nobody reads
    // a slot through it.
    back_.store(back + 1, std::memory_order_relaxed);
    return std::nullopt;
  }
  const Slot& slot = buffer->at(back);
  std::optional<JobHandle> job = read_slot(slot.execute, slot.record);
  if (remaining == 0) {
    // The last job: race the thieves for it on front_.
    std::int64_t expected = front;
    if (!front_.compare_exchange_strong(expected, front + 1, std::memory_order_seq_cst,
                                        std::memory_order_relaxed)) {
      job.reset();
    }
    back_.store(back + 1, std::memory_order_relaxed);  // as above: front_ is now back + 1
  } else if (buffer->capacity > MIN_CAPACITY &&
             remaining < static_cast<std::int64_t>(buffer->capacity / 4)) {
    resize(buffer->capacity / 2);
  }
  return job;
}

StealResult LocalQueue::steal(JobHandle& job) {
  // Sequentially consistent: orders the increment before the load of buffer_ against the
  // owner's replacement of buffer_ then load of this count (free_retired_if_no_thief).
  thieves_inside_.fetch_add(1, std::memory_order_seq_cst);
  StealResult result = StealResult::EMPTY;
  const std::int64_t front = front_.load(std::memory_order_seq_cst);
  const std::int64_t back = back_.load(std::memory_order_seq_cst);
  if (back - front > 0) {
    Buffer* buffer = buffer_.load(std::memory_order_seq_cst);
    const Slot& slot = buffer->at(front);
    JobHandle seen = read_slot(slot.execute, slot.record);
    std::int64_t expected = front;
    // A replaced buffer may hold a stale slot; a failed compare-and-swap means another thread
    // took the job, and what was read may be torn. Either way the caller tries again.
    if (buffer_.load(std::memory_order_seq_cst) != buffer ||
        !front_.compare_exchange_strong(expected, front + 1, std::memory_order_seq_cst,
                                        std::memory_order_relaxed)) {
      result = StealResult::RETRY;
    } else {
      job = seen;
      result = StealResult::SUCCESS;
    }
  }
  // Release: the owner frees a retired buffer only after acquiring a count of 0, so it sees this
  // thief's reads of that buffer as finished.
  thieves_inside_.fetch_sub(1, std::memory_order_release);
  return result;
}

void LocalQueue::resize(std::size_t new_capacity) {
  // Relaxed: back_ and buffer_ are the owner's own; front_ may be stale (smaller), which only
  // copies a few more slots.
  const std::int64_t back = back_.load(std::memory_order_relaxed);
  const std::int64_t front = front_.load(std::memory_order_relaxed);
  Buffer* old_buffer = buffer_.load(std::memory_order_relaxed);
  auto* new_buffer = new Buffer(new_capacity);
  for (std::int64_t i = front; i != back; ++i) {
    const Slot& from = old_buffer->at(i);
    Slot& to = new_buffer->at(i);
    to.execute.store(from.execute.load(std::memory_order_relaxed), std::memory_order_relaxed);
    to.record.store(from.record.load(std::memory_order_relaxed), std::memory_order_relaxed);
  }
  // Sequentially consistent: publishes the copied slots, and comes before the load of
  // thieves_inside_ in the single total order (see steal).
  buffer_.store(new_buffer, std::memory_order_seq_cst);
  retired_.push_back(old_buffer);
  free_retired_if_no_thief();
}

void LocalQueue::free_retired_if_no_thief() noexcept {
  // A thief that entered after this load finds the current buffer; one that entered before has
  // left, and its release decrement is acquired here.
  if (thieves_inside_.load(std::memory_order_seq_cst) != 0) return;
  for (Buffer* buffer : retired_) delete buffer;
  retired_.clear();
}

static_assert(std::has_single_bit(LocalQueue::MIN_CAPACITY));

}  // namespace qelt
