// SharedQueue: the pool's unbounded lock-free FIFO of injected job handles (work from outside the
// pool). Any thread pushes; workers steal (oldest first); any thread asks is_empty. Storage is a
// chain of blocks of 63 handles, freed as they are consumed. Never fails (a failed allocation ends
// the process through the pool's machinery).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "pool/cache_line.h"
#include "pool/job_handle.h"
#include "pool/local_queue.h"

namespace qelt {

// Positions count handles in steps of 2 (bit 0 is a flag, below); position p is slot
// (p >> 1) % 64 of its block, and slot 63 of each lap does not exist: a position whose offset
// reaches 63 means "the block is being replaced, wait".
//
// Who touches what:
// - `tail_.index`: advanced by pushers with compare-and-swap; the pusher that claims the last
//   slot of a block installs the next block (`tail_.block`, then the index past the gap, then
//   the old block's `next`).
// - `head_.index`: advanced by stealers with compare-and-swap; bit 0 (HAS_NEXT) caches "the
//   head block has a successor", so that a stealer need not read the tail. The stealer that
//   claims the last slot of a block moves `head_.block` to the next block.
// - A slot's `job` is written by the one pusher that claimed it and then read by the one stealer
//   that claimed it; `state` passes it over: WRITE (release by the pusher, acquire by the
//   stealer), READ (the stealer is done with the slot), DESTROY (a stealer that found a slot
//   still unread handed freeing the block to that slot's reader).
// - A block is freed by exactly one stealer: the one that read its last slot, or the reader of
//   the last slot still unread when that one looked. Nobody reads a block after its slots are
//   all READ, because head_ has moved past it.
class SharedQueue {
 public:
  SharedQueue();
  ~SharedQueue();
  SharedQueue(const SharedQueue&) = delete;
  SharedQueue& operator=(const SharedQueue&) = delete;

  void push(JobHandle job);
  StealResult steal(JobHandle& job);
  bool is_empty() const noexcept;

 private:
  static constexpr std::size_t BLOCK_CAPACITY = 63;
  static constexpr std::size_t LAP = 64;
  static constexpr std::size_t SHIFT = 1;
  static constexpr std::size_t HAS_NEXT = 1;
  static constexpr std::uint32_t WRITE = 1;
  static constexpr std::uint32_t READ = 2;
  static constexpr std::uint32_t DESTROY = 4;

  struct Slot {
    JobHandle job{};
    std::atomic<std::uint32_t> state{0};
  };
  struct Block {
    std::atomic<Block*> next{nullptr};
    Slot slots[BLOCK_CAPACITY];
    Block* wait_next() const noexcept;
  };
  struct alignas(CACHE_LINE_BYTES) Position {
    std::atomic<std::size_t> index{0};
    std::atomic<Block*> block{nullptr};
  };

  static void wait_written(const Slot& slot) noexcept;
  static void destroy_block(Block* block, std::size_t first_unchecked) noexcept;

  Position head_;
  Position tail_;
};

}  // namespace qelt
