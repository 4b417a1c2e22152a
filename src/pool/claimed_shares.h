// Claimed shares with a barrier: work that runs in phases, on a fixed number of pieces that each
// take part in every phase. A phase's items are dealt out in contiguous shares, one per piece;
// a piece claims the items of its own share, then whatever is left in the others, and then
// waits until every item of the phase is finished before it starts the next phase. Any thread
// may run a piece (one thread per piece at a time); the constructor may throw std::bad_alloc,
// run_phase never fails.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <type_traits>

#include "pool/backoff.h"
#include "pool/cache_line.h"

namespace qelt {

// Who touches what, and why the orders suffice.
//
// - pieces_ and the counters' storage: written by the constructor, before the pieces start (the
//   hand-off of the pieces to other threads orders it before them); read-only afterwards.
// - claims of (phase, share): any piece in that phase does fetch_add(1); the value returned, if
//   below the share's size, is an item that piece now owns alone. Relaxed: the read-modify-write
//   alone makes the values distinct (each reads the latest value in the counter's modification
//   order), and a claim publishes nothing. What an item reads was ordered by the barrier of the
//   phase before, not by the claim.
// - finished of a phase: the piece that ran an item does fetch_add(1, release) once the item is
//   done. Every piece of the phase loads it with acquire until it reads the phase's item count.
//   That load reads the last increment, and every earlier release increment heads a release
//   sequence that the later increments (read-modify-writes) continue, so the load synchronises
//   with every item's increment: all that the phase wrote happens before anything the waiting
//   piece does in the next phase.
// - No piece waits for one that has not started: an item is claimed only by a running piece,
//   which finishes it without waiting for anything, and a piece that starts late finds its
//   claims used up and waits only for items in progress. So the schedule completes however
//   many pieces run at the same time, one included.
// - The counters sit on cache lines of their own, so that pieces counting on one do not slow
//   down those reading the others.
class ClaimedShares {
 public:
  // A schedule of `phases` phases for `pieces` pieces (at least one).
  ClaimedShares(std::size_t pieces, std::size_t phases)
      : pieces_(pieces), counters_(new Counter[phases * (pieces + 1)]) {}

  // Piece `piece`'s part in phase `phase`, of `items` items (the same for every piece): work(i)
  // for each item i it claims, its own share first, then the others' leftovers; then the wait
  // until all `items` are finished. `work` must not fail, or the other pieces would wait for
  // ever.
  template <class Work>
  void run_phase(std::size_t phase, std::size_t piece, std::size_t items, Work&& work) noexcept {
    static_assert(std::is_nothrow_invocable_v<Work&, std::size_t>);
    Counter* const finished = &counters_[phase * (pieces_ + 1)];
    Counter* const claims = finished + 1;
    for (std::size_t k = 0; k < pieces_; ++k) {
      const std::size_t share = (piece + k) % pieces_;
      const std::size_t first = items * share / pieces_;
      const std::size_t size = items * (share + 1) / pieces_ - first;
      for (std::size_t i;
           (i = claims[share].value.fetch_add(1, std::memory_order_relaxed)) < size;) {
        work(first + i);
        finished->value.fetch_add(1, std::memory_order_release);
      }
    }
    for (Backoff backoff; finished->value.load(std::memory_order_acquire) < items;) {
      backoff.snooze();
    }
  }

 private:
  struct alignas(CACHE_LINE_BYTES) Counter {
    std::atomic<std::size_t> value{0};
  };

  std::size_t pieces_;
  // Per phase: finished, then one claim counter per share.
  std::unique_ptr<Counter[]> counters_;
};

}  // namespace qelt
