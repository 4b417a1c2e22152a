// fork_join: runs two operations, possibly in parallel, and returns both results. The second is
// offered to idle workers while the current thread runs the first. Each operation receives the
// `stolen` flag: true when it does not run as the direct continuation of the forking thread.
// Any thread; on a thread outside the pool the whole call runs on a worker. May raise the
// operations' failures: the first operation's wins, and is raised only after the second ended.
#pragma once

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "pool/stack_job.h"
#include "pool/worker_pool.h"
#include "pool/worker_thread.h"

namespace qelt {

template <class A, class B>
using ForkJoinResult =
    std::pair<ValueOf<std::invoke_result_t<A&, bool>>, ValueOf<std::invoke_result_t<B&, bool>>>;

// On worker `worker`. `injected`: the call was injected from outside the pool, so both operations
// count as stolen.
template <class A, class B>
ForkJoinResult<A, B> fork_join_on_worker(WorkerThread& worker, A& a, B& b, bool injected) {
  // b's record lives in this frame, which is not left until b has finished or been taken back.
  StackJob<WorkerLatch, std::remove_reference_t<B>> job_b(b, worker.pool().sleep(), worker.index());
  const JobHandle handle_b = job_b.handle();
  worker.push(handle_b);

  std::optional<ValueOf<std::invoke_result_t<A&, bool>>> result_a;
  std::exception_ptr failure_a;
  try {
    result_a.emplace(call_for_value(a, injected));
  } catch (...) {
    failure_a = std::current_exception();
  }
  if (failure_a) {
    // b always runs to completion, whoever runs it; its outcome is dropped.
    worker.wait_until(job_b.latch());
    std::rethrow_exception(failure_a);
  }

  // Take b back unless another worker has it. Jobs pushed above it by a are run on the way.
  while (!job_b.latch().probe()) {
    std::optional<JobHandle> job = worker.take_local();
    if (!job) {
      worker.wait_until(job_b.latch());  // b was stolen: help elsewhere until it is done
      break;
    }
    if (*job == handle_b) {
      auto result_b = job_b.run_inline(injected);
      return {std::move(*result_a), std::move(result_b)};
    }
    job->run();
  }
  // b ran through its handle (stolen = true), here or on another worker.
  return {std::move(*result_a), job_b.into_result()};
}

// On `pool`: directly on a worker of it, else injected into it.
template <class A, class B>
ForkJoinResult<A, B> fork_join(WorkerPool& pool, A&& a, B&& b) {
  return pool.run_in_pool([&](WorkerThread& worker, bool injected) {
    return fork_join_on_worker(worker, a, b, injected);
  });
}

}  // namespace qelt
