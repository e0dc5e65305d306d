// Errors as values: every fallible call returns either its result or the
// error it failed with. By default the error is an error number, read where
// errno was set; the session carries its own error type in the same shape.
#pragma once

#include <utility>
#include <variant>

#include "errno_code.h"

namespace morvik {

template <class T, class E = Errno>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(E err) : v_(std::in_place_index<1>, std::move(err)) {}      // NOLINT

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &std::get<0>(v_); }
  T& operator*() & { return std::get<0>(v_); }

  const E& error() const { return std::get<1>(v_); }
  E&& take_error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(E err) : err_(std::move(err)), failed_(true) {}  // NOLINT

  static Result success() { return {}; }
  bool ok() const noexcept { return !failed_; }
  explicit operator bool() const noexcept { return ok(); }
  const E& error() const { return err_; }
  E&& take_error() && { return std::move(err_); }

 private:
  E err_{};
  bool failed_ = false;
};

}  // namespace morvik
