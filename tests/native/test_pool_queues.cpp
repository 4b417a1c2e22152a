// The pool's queues conserve jobs under concurrency: every handle pushed is obtained exactly once,
// by the owner or by a thief, while the local queue grows and shrinks.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "pool/local_queue.h"
#include "pool/shared_queue.h"
#include "test_pool_support.h"

namespace qelt {
namespace {

void never_run(void*) noexcept {}

JobHandle handle_for(std::size_t id) {
  return JobHandle{&never_run, reinterpret_cast<void*>(id + 1)};
}

std::size_t id_of(const JobHandle& job) {
  return reinterpret_cast<std::uintptr_t>(job.record) - 1;
}

#if defined(__SANITIZE_THREAD__)
constexpr std::size_t ROUNDS = 60;
#else
constexpr std::size_t ROUNDS = 600;
#endif

TEST(LocalQueue, OwnerTakesNewestFirstAndThievesOldestFirst) {
  LocalQueue queue;
  for (std::size_t i = 0; i < 3; ++i) queue.push(handle_for(i));
  JobHandle stolen;
  ASSERT_EQ(queue.steal(stolen), StealResult::SUCCESS);
  EXPECT_EQ(id_of(stolen), 0u);
  EXPECT_EQ(id_of(*queue.take()), 2u);
  EXPECT_EQ(id_of(*queue.take()), 1u);
  EXPECT_FALSE(queue.take().has_value());
  EXPECT_EQ(queue.steal(stolen), StealResult::EMPTY);
  EXPECT_TRUE(queue.is_empty());
}

TEST(LocalQueue, GrowsWhenFullAndShrinksBackToTheMinimum) {
  LocalQueue queue;
  for (std::size_t i = 0; i < 1000; ++i) queue.push(handle_for(i));
  EXPECT_GE(queue.capacity(), 1000u);
  for (std::size_t i = 1000; i-- > 0;) EXPECT_EQ(id_of(*queue.take()), i);
  EXPECT_EQ(queue.capacity(), LocalQueue::MIN_CAPACITY);
}

// The owner pushes bursts large enough to grow the buffer several times and takes some back,
// which shrinks it, while three thieves steal. Each id must come out exactly once.
TEST(LocalQueue, ConservesJobsUnderConcurrentStealing) {
  constexpr std::size_t BURST = 700;
  constexpr std::size_t TOTAL = ROUNDS * BURST;
  LocalQueue queue;
  std::vector<std::atomic<std::uint32_t>> seen(TOTAL);
  std::atomic<bool> done{false};
  std::atomic<std::size_t> obtained{0};

  std::vector<std::thread> thieves;
  for (int t = 0; t < 3; ++t) {
    thieves.emplace_back([&] {
      JobHandle job;
      while (!done.load(std::memory_order_acquire) || !queue.is_empty()) {
        if (queue.steal(job) == StealResult::SUCCESS) {
          seen[id_of(job)].fetch_add(1, std::memory_order_relaxed);
          obtained.fetch_add(1, std::memory_order_relaxed);
        }
      }
    });
  }
  std::size_t grew = 0;
  std::size_t shrank = 0;
  std::size_t next_id = 0;
  for (std::size_t round = 0; round < ROUNDS; ++round) {
    const std::size_t before = queue.capacity();
    for (std::size_t i = 0; i < BURST; ++i) queue.push(handle_for(next_id++));
    const std::size_t peak = queue.capacity();
    grew += peak > before;
    // Take back most of the burst (newest first), leaving the rest to the thieves.
    for (std::size_t i = 0; i < BURST * 3 / 4; ++i) {
      if (std::optional<JobHandle> job = queue.take()) {
        seen[id_of(*job)].fetch_add(1, std::memory_order_relaxed);
        obtained.fetch_add(1, std::memory_order_relaxed);
      }
    }
    shrank += queue.capacity() < peak;
  }
  while (std::optional<JobHandle> job = queue.take()) {
    seen[id_of(*job)].fetch_add(1, std::memory_order_relaxed);
    obtained.fetch_add(1, std::memory_order_relaxed);
  }
  done.store(true, std::memory_order_release);
  for (std::thread& thief : thieves) thief.join();

  EXPECT_EQ(obtained.load(), TOTAL);
  for (std::size_t id = 0; id < TOTAL; ++id) {
    ASSERT_EQ(seen[id].load(), 1u) << "job " << id;
  }
  EXPECT_GT(grew, 0u);
  EXPECT_GT(shrank, 0u);
}

TEST(SharedQueue, IsFirstInFirstOutAcrossBlocks) {
  SharedQueue queue;
  EXPECT_TRUE(queue.is_empty());
  for (std::size_t i = 0; i < 200; ++i) queue.push(handle_for(i));
  JobHandle job;
  for (std::size_t i = 0; i < 200; ++i) {
    ASSERT_EQ(queue.steal(job), StealResult::SUCCESS);
    EXPECT_EQ(id_of(job), i);
  }
  EXPECT_EQ(queue.steal(job), StealResult::EMPTY);
  EXPECT_TRUE(queue.is_empty());
}

// Four producers and three consumers; every handle is obtained exactly once, and each producer's
// handles come out in the order it pushed them.
TEST(SharedQueue, ConservesJobsFromConcurrentProducers) {
  constexpr std::size_t PRODUCERS = 4;
  constexpr std::size_t PER_PRODUCER = ROUNDS * 40;
  constexpr std::size_t TOTAL = PRODUCERS * PER_PRODUCER;
  SharedQueue queue;
  std::vector<std::atomic<std::uint32_t>> seen(TOTAL);
  std::atomic<std::size_t> obtained{0};
  std::atomic<bool> out_of_order{false};

  std::vector<std::thread> threads;
  for (std::size_t p = 0; p < PRODUCERS; ++p) {
    threads.emplace_back([&, p] {
      for (std::size_t i = 0; i < PER_PRODUCER; ++i) queue.push(handle_for(p * PER_PRODUCER + i));
    });
  }
  for (int c = 0; c < 3; ++c) {
    threads.emplace_back([&] {
      std::vector<std::size_t> last(PRODUCERS, SIZE_MAX);
      JobHandle job;
      while (obtained.load(std::memory_order_relaxed) < TOTAL) {
        if (queue.steal(job) != StealResult::SUCCESS) continue;
        const std::size_t id = id_of(job);
        const std::size_t producer = id / PER_PRODUCER;
        if (last[producer] != SIZE_MAX && id <= last[producer]) out_of_order = true;
        last[producer] = id;
        seen[id].fetch_add(1, std::memory_order_relaxed);
        obtained.fetch_add(1, std::memory_order_relaxed);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_FALSE(out_of_order.load());
  for (std::size_t id = 0; id < TOTAL; ++id) ASSERT_EQ(seen[id].load(), 1u) << "job " << id;
  EXPECT_TRUE(queue.is_empty());
}

}  // namespace
}  // namespace qelt
