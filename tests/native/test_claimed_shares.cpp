// The claimed-shares schedule: every item of every phase runs exactly once, and no item of a
// phase starts before every item of the phase before has finished, whether each piece has a
// thread of its own or one thread runs the pieces one after the other.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

#include "pool/claimed_shares.h"
#include "test_pool_support.h"

namespace {

struct ScheduleCase {
  std::size_t pieces;
  bool thread_per_piece;  // otherwise the calling thread runs the pieces in turn
};

class ClaimedSharesSchedule : public testing::TestWithParam<ScheduleCase> {};

TEST_P(ClaimedSharesSchedule, RunsEveryItemOnceBehindABarrierPerPhase) {
  const auto [pieces, thread_per_piece] = GetParam();
  const std::vector<std::size_t> items = {5, 0, 1, 64, 3, 17, 2};  // per phase
  for (int round = 0; round < 20; ++round) {
    qelt::ClaimedShares schedule(pieces, items.size());
    std::vector<std::vector<std::atomic<int>>> runs;
    for (std::size_t count : items) runs.emplace_back(count);
    std::vector<std::atomic<std::size_t>> finished(items.size());
    std::atomic<int> early{0};
    std::atomic<bool> go{!thread_per_piece};
    const auto piece = [&](std::size_t k) {
      while (!go.load()) std::this_thread::yield();
      for (std::size_t p = 0; p < items.size(); ++p) {
        schedule.run_phase(p, k, items[p], [&](std::size_t i) noexcept {
          if (p > 0 && finished[p - 1].load() != items[p - 1]) early.fetch_add(1);
          runs[p][i].fetch_add(1);
          std::this_thread::yield();  // let the other pieces overtake this one
          finished[p].fetch_add(1);
        });
      }
    };
    if (thread_per_piece) {
      std::vector<std::thread> threads;
      for (std::size_t k = 0; k < pieces; ++k) threads.emplace_back(piece, k);
      go.store(true);
      for (std::thread& t : threads) t.join();
    } else {
      for (std::size_t k = 0; k < pieces; ++k) piece(k);
    }
    ASSERT_EQ(early.load(), 0) << "round " << round;
    for (std::size_t p = 0; p < items.size(); ++p) {
      for (std::size_t i = 0; i < items[p]; ++i) {
        ASSERT_EQ(runs[p][i].load(), 1) << "phase " << p << " item " << i;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Pieces, ClaimedSharesSchedule,
                         testing::Values(ScheduleCase{1, false}, ScheduleCase{4, false},
                                         ScheduleCase{3, true}, ScheduleCase{8, true}),
                         [](const auto& info) {
                           return std::to_string(info.param.pieces) +
                                  (info.param.thread_per_piece ? "_threads" : "_in_turn");
                         });

}  // namespace
