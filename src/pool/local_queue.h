// LocalQueue: a worker's lock-free work-stealing deque of job handles. The owning worker pushes
// and takes at the back, newest first; any other thread steals at the front, oldest first.
// Storage starts at 64 handles, doubles when full and halves when less than a quarter is used.
// push and take: the owner only. steal and is_empty: any thread. Never fails (a failed
// allocation ends the process through the pool's machinery).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "pool/cache_line.h"
#include "pool/job_handle.h"

namespace qelt {

enum class StealResult { SUCCESS, EMPTY, RETRY };

// A Chase-Lev deque whose indexes only grow: the job with index i sits in buffer slot i mod cap.
//
// Who touches what:
// - `back_`: written by the owner only (push, take); read by thieves.
// - `front_`: advanced by compare-and-swap, by thieves and by the owner when it takes the last
//   job, so that exactly one of them gets that job.
// - `buffer_`: replaced by the owner only (resize); read by thieves. A slot is written by the
//   owner only, for a job index i in [front, back] of the owner's view, before `back_` moves
//   past i; thieves read slots as two relaxed words and keep what they read only if their
//   compare-and-swap of `front_` from i succeeds, which proves the slot was not reused.
// - `retired_`: owner only. A replaced buffer is freed only once no thief is inside steal
//   (`thieves_inside_` seen at 0 after the replacement), since a thief may still read from the
//   buffer it loaded.
// Invariant: front <= back + 1 while the owner is inside take, front <= back otherwise; the jobs
// are the indexes in [front, back).
class LocalQueue {
 public:
  static constexpr std::size_t MIN_CAPACITY = 64;

  LocalQueue();
  ~LocalQueue();
  LocalQueue(const LocalQueue&) = delete;
  LocalQueue& operator=(const LocalQueue&) = delete;

  void push(JobHandle job);
  std::optional<JobHandle> take();
  StealResult steal(JobHandle& job);
  bool is_empty() const noexcept;
  // The current buffer's size in handles; owner only.
  std::size_t capacity() const noexcept;

 private:
  struct Slot {
    std::atomic<std::uintptr_t> execute{0};
    std::atomic<std::uintptr_t> record{0};
  };
  struct Buffer {
    explicit Buffer(std::size_t size) : capacity(size), slots(new Slot[size]) {}
    ~Buffer() { delete[] slots; }
    Slot& at(std::int64_t index) const noexcept {
      return slots[static_cast<std::size_t>(index) & (capacity - 1)];
    }
    std::size_t capacity;
    Slot* slots;
  };

  void resize(std::size_t new_capacity);
  void free_retired_if_no_thief() noexcept;

  // Written by thieves: on a line of their own (pool/cache_line.h), so that stealing does not
  // take the owner's line away from it.
  alignas(CACHE_LINE_BYTES) std::atomic<std::int64_t> front_{0};
  std::atomic<std::uint32_t> thieves_inside_{0};
  // Written by the owner only.
  alignas(CACHE_LINE_BYTES) std::atomic<std::int64_t> back_{0};
  std::atomic<Buffer*> buffer_;
  std::vector<Buffer*> retired_;
};

}  // namespace qelt
