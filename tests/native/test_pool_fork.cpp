// A child made by fork() has the parent's memory but none of its worker threads: it must build a
// pool of its own instead of waiting forever on the inherited one, also when the fork came while
// the parent was creating its pool or its workers were busy.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "pool/global_pool.h"
#include "pool/parallel_split.h"
#include "test_pool_support.h"

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer by default kills a child that starts threads after a fork of a multi-threaded
// process, which is exactly what these tests check works.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_options() {
  return "die_after_fork=0";
}
#endif

namespace qelt {
namespace {

#ifdef _WIN32
TEST(PoolFork, ChildBuildsItsOwnPool) {
  GTEST_SKIP() << "no fork on Windows";
}
#else
// A cut parallel_split in this process: 0 when every index was covered once, on workers.
int split_on_workers() {
  constexpr std::size_t LEN = 20000;
  std::vector<std::atomic<int> > hits(LEN);
  std::atomic<bool> off_worker{false};
  parallel_split(LEN, 1, [&](std::size_t start, std::size_t end) {
    if (WorkerThread::current() == nullptr) off_worker = true;
    for (std::size_t i = start; i < end; ++i) hits[i].fetch_add(1);
  });
  for (const auto& hit : hits) {
    if (hit.load() != 1) return 1;
  }
  return off_worker.load() ? 2 : 0;
}

TEST(PoolFork, ChildBuildsItsOwnPoolAndParentKeepsItsOwn) {
  ASSERT_EQ(split_on_workers(), 0);
  WorkerPool* parent_pool = &global_pool();
  EXPECT_EQ(test::run_in_forked_child([&] {
              const int status = split_on_workers();
              if (status != 0) return status;
              return &global_pool() == parent_pool ? 3 : 0;
            }),
            0);
  EXPECT_EQ(&global_pool(), parent_pool);
  EXPECT_EQ(split_on_workers(), 0);
}

// Forks at arbitrary moments of the pool's work: while other threads submit, steal, sleep and
// wake. Every child must finish its own parallel call.
TEST(PoolFork, ChildrenForkedWhileThePoolIsBusyFinish) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> submitters;
  for (int t = 0; t < 2; ++t) {
    submitters.emplace_back([&] {
      while (!stop.load()) split_on_workers();
    });
  }
  for (int child = 0; child < 20; ++child) {
    ASSERT_EQ(test::run_in_forked_child(split_on_workers, 30), 0) << "child " << child;
  }
  stop = true;
  for (std::thread& submitter : submitters) submitter.join();
}

std::atomic<bool> creation_started{false};

int slow_starter(std::size_t stack_size, os::ThreadMain main, void* argument) {
  creation_started = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return os::start_detached_thread(stack_size, main, argument);
}

// In a fresh process: one thread is half-way through creating the global pool when another
// forks. The child must neither inherit the half-made pool nor deadlock on its creation.
int fork_during_creation() {
  setenv("RAYON_NUM_THREADS", "2", 1);
  set_global_thread_starter(&slow_starter);
  std::thread creator([] { global_pool(); });
  while (!creation_started.load()) std::this_thread::yield();
  const int child_status = test::run_in_forked_child(split_on_workers, 30);
  creator.join();
  if (child_status != 0) return 10 + child_status;
  return split_on_workers();
}

TEST(PoolForkDeathTest, ChildForkedDuringPoolCreationBuildsItsOwn) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(fork_during_creation()), ::testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
}  // namespace qelt
