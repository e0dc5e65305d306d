// The wait of a thread that holds the reader's turn (reader_thread.h) and
// reads the terminal itself, for both faces. A signal must not end it early
// (the caller would take it for the time running out, or for output), and
// the time left is taken afresh after one: a wait never outlives its end.
#pragma once

#include <poll.h>

#include <cerrno>
#include <chrono>
#include <ctime>

namespace morvik::session {

// Until one of `fds` is ready or `until` passes; what ppoll returned (0:
// the time passed). `until` at the clock's end waits without a limit.
inline int poll_until(pollfd* fds, nfds_t count, std::chrono::steady_clock::time_point until) {
  using Clock = std::chrono::steady_clock;
  for (;;) {
    timespec ts{};
    const timespec* limit = nullptr;
    if (until != Clock::time_point::max()) {
      const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - Clock::now()).count();
      if (left <= 0) return 0;
      ts = {static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
      limit = &ts;
    }
    const int ready = ::ppoll(fds, count, limit, nullptr);
    if (ready < 0 && errno == EINTR) continue;
    return ready;
  }
}

}  // namespace morvik::session
