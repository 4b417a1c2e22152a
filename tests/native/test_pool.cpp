// The worker pool: running jobs from inside and outside, carrying failures back, many submitters
// at once, sleeping when idle, and creation (private pools, and the global pool in a fresh
// process for what depends on the process).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "os/system_error.h"
#include "pool/global_pool.h"
#include "pool/latch.h"
#include "pool/parallel_split.h"
#include "pool/worker_pool.h"
#include "test_pool_support.h"

namespace qelt {
namespace {

#if defined(__SANITIZE_THREAD__)
constexpr int STRESS_ROUNDS = 300;
#else
constexpr int STRESS_ROUNDS = 3000;
#endif

std::unique_ptr<WorkerPool> make_pool(std::size_t workers) {
  auto created = WorkerPool::create(workers);
  if (!created) ADD_FAILURE() << "pool creation failed with error " << created.error();
  return std::move(*created);
}

struct LeafFailure {
  std::size_t start;
};

TEST(WorkerPool, RunsPostedWorkOnAWorkerAndNestedWorkInline) {
  auto pool = make_pool(2);
  const std::thread::id caller = std::this_thread::get_id();
  auto [outer_injected, inner_injected, same_worker, on_other_thread] =
      pool->run_in_pool([&](WorkerThread& worker, bool injected) {
        auto [nested_injected, nested_worker] = pool->run_in_pool(
            [](WorkerThread& inner, bool nested) { return std::make_pair(nested, &inner); });
        return std::make_tuple(injected, nested_injected, nested_worker == &worker,
                               std::this_thread::get_id() != caller);
      });
  EXPECT_TRUE(outer_injected);
  EXPECT_FALSE(inner_injected);
  EXPECT_TRUE(same_worker);
  EXPECT_TRUE(on_other_thread);
}

TEST(WorkerPool, CarriesAFailureBackUnchangedAndKeepsWorking) {
  auto pool = make_pool(3);
  try {
    pool->run_in_pool([](WorkerThread&, bool) { throw LeafFailure{42}; });
    FAIL() << "no failure came back";
  } catch (const LeafFailure& failure) {
    EXPECT_EQ(failure.start, 42u);
  }
  try {
    pool->run_in_pool([](WorkerThread&, bool) -> int { throw Panic("broken piece"); });
    FAIL() << "no failure came back";
  } catch (const Panic& failure) {
    EXPECT_EQ(failure.message(), "broken piece");
  }
  EXPECT_EQ(pool->run_in_pool([](WorkerThread&, bool) { return 7; }), 7);
}

// Several outside threads submit at once, many times; every piece of every call is done exactly
// once and every call returns.
TEST(WorkerPool, ServesManySubmittersAtOnce) {
  for (std::size_t workers : {1u, 3u}) {
    auto pool = make_pool(workers);
    std::vector<std::thread> submitters;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
      submitters.emplace_back([&, t] {
        for (int round = 0; round < STRESS_ROUNDS; ++round) {
          const std::size_t len = 1 + static_cast<std::size_t>((round * 7 + t) % 64);
          std::atomic<std::size_t> sum{0};
          parallel_split(*pool, len, 1, [&](std::size_t start, std::size_t end) {
            std::size_t local = 0;
            for (std::size_t i = start; i < end; ++i) local += i + 1;
            sum.fetch_add(local, std::memory_order_relaxed);
          });
          if (sum.load() != len * (len + 1) / 2) wrong.fetch_add(1);
        }
      });
    }
    for (std::thread& submitter : submitters) submitter.join();
    EXPECT_EQ(wrong.load(), 0) << workers << " workers";
  }
}

double process_cpu_seconds() {
  timespec now;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// After a burst the workers spin briefly and then sleep: the process then burns (almost) no CPU.
// A spinning pool of 4 workers would burn a second or more in the measured half second.
TEST(WorkerPool, IdleWorkersSleepAfterABurst) {
  auto pool = make_pool(4);
  for (int round = 0; round < 200; ++round) {
    parallel_split(*pool, 4096, 1, [](std::size_t start, std::size_t end) {
      volatile std::size_t sink = 0;
      for (std::size_t i = start; i < end; ++i) sink = sink + i;
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const double before = process_cpu_seconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_LT(process_cpu_seconds() - before, 0.1);
}

// The waiter of a BlockingLatch returns once per set, after the setter's writes, whether the set
// comes before the wait, while the waiter polls, just as it gives up polling, or while it sleeps;
// a set of an earlier round never ends a later wait. The parameter bounds the setter's delays;
// a third of the rounds, mixed in at random, set before the wait begins.
class BlockingLatchTiming : public ::testing::TestWithParam<int> {};

TEST_P(BlockingLatchTiming, ReturnsOncePerSetAndSeesTheSettersWrites) {
  constexpr int ROUNDS = 400;
  constexpr int SET_FIRST = -1;
  std::mt19937 rng(static_cast<unsigned>(GetParam()));
  std::vector<int> delay_us(ROUNDS + 1);
  for (int& delay : delay_us) {
    delay = rng() % 3 == 0 ? SET_FIRST : static_cast<int>(rng() % (GetParam() + 1));
  }
  BlockingLatch latch;
  std::atomic<int> go{0}, done{0};
  int payload = 0;  // written by the setter before set, read by the waiter after its wait
  std::thread setter([&] {
    for (int round = 1; round <= ROUNDS; ++round) {
      while (go.load(std::memory_order_acquire) != round) std::this_thread::yield();
      const auto until = std::chrono::steady_clock::now() +
                         std::chrono::microseconds(std::max(delay_us[round], 0));
      while (std::chrono::steady_clock::now() < until) {
      }
      payload = round;
      latch.set();
      done.store(round, std::memory_order_release);
    }
  });
  int wrong = 0;
  for (int round = 1; round <= ROUNDS; ++round) {
    go.store(round, std::memory_order_release);
    if (delay_us[round] == SET_FIRST) {
      while (done.load(std::memory_order_acquire) != round) std::this_thread::yield();
    }
    latch.wait_and_reset();
    if (payload != round) ++wrong;
  }
  setter.join();
  EXPECT_EQ(wrong, 0);
}

INSTANTIATE_TEST_SUITE_P(Delays, BlockingLatchTiming, ::testing::Values(0, 20, 200, 2000));

std::atomic<int> starts_before_failure{0};
std::atomic<int> start_attempts{0};
std::atomic<int> threads_ended{0};

// A started thread's main function and argument, so that its end can be counted.
struct StartedThread {
  void* (*main)(void*);
  void* argument;
};
std::array<StartedThread, 16> started_threads;
std::atomic<std::size_t> threads_started{0};

void* counting_main(void* slot) {
  auto* started = static_cast<StartedThread*>(slot);
  started->main(started->argument);
  threads_ended.fetch_add(1);
  return nullptr;
}

// A failed thread start as the system reports it, and its rendering in the pool's error: an
// error number on Linux, a system error code on Windows, whose texts vary with the system's
// version and language (the report quotes them as they are, on one line).
#ifdef _WIN32
constexpr int START_FAILURE = 8;  // ERROR_NOT_ENOUGH_MEMORY
constexpr int DENIED = 5;         // ERROR_ACCESS_DENIED
const std::string START_FAILURE_TEXT =
    "Os { code: 8, kind: OutOfMemory, message: \"" + os::error_message(8) + "\" }";
const std::string DENIED_TEXT =
    "Os { code: 5, kind: PermissionDenied, message: \"" + os::error_message(5) + "\" }";
#else
constexpr int START_FAILURE = EAGAIN;
constexpr int DENIED = EPERM;
const std::string START_FAILURE_TEXT =
    "Os { code: 11, kind: WouldBlock, message: \"Resource temporarily unavailable\" }";
const std::string DENIED_TEXT =
    "Os { code: 1, kind: PermissionDenied, message: \"Operation not permitted\" }";
#endif

// Starts threads until starts_before_failure is used up, then fails with START_FAILURE.
int failing_starter(std::size_t stack_size, os::ThreadMain main, void* argument) {
  start_attempts.fetch_add(1);
  if (starts_before_failure.fetch_sub(1) <= 0) return START_FAILURE;
  StartedThread& started = started_threads.at(threads_started.fetch_add(1));
  started = StartedThread{main, argument};
  return os::start_detached_thread(stack_size, &counting_main, &started);
}

TEST(WorkerPool, CreationFailureEndsTheWorkersAlreadyStarted) {
  starts_before_failure = 2;
  start_attempts = 0;
  threads_ended = 0;
  threads_started = 0;
  auto created = WorkerPool::create(5, &failing_starter);
  ASSERT_FALSE(created.has_value());
  EXPECT_EQ(created.error(), START_FAILURE);
  EXPECT_EQ(start_attempts.load(), 3);  // threads 0 and 1 started, thread 2 failed
  for (int i = 0; i < 2000 && threads_ended.load() < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(threads_ended.load(), 2);
  EXPECT_EQ(WorkerPool::create(0).error(), EINVAL);
}

TEST(PoolBuildError, RendersTheOperatingSystemError) {
  EXPECT_EQ(describe_pool_build_error(START_FAILURE),
            std::string("ThreadPoolBuildError { kind: IOError(") + START_FAILURE_TEXT + ") }");
  EXPECT_EQ(describe_pool_build_error(DENIED),
            std::string("ThreadPoolBuildError { kind: IOError(") + DENIED_TEXT + ") }");
  EXPECT_EQ(START_FAILURE_TEXT.find_first_of("\r\n"), std::string::npos);
}

// What depends on the process runs in a fresh one: these bodies run in a death-test child and
// report through their exit code.
int global_creation_failure_then_already_initialized() {
  test::set_environment("RAYON_NUM_THREADS", "4");
  starts_before_failure = 1;
  start_attempts = 0;
  set_global_thread_starter(&failing_starter);
  const std::string first_expected =
      std::string(
          "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: "
          "IOError(") +
      START_FAILURE_TEXT + ") }";
  const std::string later_expected =
      "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: "
      "GlobalPoolAlreadyInitialized }";
  auto message_of_failed_call = [](auto call) -> std::string {
    try {
      call();
    } catch (const Panic& failure) {
      return failure.message();
    }
    return "(no failure)";
  };
  auto split = [] { parallel_split(100, 1, [](std::size_t, std::size_t) {}); };
  if (message_of_failed_call(split) != first_expected) return 1;
  if (start_attempts.load() != 2) return 2;
  if (message_of_failed_call(split) != later_expected) return 3;
  if (message_of_failed_call([] { worker_count(); }) != later_expected) return 4;
  if (start_attempts.load() != 2) return 5;  // no creation is tried again
  return 0;
}

int counting_starter(std::size_t stack_size, os::ThreadMain main, void* argument) {
  start_attempts.fetch_add(1);
  return os::start_detached_thread(stack_size, main, argument);
}

int global_pool_reads_the_environment_once() {
  test::set_environment("RAYON_NUM_THREADS", "3");
  start_attempts = 0;
  set_global_thread_starter(&counting_starter);
  std::atomic<std::size_t> covered{0};
  auto split = [&] {
    parallel_split(1000, 1, [&](std::size_t start, std::size_t end) { covered += end - start; });
  };
  split();
  if (worker_count() != 3) return 1;
  if (start_attempts.load() != 3) return 2;
  test::set_environment("RAYON_NUM_THREADS", "5");
  split();
  if (worker_count() != 3 || start_attempts.load() != 3) return 3;
  if (&global_pool() != &global_pool()) return 4;
  return covered.load() == 2000 ? 0 : 5;
}

TEST(GlobalPoolDeathTest, CreationFailureThenAlreadyInitialized) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(global_creation_failure_then_already_initialized()),
              ::testing::ExitedWithCode(0), "GlobalPoolAlreadyInitialized");
}

TEST(GlobalPoolDeathTest, IsCreatedOnceWithTheEnvironmentOfThatMoment) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(global_pool_reads_the_environment_once()), ::testing::ExitedWithCode(0),
              "");
}

// A job record executed twice finds its operation already taken, which only a fault of the
// pool's machinery could cause.
void run_a_job_twice() {
  auto operation = [](bool) {};
  StackJob<BlockingLatchRef, decltype(operation)> job(operation, BlockingLatchRef{nullptr});
  const JobHandle handle = job.handle();
  job.run_inline(false);
  handle.run();
}

TEST(GlobalPoolDeathTest, AFailureEscapingThePoolMachineryAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(run_a_job_twice(), "Rayon: detected unexpected panic; aborting");
}

}  // namespace
}  // namespace qelt
