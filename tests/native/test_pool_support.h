// Shared by the pool's native tests: a watchdog that ends a hanging test binary with a message
// instead of stalling CI, and running a body in a forked child under a timeout.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace qelt::test {

// Each test gets WATCHDOG_SECONDS; past that the process writes the test's name and exits 124.
inline constexpr int WATCHDOG_SECONDS = 120;

class Watchdog final : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo& info) override {
    State& state = this->state();
    std::lock_guard lock(state.mutex);
    state.name = std::string(info.test_suite_name()) + "." + info.name();
    state.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(WATCHDOG_SECONDS);
    state.armed = true;
    state.changed.notify_all();
  }
  void OnTestEnd(const ::testing::TestInfo&) override {
    State& state = this->state();
    std::lock_guard lock(state.mutex);
    state.armed = false;
    state.changed.notify_all();
  }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    bool armed = false;
    std::chrono::steady_clock::time_point deadline;
    std::string name;
  };

  // Never destroyed, so that the detached watchdog thread may outlive static destruction.
  static State& state() {
    static State* state = [] {
      auto* created = new State;
      std::thread([created] { watch(*created); }).detach();
      return created;
    }();
    return *state;
  }

  [[noreturn]] static void watch(State& state) {
    std::unique_lock lock(state.mutex);
    while (true) {
      if (!state.armed) {
        state.changed.wait(lock);
      } else if (state.changed.wait_until(lock, state.deadline) == std::cv_status::timeout &&
                 state.armed && std::chrono::steady_clock::now() >= state.deadline) {
        std::string message = "watchdog: " + state.name + " did not finish in " +
                              std::to_string(WATCHDOG_SECONDS) + " s\n";
        std::fputs(message.c_str(), stderr);
        std::fflush(stderr);
        _exit(124);
      }
    }
  }
};

inline const bool WATCHDOG_INSTALLED = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new Watchdog);
  return true;
}();

// Sets environment variable `name` for the rest of the process.
inline void set_environment(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value);
#else
  setenv(name, value, 1);
#endif
}

#ifndef _WIN32
// Runs body() in a child made by fork(); returns the child's exit code, or -1 if it was killed
// by a signal or did not exit within `seconds` (it is then killed).
inline int run_in_forked_child(const std::function<int()>& body, int seconds = 60) {
  const pid_t child = fork();
  if (child == 0) _exit(body());
  if (child < 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

}  // namespace qelt::test
