// Input path to the child. Runs on the caller's thread with the interpreter
// lock held; a write waits only while the terminal's input queue is full,
// and never longer than the stall limit without progress.
#include "input_writer.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "base/eintr.h"
#include "base/errno_code.h"
#include "base/kept_texts.h"

namespace morvik::session {

ssize_t InputWriter::write_some(const char* p, std::size_t n, std::chrono::steady_clock::time_point until) {
  for (;;) {
    const ssize_t w = retry_on_eintr([&] { return ::write(fd_.get(), p, n); });
    if (w >= 0 || errno != EAGAIN) return w;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      errno = EAGAIN;
      return -1;
    }
    pollfd pfd{fd_.get(), POLLOUT, 0};
    const int timeout = static_cast<int>(std::min<long long>(left.count(), 1 << 30));
    // An interrupted poll goes round again with the time left: retried
    // blindly with the same timeout, a timer firing more often than it
    // would hold the write past its stall limit forever.
    if (::poll(&pfd, 1, timeout) < 0 && errno != EINTR) return -1;
  }
}

Result<void, WriteFailure> InputWriter::write_all(std::string_view data) {
  const bool flushing = data.size() <= WRITER_BUFFER_BYTES;
  const char* p = data.data();
  std::size_t n = data.size();
  while (n > 0) {
    // The stall limit counts from the last progress, not from the start: a
    // slow reader that keeps taking input never makes a long write fail.
    const ssize_t w = write_some(p, n, std::chrono::steady_clock::now() + stall_limit_);
    if (w < 0) return WriteFailure{flushing, os_error_text(errno)};
    if (w == 0) {
      return WriteFailure{flushing, flushing ? kept::BUFFERED_WRITE_STALLED : kept::DIRECT_WRITE_STALLED};
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return {};
}

}  // namespace morvik::session
