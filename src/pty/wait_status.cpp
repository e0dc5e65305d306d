// Decoding of what waitid reports and the single non-blocking wait of the
// PTY layer. It waits only through a process handle (a pidfd), so it can
// never collect a process that merely inherited the child's number; it never
// blocks, asks only for ended children (stops and continuations of the child
// are deliberately not reported), and never turns a report the kernel cannot
// produce into a plausible-looking value.
#include "wait_status.h"

#include <sys/wait.h>

#include <cerrno>

#include "base/eintr.h"
#include "base/internal_failure.h"
#include "base/kept_texts.h"

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace morvik::pty {

WaitOutcome decode_child_info(const siginfo_t& info) {
  if (info.si_pid == 0) return {};
  switch (info.si_code) {
    case CLD_EXITED:
      return {WaitStatus::Ended, ExitStatus::exited(info.si_status)};
    case CLD_KILLED:
      return {WaitStatus::Ended, ExitStatus::killed(info.si_status, false)};
    case CLD_DUMPED:
      return {WaitStatus::Ended, ExitStatus::killed(info.si_status, true)};
    case CLD_STOPPED:
    case CLD_TRAPPED:
    case CLD_CONTINUED:
      return {WaitStatus::Changed, {}};
    default:
      internal_failure(kept::IMPOSSIBLE_WAIT_STATUS);
  }
}

Result<WaitOutcome> wait_nohang(int pidfd, bool collect) {
  // Zeroed first: with WNOHANG and nothing to report the kernel leaves
  // si_pid as it was.
  siginfo_t info{};
  const int rc = retry_on_eintr(
      [&] { return ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info, WEXITED | WNOHANG | (collect ? 0 : WNOWAIT)); });
  if (rc < 0) return Errno::last();
  return decode_child_info(info);
}

}  // namespace morvik::pty
