// The shared FIFO of posted jobs; who may touch what, and why that is safe, is in shared_queue.h.
#include "pool/shared_queue.h"

#include <sched.h>

#include <memory>

#include "pool/full_fence.h"

namespace qelt {
namespace {

// Waiting for another thread to finish a step it has already committed to (a few instructions).
void snooze(unsigned& step) noexcept {
  if (step < 6) {
    for (unsigned i = 0; i < (1u << step); ++i) {
#if defined(__x86_64__)
      __builtin_ia32_pause();
#elif defined(__aarch64__)
      __asm__ __volatile__("yield");
#endif
    }
  } else {
    sched_yield();
  }
  if (step < 10) ++step;
}

}  // namespace

SharedQueue::SharedQueue() {
  Block* first = new Block;
  head_.block.store(first, std::memory_order_relaxed);
  tail_.block.store(first, std::memory_order_relaxed);
}

SharedQueue::~SharedQueue() {
  // No other thread is left: free the blocks from head to tail.
  std::size_t head = head_.index.load(std::memory_order_relaxed) & ~HAS_NEXT;
  const std::size_t tail = tail_.index.load(std::memory_order_relaxed) & ~HAS_NEXT;
  Block* block = head_.block.load(std::memory_order_relaxed);
  for (; head != tail; head += std::size_t{1} << SHIFT) {
    if ((head >> SHIFT) % LAP == BLOCK_CAPACITY) {
      Block* next = block->next.load(std::memory_order_relaxed);
      delete block;
      block = next;
    }
  }
  delete block;
}

SharedQueue::Block* SharedQueue::Block::wait_next() const noexcept {
  unsigned step = 0;
  while (true) {
    // Acquire: the next block's construction is visible.
    Block* block = next.load(std::memory_order_acquire);
    if (block != nullptr) return block;
    snooze(step);
  }
}

void SharedQueue::wait_written(const Slot& slot) noexcept {
  unsigned step = 0;
  // Acquire: pairs with the pusher's release of WRITE, making `job` visible.
  while ((slot.state.load(std::memory_order_acquire) & WRITE) == 0) snooze(step);
}

void SharedQueue::destroy_block(Block* block, std::size_t first_unchecked) noexcept {
  // The last slot's reader calls this with first_unchecked = 0 and skips the last slot itself.
  for (std::size_t i = first_unchecked; i + 1 < BLOCK_CAPACITY; ++i) {
    Slot& slot = block->slots[i];
    // Acquire/acq_rel: the reader's release of READ orders its read of the slot before the free.
    if ((slot.state.load(std::memory_order_acquire) & READ) == 0 &&
        (slot.state.fetch_or(DESTROY, std::memory_order_acq_rel) & READ) == 0) {
      return;  // that slot's reader will continue freeing from the next slot
    }
  }
  delete block;
}

void SharedQueue::push(JobHandle job) {
  unsigned step = 0;
  // Acquire: the block read with the index is at least as new as the index.
  std::size_t tail = tail_.index.load(std::memory_order_acquire);
  Block* block = tail_.block.load(std::memory_order_acquire);
  std::unique_ptr<Block> next_block;
  while (true) {
    const std::size_t offset = (tail >> SHIFT) % LAP;
    if (offset == BLOCK_CAPACITY) {  // another pusher is installing the next block
      snooze(step);
      tail = tail_.index.load(std::memory_order_acquire);
      block = tail_.block.load(std::memory_order_acquire);
      continue;
    }
    // Allocate before claiming the last slot, so the block's successor comes without delay.
    if (offset + 1 == BLOCK_CAPACITY && !next_block) next_block = std::make_unique<Block>();

    const std::size_t new_tail = tail + (std::size_t{1} << SHIFT);
    // Sequentially consistent: is_empty and the stealers' emptiness check read tail_.index
    // after a full fence; the claim must be ordered with them.
    if (tail_.index.compare_exchange_weak(tail, new_tail, std::memory_order_seq_cst,
                                          std::memory_order_acquire)) {
      if (offset + 1 == BLOCK_CAPACITY) {
        Block* next = next_block.release();
        // Release: publishes the new block's construction to whoever reads these.
        tail_.block.store(next, std::memory_order_release);
        tail_.index.store(new_tail + (std::size_t{1} << SHIFT), std::memory_order_release);
        block->next.store(next, std::memory_order_release);
      }
      Slot& slot = block->slots[offset];
      slot.job = job;
      // Release: the stealer that waits for WRITE sees `job`.
      slot.state.fetch_or(WRITE, std::memory_order_release);
      return;
    }
    // tail now holds the current index; reload its block.
    block = tail_.block.load(std::memory_order_acquire);
    snooze(step);
  }
}

StealResult SharedQueue::steal(JobHandle& job) {
  unsigned step = 0;
  std::size_t head = 0;
  Block* block = nullptr;
  std::size_t offset = 0;
  while (true) {
    // Acquire: the block read with the index is at least as new as the index.
    head = head_.index.load(std::memory_order_acquire);
    block = head_.block.load(std::memory_order_acquire);
    offset = (head >> SHIFT) % LAP;
    if (offset != BLOCK_CAPACITY) break;
    snooze(step);  // another stealer is moving head_ to the next block
  }

  std::size_t new_head = head + (std::size_t{1} << SHIFT);
  if ((new_head & HAS_NEXT) == 0) {
    // Full fence, then the tail: pairs with the pushers' sequentially consistent claims.
    full_fence();
    const std::size_t tail = tail_.index.load(std::memory_order_relaxed);
    if ((head >> SHIFT) == (tail >> SHIFT)) return StealResult::EMPTY;
    if ((head >> SHIFT) / LAP != (tail >> SHIFT) / LAP) new_head |= HAS_NEXT;
  }
  if (!head_.index.compare_exchange_weak(head, new_head, std::memory_order_seq_cst,
                                         std::memory_order_acquire)) {
    return StealResult::RETRY;
  }

  if (offset + 1 == BLOCK_CAPACITY) {
    // Claimed the last slot: move head_ to the next block.
    Block* next = block->wait_next();
    std::size_t next_index = (new_head & ~HAS_NEXT) + (std::size_t{1} << SHIFT);
    // Relaxed: only a hint that the next block has a successor; it was published with release.
    if (next->next.load(std::memory_order_relaxed) != nullptr) next_index |= HAS_NEXT;
    // Release: stealers that acquire the new head see the new block.
    head_.block.store(next, std::memory_order_release);
    head_.index.store(next_index, std::memory_order_release);
  }

  Slot& slot = block->slots[offset];
  wait_written(slot);
  job = slot.job;
  if (offset + 1 == BLOCK_CAPACITY) {
    destroy_block(block, 0);
  } else if ((slot.state.fetch_or(READ, std::memory_order_acq_rel) & DESTROY) != 0) {
    // acq_rel: release orders this read of the slot before a later free by someone else;
    // acquire sees the DESTROY hand-over of the stealer that left the block to this one.
    destroy_block(block, offset + 1);
  }
  return StealResult::SUCCESS;
}

bool SharedQueue::is_empty() const noexcept {
  const std::size_t head = head_.index.load(std::memory_order_seq_cst);
  const std::size_t tail = tail_.index.load(std::memory_order_seq_cst);
  return (head >> SHIFT) == (tail >> SHIFT);
}

}  // namespace qelt
