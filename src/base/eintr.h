// The one retry of a system call that a signal handler interrupted.
#pragma once

#include <cerrno>

namespace morvik {

// Repeats a read, write, poll or wait that a signal handler interrupted.
// Never use it for close: on Linux the descriptor is released even when
// close reports EINTR, and a second close could hit a number another thread
// just reused. Safe in a forked child: it allocates nothing and takes no lock.
template <class Call>
auto retry_on_eintr(Call call) noexcept -> decltype(call()) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

}  // namespace morvik
