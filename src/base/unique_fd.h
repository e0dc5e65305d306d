// The one owner of a descriptor: move-only, closes exactly once and never
// retries close. On Linux the descriptor is gone even when close reports
// EINTR, and a retry could close a number another thread has just reused.
#pragma once

#include <unistd.h>

#include <cerrno>

#include "internal_failure.h"
#include "kept_texts.h"

namespace morvik {

class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  [[nodiscard]] int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor held so far, if any, and takes `fd`. EBADF means
  // someone else closed ours, and its number may already belong to another
  // file: a broken ownership rule, reported when the call ends.
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0 && ::close(fd_) != 0 && errno == EBADF) {
      defer_internal_failure(kept::STALE_DESCRIPTOR);
    }
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace morvik
