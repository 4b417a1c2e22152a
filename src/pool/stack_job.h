// StackJob: a job record that lives in the frame of the thread that creates it, holding the
// operation (taken exactly once), its outcome and its completion signal. The creator stays in
// the frame until the signal is set or it has run the operation itself, so no job is allocated.
// Run through its handle by whichever thread takes it; its creator reads the outcome afterwards.
// A failure of the operation is carried in the outcome; a failure of this machinery aborts.
#pragma once

#include <exception>
#include <functional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "pool/job_handle.h"
#include "runtime/panic.h"
#include "runtime/interface_strings.h"

namespace qelt {

inline constexpr std::string_view UNEXPECTED_POOL_FAILURE =
    interface_strings::UNEXPECTED_POOL_FAILURE;

// The value of an operation that returns nothing.
struct Unit {};
template <class T>
using ValueOf = std::conditional_t<std::is_void_v<T>, Unit, T>;

template <class F, class... Args>
ValueOf<std::invoke_result_t<F&, Args...>> call_for_value(F& f, Args&&... args) {
  if constexpr (std::is_void_v<std::invoke_result_t<F&, Args...>>) {
    std::invoke(f, std::forward<Args>(args)...);
    return Unit{};
  } else {
    return std::invoke(f, std::forward<Args>(args)...);
  }
}

// Fields: `operation_` is taken by the one thread that runs the job; `outcome_` is written by
// that thread before it sets `latch_`, and read by the creator only after the latch is set
// (the latch's release and acquire order the two). Latch is WorkerLatch, whose static set()
// tolerates the record vanishing, or BlockingLatchRef.
template <class Latch, class F>
class StackJob {
 public:
  using Value = ValueOf<std::invoke_result_t<F&, bool>>;

  template <class... LatchArgs>
  explicit StackJob(F& operation, LatchArgs&&... latch_args)
      : operation_(&operation), latch_(std::forward<LatchArgs>(latch_args)...) {}
  StackJob(const StackJob&) = delete;
  StackJob& operator=(const StackJob&) = delete;

  JobHandle handle() noexcept { return JobHandle{&execute, this}; }
  Latch& latch() noexcept { return latch_; }

  // Runs the operation on the creating thread; its failure propagates from here.
  Value run_inline(bool stolen) { return call_for_value(take_operation(), stolen); }

  // The outcome once the latch is set: the value, or the operation's failure raised again.
  Value into_result() {
    if (Value* value = std::get_if<Value>(&outcome_)) return std::move(*value);
    if (std::exception_ptr* failure = std::get_if<std::exception_ptr>(&outcome_)) {
      std::rethrow_exception(*failure);
    }
    panic("internal error: entered unreachable code");
  }

 private:
  F& take_operation() {
    F* operation = std::exchange(operation_, nullptr);
    if (operation == nullptr) panic("called `Option::unwrap()` on a `None` value");
    return *operation;
  }

  // Runs the job through its handle: on another worker after a steal, or on the creator while
  // it waits; either way the operation sees stolen = true.
  static void execute(void* record) noexcept {
    auto* job = static_cast<StackJob*>(record);
    try {
      F& operation = job->take_operation();
      try {
        job->outcome_.template emplace<1>(call_for_value(operation, true));
      } catch (...) {
        job->outcome_.template emplace<2>(std::current_exception());
      }
      Latch::set(job->latch_);  // *job may be gone from here on
    } catch (...) {
      abort_with_text(UNEXPECTED_POOL_FAILURE);
    }
  }

  F* operation_;
  std::variant<std::monostate, Value, std::exception_ptr> outcome_;
  Latch latch_;
};

}  // namespace qelt
