// The input path to the child: one descriptor of the pseudo-terminal master,
// and a call that hands one input to it whole, or fails and keeps nothing.
//
// Nothing outlives a call. An input that could not be written in full is
// dropped with the call that failed: bytes left over for "later" would reach
// the program ahead of the next input, so a retried line would arrive twice
// and a Ctrl-C that failed would interrupt some later command.
//
// The descriptor is non-blocking. A child that never reads its input would
// otherwise hold the caller in write() forever, with the interpreter lock
// held; instead a write that makes no progress for WRITE_STALL_LIMIT fails
// with EAGAIN's text.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "base/result.h"
#include "base/unique_fd.h"

namespace morvik::session {

// Inputs up to this size go out as one buffered block, larger ones are
// written straight through; the two report failures in different words.
inline constexpr std::size_t WRITER_BUFFER_BYTES = 8192;
inline constexpr std::chrono::milliseconds WRITE_STALL_LIMIT{5000};

struct WriteFailure {
  bool flushing;     // the input was a buffered block ("flush failed: ")
  std::string text;  // the OS message + " (os error N)", or a fixed text
};

class InputWriter {
 public:
  explicit InputWriter(UniqueFd fd, std::chrono::milliseconds stall_limit = WRITE_STALL_LIMIT) noexcept
      : fd_(std::move(fd)), stall_limit_(stall_limit) {}
  // Writes to a descriptor its owner keeps open for as long as this may
  // write, and closes itself: this never closes it, also not in a forked
  // copy of the host.
  static InputWriter borrowing(int fd, std::chrono::milliseconds stall_limit = WRITE_STALL_LIMIT) noexcept {
    InputWriter w(UniqueFd(fd), stall_limit);
    w.borrowed_ = true;
    return w;
  }
  InputWriter(InputWriter&&) noexcept = default;
  InputWriter& operator=(InputWriter&&) = delete;
  ~InputWriter() {
    if (borrowed_) (void)fd_.release();
  }

  // Every byte of `data` has been handed to the descriptor when this
  // succeeds. On failure a leading part may have been delivered; the rest is
  // discarded.
  Result<void, WriteFailure> write_all(std::string_view data);

  int fd() const noexcept { return fd_.get(); }
  // Closes the descriptor now (lets go of a borrowed one).
  void close() noexcept {
    if (borrowed_) {
      (void)fd_.release();
    } else {
      fd_.reset();
    }
  }
  // Lets go of the descriptor without closing it (see Session's fork handling).
  void forget_descriptor() noexcept { (void)fd_.release(); }
  // In a forked copy of the host, inside fork(): closes the copy's
  // duplicate while its number is certainly ours (a borrowed one is its
  // owner's to close), and lets it go.
  void close_in_forked_child() noexcept {
    if (fd_.valid() && !borrowed_) (void)::close(fd_.release());
    (void)fd_.release();
  }

 private:
  // One write(2) of what it can take, waiting up to `until` for room.
  // Returns the count written, or -1 with errno set.
  ssize_t write_some(const char* p, std::size_t n, std::chrono::steady_clock::time_point until);

  UniqueFd fd_;
  std::chrono::milliseconds stall_limit_;
  bool borrowed_ = false;
};

}  // namespace morvik::session
