// sample_topp's body.
#include "module/sample_topp_body.h"

#include <cstring>
#include <span>
#include <vector>

#include "module/error_of.h"
#include "pyapi/interpreter_lock.h"
#include "pyapi/must_succeed.h"
#include "runtime/interface_strings.h"
#include "sample/first_argmax.h"
#include "sample/sampler.h"

namespace qelt {

PyResult sample_topp_body(const ArrayBorrow& logits, float temperature, float top_p,
                          std::uint64_t top_k, std::uint64_t seed) {
  // Conversion hooks have all run by now; logits whose layout they changed are refused before
  // any of their memory is read.
  if (auto same = check_unchanged(logits, "logits"); !same) {
    return error_of(same);
  }
  const ArrayLayout& f = logits.layout();
  const auto count = static_cast<std::size_t>(f.dimensions()[0]);
  if (count == 0)
    return std::unexpected(
        PendingError::with_message(PyExc_ValueError, std::string(interface_strings::EMPTY_LOGITS)));
  const Py_ssize_t stride = f.strides()[0];
  // Arg-max reads the caller's buffer in place, through the byte stride, with the lock held so
  // that no Python thread can write it meanwhile: one scan costs less than a copy would, and
  // the result is the same.
  if (sample_route(temperature) == SampleRoute::ARGMAX) {
    const auto* data = reinterpret_cast<const std::byte*>(f.data());
    return must_succeed(PyLong_FromUnsignedLongLong(first_argmax_strided(data, count, stride)));
  }
  // Otherwise the copy is made in logical order, through the byte stride, while the lock is
  // held, and the sampler runs on the copy with the lock released.
  std::vector<float> copy(count);
  if (stride == static_cast<Py_ssize_t>(sizeof(float))) {
    std::memcpy(copy.data(), f.data(), count * sizeof(float));
  } else {
    for (std::size_t i = 0; i < count; ++i) {
      std::memcpy(&copy[i], f.data() + static_cast<Py_ssize_t>(i) * stride, sizeof(float));
    }
  }
  std::uint64_t token = 0;
  {
    ReleasedInterpreterLock unlocked;
    token = sample_token(copy, temperature, top_p, top_k, seed);
  }
  return must_succeed(PyLong_FromUnsignedLongLong(token));
}

}  // namespace qelt
