// parallel_split: pieces are disjoint, contiguous, cover every index once and respect min_len,
// for any worker count; what is deterministic about the cutting; leftmost failure; nesting.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "pool/fork_join.h"
#include "pool/parallel_split.h"
#include "pool/worker_pool.h"
#include "test_pool_support.h"

namespace qelt {
namespace {

WorkerPool& pool_of(std::size_t workers) {
  static std::vector<std::unique_ptr<WorkerPool>> pools = [] {
    std::vector<std::unique_ptr<WorkerPool>> made;
    for (std::size_t n = 1; n <= 8; ++n) made.push_back(std::move(*WorkerPool::create(n)));
    return made;
  }();
  return *pools.at(workers - 1);
}

using Piece = std::pair<std::size_t, std::size_t>;

// The pieces of one call, sorted, and where they ran.
struct Recorded {
  std::vector<Piece> pieces;
  std::vector<std::thread::id> threads;
};

Recorded record_split(WorkerPool& pool, std::size_t len, std::size_t min_len) {
  Recorded recorded;
  std::mutex mutex;
  parallel_split(pool, len, min_len, [&](std::size_t start, std::size_t end) {
    std::lock_guard lock(mutex);
    recorded.pieces.emplace_back(start, end);
    recorded.threads.push_back(std::this_thread::get_id());
  });
  std::sort(recorded.pieces.begin(), recorded.pieces.end());
  return recorded;
}

class SplitCoverage : public ::testing::TestWithParam<std::size_t> {};

TEST_P(SplitCoverage, PiecesAreContiguousDisjointCoveringAndLongEnough) {
  WorkerPool& pool = pool_of(GetParam());
  for (std::size_t min_len : {0u, 1u, 3u, 4096u}) {
    for (std::size_t len :
         {0u, 1u, 2u, 3u, 7u, 8u, 9u, 63u, 64u, 65u, 1000u, 8191u, 8192u, 8193u, 100000u}) {
      const Recorded recorded = record_split(pool, len, min_len);
      SCOPED_TRACE("len " + std::to_string(len) + " min_len " + std::to_string(min_len));
      const std::size_t shortest = std::max<std::size_t>(min_len, 1);
      const bool cut = recorded.pieces.size() > 1;
      ASSERT_FALSE(recorded.pieces.empty());
      ASSERT_TRUE(len / 2 >= shortest || !cut);
      std::size_t expected_start = 0;
      for (const auto& [start, end] : recorded.pieces) {
        ASSERT_EQ(start, expected_start);
        ASSERT_LE(start, end);
        ASSERT_TRUE(!cut || end - start >= shortest);
        expected_start = end;
      }
      ASSERT_EQ(expected_start, len);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(WorkerCounts, SplitCoverage, ::testing::Range<std::size_t>(1, 9));

TEST(ParallelSplit, AnUncutRangeRunsOnTheCallingThread) {
  WorkerPool& pool = pool_of(4);
  for (auto [len, min_len] : {Piece{0, 1}, Piece{1, 1}, Piece{8191, 4096}, Piece{5, 3}}) {
    const Recorded recorded = record_split(pool, len, min_len);
    ASSERT_EQ(recorded.pieces.size(), 1u);
    EXPECT_EQ(recorded.pieces[0], Piece(0, len));
    EXPECT_EQ(recorded.threads[0], std::this_thread::get_id());
  }
  const Recorded halves = record_split(pool, 8192, 4096);
  EXPECT_EQ(halves.pieces, (std::vector<Piece>{{0, 4096}, {4096, 8192}}));
  for (std::thread::id thread : halves.threads) EXPECT_NE(thread, std::this_thread::get_id());
}

// With one worker nothing is ever stolen, so the cutting is deterministic: from outside the pool,
// 2^(floor(log2 1) + 3) = 8 pieces, from inside a leaf 2^(floor(log2 1) + 1) = 2.
TEST(ParallelSplit, OneWorkerCutsDeterministically) {
  WorkerPool& pool = pool_of(1);
  const Recorded outside = record_split(pool, 1 << 20, 1);
  std::vector<Piece> eighths;
  for (std::size_t i = 0; i < 8; ++i) eighths.emplace_back(i << 17, (i + 1) << 17);
  EXPECT_EQ(outside.pieces, eighths);

  std::vector<std::size_t> nested_counts;
  parallel_split(pool, 2, 1, [&](std::size_t, std::size_t) {
    std::size_t pieces = 0;
    parallel_split(1000, 1, [&](std::size_t, std::size_t) { ++pieces; });
    nested_counts.push_back(pieces);
  });
  EXPECT_EQ(nested_counts, (std::vector<std::size_t>{2, 2}));
}

TEST(ParallelSplit, OneWorkerRunsTheLeftHalfFirst) {
  WorkerPool& pool = pool_of(1);
  std::vector<std::size_t> order;  // one worker: no two leaves run at once
  parallel_split(pool, 64, 1, [&](std::size_t start, std::size_t) { order.push_back(start); });
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
}

// Leaves fail at chosen pieces; every piece still runs, and the caller sees the failure of the
// leftmost failing piece: in the right half only, or in both halves.
TEST(ParallelSplit, LeftmostFailureWinsAfterEveryPieceRan) {
  struct Failure {
    std::size_t start;
  };
  constexpr std::size_t LEN = 4096;
  for (std::size_t workers : {1u, 2u, 4u, 8u}) {
    for (std::size_t round = 0; round < 20; ++round) {
      const std::vector<std::size_t> failing =
          round % 2 == 0 ? std::vector<std::size_t>{3000} : std::vector<std::size_t>{100, 3000};
      std::vector<std::atomic<int>> ran(LEN);
      std::mutex mutex;
      std::vector<Piece> pieces;
      std::size_t caught = SIZE_MAX;
      try {
        parallel_split(pool_of(workers), LEN, 16, [&](std::size_t start, std::size_t end) {
          {
            std::lock_guard lock(mutex);
            pieces.emplace_back(start, end);
          }
          for (std::size_t i = start; i < end; ++i) ran[i].fetch_add(1);
          for (std::size_t f : failing) {
            if (start <= f && f < end) throw Failure{start};
          }
        });
      } catch (const Failure& failure) {
        caught = failure.start;
      }
      auto holding_first = std::find_if(pieces.begin(), pieces.end(), [&](const Piece& piece) {
        return piece.first <= failing.front() && failing.front() < piece.second;
      });
      ASSERT_NE(holding_first, pieces.end());
      ASSERT_EQ(caught, holding_first->first) << workers << " workers";
      for (std::size_t i = 0; i < LEN; ++i) ASSERT_EQ(ran[i].load(), 1) << "index " << i;
    }
  }
}

// A leaf that splits again runs its nested pieces on workers, helping rather than blocking,
// even when every worker is busy with an outer leaf.
TEST(ParallelSplit, NestedSplitsFromLeavesCoverEverything) {
  for (std::size_t workers : {1u, 2u, 5u}) {
    constexpr std::size_t OUTER = 16;
    constexpr std::size_t INNER = 5000;
    std::vector<std::atomic<int>> hits(OUTER * INNER);
    std::atomic<bool> off_worker{false};
    parallel_split(pool_of(workers), OUTER, 1, [&](std::size_t start, std::size_t end) {
      for (std::size_t row = start; row < end; ++row) {
        parallel_split(INNER, 64, [&](std::size_t first, std::size_t last) {
          if (WorkerThread::current() == nullptr) off_worker = true;
          for (std::size_t i = first; i < last; ++i) hits[row * INNER + i].fetch_add(1);
        });
      }
    });
    EXPECT_FALSE(off_worker.load());
    for (std::size_t i = 0; i < hits.size(); ++i) ASSERT_EQ(hits[i].load(), 1) << "index " << i;
  }
}

TEST(ForkJoin, ReturnsBothResultsAndMarksInjectedHalvesStolen) {
  WorkerPool& pool = pool_of(2);
  auto [a, b] = fork_join(
      pool, [](bool stolen) { return std::make_pair(1, stolen); },
      [](bool stolen) { return std::make_pair(2, stolen); });
  EXPECT_EQ(a, std::make_pair(1, true));
  EXPECT_EQ(b, std::make_pair(2, true));
}

}  // namespace
}  // namespace qelt
