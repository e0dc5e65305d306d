// The PTY layer: one child process on a freshly allocated pseudo-terminal,
// with the subordinate side as its controlling terminal and its standard
// input, output and error. It knows nothing of sessions, Python or threads;
// it returns error numbers and never throws (apart from InternalFailure for
// states the kernel cannot produce).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "base/exchange_on_move.h"
#include "base/result.h"
#include "base/unique_fd.h"
#include "wait_status.h"

namespace morvik::pty {

inline constexpr std::uint16_t INITIAL_ROWS = 24;
inline constexpr std::uint16_t INITIAL_COLUMNS = 80;
inline constexpr std::chrono::milliseconds SIGNAL_PAUSE{100};

// What to start: the program (looked up along PATH when it has no slash)
// and its arguments, which follow the program name in argv.
struct ProcessDescription {
  std::string program;
  std::vector<std::string> args;
};

// The subordinate's path (/dev/pts/N) of a master, from ptsname_r with a
// 64-byte buffer.
Result<std::string> get_slave_name(int master_fd);

// TIOCSWINSZ with 24 rows by 80 columns; the layer offers no other size.
Result<void> set_term_size(int fd) noexcept;

// For tests only: the pause after each stop signal, SIGNAL_PAUSE unless a
// test shortened it so that the suite does not wait on it. Every step of the
// stop sequence is the same at any pause.
void set_signal_pause_for_tests(std::chrono::milliseconds pause) noexcept;

class PtyProcess {
 public:
  static Result<PtyProcess> spawn(ProcessDescription description) noexcept;

  // A moved-from record keeps pid -1 and releases nothing: it must never
  // wait for, or signal, "any child" (-1) on its way out.
  PtyProcess(PtyProcess&& other) noexcept = default;
  PtyProcess& operator=(PtyProcess&& other) = delete;
  // Stops a child that still runs (the forced stop sequence), then closes
  // the master. A failed stop is parked as a deferred internal failure.
  ~PtyProcess();

  // A duplicate of the master at 3 or above, owned by the caller,
  // close-on-exec from the start.
  Result<UniqueFd> get_raw_handle() const noexcept;

  // One non-blocking wait. true while running; false once ended (the first
  // call that sees the end also collects the child). The record remembers a
  // collected child and never waits for or signals its number again, since
  // the kernel may already have given it to another process. false without
  // a wait for a moved-from record, and in any process but the one that
  // started the child (a forked copy of the host).
  Result<bool> is_alive();
  // SIGHUP, SIGCONT, SIGINT, SIGTERM, each followed by the full pause and a
  // check; SIGKILL last when force is set. true: the child is gone (also,
  // without a signal, when it is not this process's to stop).
  Result<bool> exit(bool force);

  // Whether the calling process is the one that started the child.
  bool in_owner_process() const noexcept;

  pid_t pid() const noexcept { return pid_.get(); }
  int master_fd() const noexcept { return master_.get(); }

 private:
  PtyProcess(UniqueFd master, pid_t pid, pid_t owner_pid) noexcept
      : master_(std::move(master)), pid_(pid), owner_pid_(owner_pid) {}
  bool may_touch_child() const noexcept;
  void release() noexcept;

  UniqueFd master_;
  ExchangeOnMove<pid_t, -1> pid_;
  pid_t owner_pid_ = -1;  // the process that forked the child
  bool collected_ = false;
};

}  // namespace morvik::pty
