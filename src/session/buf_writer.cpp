// Input path to the child. Runs on the caller's thread with the interpreter
// lock held; a write blocks only while the terminal's input queue is full.
#include "buf_writer.h"

#include <algorithm>

#include <poll.h>

#include <cerrno>
#include <cstring>

namespace morvik::session {

std::string os_error_text(int errnum) {
  char buf[256];
  // GNU strerror_r: returns a pointer that may or may not be `buf`.
  const char* msg = ::strerror_r(errnum, buf, sizeof buf);
  return std::string(msg) + " (os error " + std::to_string(errnum) + ")";
}

BufWriter::BufWriter(pty::UniqueFd fd, std::chrono::milliseconds stall_limit)
    : fd_(std::move(fd)), stall_limit_(stall_limit) {
  buf_.reserve(WRITER_BUFFER_BYTES);
}

BufWriter::~BufWriter() {
  // Last chance for buffered bytes, but never a wait: the child is gone.
  stall_limit_ = std::chrono::milliseconds::zero();
  if (fd_.valid() && !buf_.empty()) (void)flush();
}

ssize_t BufWriter::write_some(const char* p, std::size_t n) {
  const auto until = std::chrono::steady_clock::now() + stall_limit_;
  for (;;) {
    const ssize_t w = ::write(fd_.get(), p, n);
    if (w >= 0) return w;
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      errno = EAGAIN;
      return -1;
    }
    pollfd pfd{fd_.get(), POLLOUT, 0};
    if (::poll(&pfd, 1, static_cast<int>(std::min<long long>(left.count(), 1 << 30))) < 0 &&
        errno != EINTR) {
      return -1;
    }
  }
}

Expected<void> BufWriter::write_all(const char* p, std::size_t n, const char* zero_text) {
  while (n > 0) {
    const ssize_t w = write_some(p, n);
    if (w < 0) {
      const int e = errno;
      return runtime_error(os_error_text(e));
    }
    if (w == 0) return runtime_error(zero_text);
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return {};
}

Expected<void> BufWriter::flush() {
  // Progress is kept even on failure: what was written is dropped from the
  // buffer, the rest goes out ahead of the next write.
  std::size_t done = 0;
  Expected<void> result;
  while (done < buf_.size()) {
    const ssize_t w = write_some(buf_.data() + done, buf_.size() - done);
    if (w < 0) {
      const int e = errno;
      result = runtime_error(os_error_text(e));
      break;
    }
    if (w == 0) {
      result = runtime_error("failed to write the buffered data");
      break;
    }
    done += static_cast<std::size_t>(w);
  }
  buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(done));
  return result;
}

Expected<void> BufWriter::write(std::string_view data) {
  if (data.size() <= WRITER_BUFFER_BYTES - buf_.size()) {
    buf_.insert(buf_.end(), data.begin(), data.end());
    return {};
  }
  if (!buf_.empty()) {
    if (auto r = flush(); !r) return r;
  }
  if (data.size() < WRITER_BUFFER_BYTES) {
    buf_.insert(buf_.end(), data.begin(), data.end());
    return {};
  }
  return write_all(data.data(), data.size(), "failed to write whole buffer");
}

}  // namespace morvik::session
