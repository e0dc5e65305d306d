// A value or an error, for session operations whose failures the caller sees
// as ordinary exceptions. Faults that are the module's own go through
// InternalFailure instead.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace morvik::session {

// The exception class a failure reaches Python as.
enum class ErrorKind {
  Exception,     // start-up failures: the built-in Exception itself
  RuntimeError,  // input, status and poisoned-lock failures
};

struct Error {
  ErrorKind kind;
  std::string message;
};

template <class T>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  Expected(Error err) : v_(std::in_place_index<1>, std::move(err)) {}  // NOLINT

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  T& value() & { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &std::get<0>(v_); }
  const Error& error() const { return std::get<1>(v_); }
  Error&& take_error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Expected<void> {
 public:
  Expected() = default;
  Expected(Error err) : err_(std::move(err)), failed_(true) {}  // NOLINT
  bool ok() const noexcept { return !failed_; }
  explicit operator bool() const noexcept { return ok(); }
  const Error& error() const { return err_; }
  Error&& take_error() && { return std::move(err_); }

 private:
  Error err_{ErrorKind::RuntimeError, {}};
  bool failed_ = false;
};

inline Error runtime_error(std::string message) { return {ErrorKind::RuntimeError, std::move(message)}; }
inline Error startup_error(std::string message) { return {ErrorKind::Exception, std::move(message)}; }

}  // namespace morvik::session
