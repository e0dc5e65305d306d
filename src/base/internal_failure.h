// Internal failures: faults inside the module that no caller can act on (a
// broken invariant, a status word the kernel cannot produce, a descriptor
// closed behind its owner's back). They travel as one C++ exception type up to the binding layer,
// which turns them into the interpreter's PanicException. Nothing here knows
// about Python.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <utility>

namespace morvik {

class InternalFailure : public std::exception {
 public:
  explicit InternalFailure(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

[[noreturn]] inline void internal_failure(std::string message) {
  throw InternalFailure(std::move(message));
}

// Destructors cannot throw, yet a release can meet a fault that must still
// reach the caller (a stop sequence that failed). Such faults are parked on
// the calling thread; the binding layer collects them when its call ends.
void defer_internal_failure(std::string message) noexcept;
std::optional<std::string> take_deferred_internal_failure() noexcept;

}  // namespace morvik
