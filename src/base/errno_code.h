// The error value of every layer: a Linux errno number from a fixed table,
// with a stable text form ("ENOENT: No such file or directory") that callers
// put into user-visible messages. The table, not the C library's strerror, is
// what counts, so the texts do not change with the libc the module is built
// on. Also the two texts that quote the operating system's own wording.
#pragma once

#include <cerrno>
#include <string>

namespace morvik {

class Errno {
 public:
  constexpr Errno() noexcept = default;

  // Numbers outside the table (and 41, 58, which Linux leaves undefined)
  // collapse to 0, "UnknownErrno".
  static Errno from_raw(int value) noexcept;
  // The calling thread's errno; call it on the line right after the failure.
  static Errno last() noexcept { return from_raw(errno); }

  constexpr int value() const noexcept { return value_; }
  const char* name() const noexcept;
  const char* description() const noexcept;
  // name + ": " + description
  std::string text() const;

  friend constexpr bool operator==(Errno a, Errno b) noexcept { return a.value_ == b.value_; }

 private:
  constexpr explicit Errno(int v) noexcept : value_(v) {}
  int value_ = 0;
};

// The system's own description of an error number (strerror's text), for
// the messages that quote the operating system rather than the table.
std::string os_message(int errnum);
// os_message + " (os error N)".
std::string os_error_text(int errnum);

}  // namespace morvik
