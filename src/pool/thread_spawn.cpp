// The rendering of a failed thread start in the pool's creation error.
#include "pool/thread_spawn.h"

#include <string_view>

#include "os/system_error.h"

namespace qelt {
namespace {

// A string as a debug rendering quotes it.
std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

}  // namespace

std::string describe_pool_build_error(int os_error) {
  return "ThreadPoolBuildError { kind: IOError(Os { code: " + std::to_string(os_error) +
         ", kind: " + os::error_kind_name(os_error) + ", message: " +
         quoted(os::error_message(os_error)) + " }) }";
}

}  // namespace qelt
