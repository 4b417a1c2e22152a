// error_of: passes a failure up unchanged, as `return error_of(result);`, from a std::expected
// or from the std::optional error that take_error() gives.
// Any thread; moves the error out of its argument, which must hold one. Never fails.
#pragma once

#include <expected>
#include <optional>
#include <utility>

namespace qelt {

template <class T, class E>
std::unexpected<E> error_of(std::expected<T, E>& result) {
  return std::unexpected(std::move(result.error()));
}

template <class E>
std::unexpected<E> error_of(std::optional<E>& error) {
  return std::unexpected(std::move(*error));
}

}  // namespace qelt
