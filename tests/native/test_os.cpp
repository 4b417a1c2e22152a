// The operating-system layer: starting threads with a stack size, and the thread label that the
// fatal-error report takes from it.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

#include <cstddef>
#include <future>
#include <string>
#include <thread>

#include "os/thread_start.h"
#include "runtime/panic.h"
#include "test_pool_support.h"

namespace qelt {
namespace {

struct StackProbe {
  std::promise<std::size_t> stack_size;
};

// The calling thread's stack: its reserved range on Windows, its attribute elsewhere.
std::size_t own_stack_size() {
#ifdef _WIN32
  ULONG_PTR low = 0, high = 0;
  GetCurrentThreadStackLimits(&low, &high);
  return static_cast<std::size_t>(high - low);
#else
  pthread_attr_t attributes;
  std::size_t size = 0;
  if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
    pthread_attr_getstacksize(&attributes, &size);
    pthread_attr_destroy(&attributes);
  }
  return size;
#endif
}

void name_own_thread(const char* name) {
#ifdef _WIN32
  std::wstring wide(name, name + std::char_traits<char>::length(name));
  SetThreadDescription(GetCurrentThread(), wide.c_str());
#else
  pthread_setname_np(pthread_self(), name);
#endif
}

void* report_own_stack(void* argument) {
  static_cast<StackProbe*>(argument)->stack_size.set_value(own_stack_size());
  return nullptr;
}

struct StackCase {
  std::size_t asked;
  std::size_t at_least;  // the system may round a size that is not whole pages down a little
};

class ThreadStart : public ::testing::TestWithParam<StackCase> {};

TEST_P(ThreadStart, GivesTheThreadTheStackAsked) {
  StackProbe probe;
  std::future<std::size_t> reported = probe.stack_size.get_future();
  ASSERT_EQ(os::start_detached_thread(GetParam().asked, &report_own_stack, &probe), 0);
  EXPECT_GE(reported.get(), GetParam().at_least);
}

// 1 byte is below every system's minimum; 32 MiB + 1 is above the usual default stack (so an
// ignored size shows) and not whole pages.
constexpr std::size_t MIB = 1024 * 1024;
INSTANTIATE_TEST_SUITE_P(Sizes, ThreadStart,
                         ::testing::Values(StackCase{1, 1}, StackCase{32 * MIB + 1, 32 * MIB}));

// The first line of the report written by a panic on the calling thread.
std::string report_header() {
  ::testing::internal::CaptureStderr();
  report_panic("failure", std::source_location::current());
  const std::string report = ::testing::internal::GetCapturedStderr();
  return report.substr(0, report.find(" panicked"));
}

TEST(PanicReport, NamesTheThread) {
  EXPECT_EQ(report_header(), "thread 'main'");
  std::string unnamed, named;
  std::thread([&] {
    unnamed = report_header();
    name_own_thread("qelt-probe");
    named = report_header();
  }).join();
  EXPECT_EQ(unnamed, "thread '<unnamed>'");
  EXPECT_EQ(named, "thread 'qelt-probe'");
}

}  // namespace
}  // namespace qelt
