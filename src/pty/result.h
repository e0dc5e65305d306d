// Errors as values for the PTY layer: every fallible call returns either its
// result or the error number it failed with, read where errno was set.
#pragma once

#include <utility>
#include <variant>

#include "errno_code.h"

namespace morvik::pty {

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(Errno err) : v_(std::in_place_index<1>, err) {}             // NOLINT

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &std::get<0>(v_); }
  T& operator*() & { return std::get<0>(v_); }

  Errno error() const { return std::get<1>(v_); }

 private:
  std::variant<T, Errno> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Errno err) : err_(err), failed_(true) {}  // NOLINT

  static Result success() { return {}; }
  bool ok() const noexcept { return !failed_; }
  explicit operator bool() const noexcept { return ok(); }
  Errno error() const { return err_; }

 private:
  Errno err_{};
  bool failed_ = false;
};

}  // namespace morvik::pty
