// Whether the program on a terminal waits for input, as the kernel shows it:
// the terminal's foreground process group has every thread asleep and at
// least one blocked reading, polling or selecting on the terminal. When that
// reader relays the terminal to one of its own (it holds that terminal's
// master: script, sudo), the answer is the inner terminal's, recursively,
// and Waiting only once the relay has copied to ours all that the program
// behind it wrote.
#pragma once

#include <sys/types.h>

namespace morvik::pty {

enum class InputWait {
  Waiting,  // every member asleep, one of them blocked on input from the terminal
  Busy,     // running, asleep on something else, or no foreground group left
  Unknown,  // the kernel would not tell (another user, no /proc, a refused read),
            // or the reader relays the terminal over the network (ssh -t)
};

// What the kernel showed beside the verdict.
struct WaitDetail {
  // The answer came from behind a relay: the relay may still hold output of
  // the program behind it that has not reached this terminal yet.
  bool relayed = false;
  // The reader waits with a time limit: a timer of the program's may end
  // the wait before any input does (an awaited timeout, a refresh).
  bool timed = false;
};

// `master_fd`: the terminal's master; `session_leader`: the process that
// leads the terminal's session (the child); `subordinate`: st_rdev of the
// terminal's subordinate side. `detail`, when given, receives what was
// seen beside the verdict.
InputWait foreground_input_wait(int master_fd, pid_t session_leader, dev_t subordinate, WaitDetail* detail = nullptr);

}  // namespace morvik::pty
