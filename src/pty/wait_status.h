// What one non-blocking wait on the child's process handle saw, and that
// wait itself: the one question every status answer of the layer rests on.
#pragma once

#include <signal.h>

#include "base/result.h"

namespace morvik::pty {

// How a child ended: its exit code, or the signal that ended it.
struct ExitStatus {
  int code = 0;    // 0..255, meaningful when signal is 0
  int signal = 0;  // the terminating signal (1..64), 0 when the child exited
  bool core_dumped = false;

  static ExitStatus exited(int code) noexcept { return {code, 0, false}; }
  static ExitStatus killed(int sig, bool core) noexcept { return {0, sig, core}; }
  friend bool operator==(const ExitStatus&, const ExitStatus&) = default;
};

enum class WaitStatus {
  StillAlive,  // nothing changed
  Ended,       // exited or killed by a signal, and collected
  Changed,     // stopped, resumed or a trace event: reported only to a tracer
};

struct WaitOutcome {
  WaitStatus status = WaitStatus::StillAlive;
  ExitStatus exit;  // when status is Ended
};

// Decodes what waitid filled in. A zero si_pid is a child that has not
// changed. A code no kernel reports is an internal failure, never a value.
WaitOutcome decode_child_info(const siginfo_t& info);

// waitid(P_PIDFD, pidfd, WEXITED | WNOHANG): reaches only the process the
// handle was opened for, never one that inherited its number. ECHILD when it
// is not (or no longer) a waitable child of the caller: another party
// collected it. With `collect` false an ended child is reported but left to
// be collected later (WNOWAIT).
Result<WaitOutcome> wait_nohang(int pidfd, bool collect = true);

}  // namespace morvik::pty
