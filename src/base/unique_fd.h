// The one owner of a descriptor: move-only, closes exactly once and never
// retries close. On Linux the descriptor is gone even when close reports
// EINTR, and a retry could close a number another thread has just reused.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "internal_failure.h"
#include "kept_texts.h"
#include "result.h"

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

// Moves `fd` to 3 or above (close-on-exec) when it sits on a standard
// descriptor, which happens only in a host started with one closed: no
// descriptor of ours may land where the host, or a child's set-up, later
// puts its own. On failure `fd` is left as it was.
inline Result<void> keep_above_stdio(UniqueFd& fd) noexcept {
  if (fd.get() >= 3) return Result<void>::success();
  const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
  if (moved < 0) return Errno::last();
  fd.reset(moved);
  return Result<void>::success();
}

}  // namespace morvik
