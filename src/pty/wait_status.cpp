// Decoding of raw wait status words and the single non-blocking wait of the
// PTY layer. It must never block, never pass wait flags beyond WNOHANG (stops
// and continuations of the child are deliberately not reported), and never
// turn a word the kernel cannot produce into a plausible-looking value.
#include "wait_status.h"

#include <sys/wait.h>

#include <cerrno>

#include "base/eintr.h"
#include "base/internal_failure.h"
#include "base/kept_texts.h"

namespace morvik::pty {

namespace {

// Stops are reported for the 31 classic signals only. A child killed by a
// real-time signal (32 to 64 on Linux) is as dead as any other and decodes as
// ended: reporting it as an error would make its one collecting wait look
// like a failure, while the child is gone for good.
constexpr int MAX_CLASSIC_SIGNAL = 31;
constexpr int MAX_SIGNAL = 64;
constexpr int STOP_MARK = 0x7F;
constexpr int CONTINUED_WORD = 0xFFFF;
// SIGTRAP with 0x80 set: how PTRACE_O_TRACESYSGOOD marks a system-call stop.
constexpr int SYSCALL_TRAP = 0x85;

}  // namespace

Result<WaitStatus> decode_wait_status(std::int32_t status) {
  const int low7 = status & 0x7F;
  const int byte1 = (status >> 8) & 0xFF;
  if (low7 == 0) return WaitStatus::Ended;  // exited
  if (low7 != STOP_MARK) {
    if (low7 > MAX_SIGNAL) return Errno::from_raw(EINVAL);
    return WaitStatus::Ended;  // killed
  }
  if ((status & 0xFF) == STOP_MARK) {
    if (byte1 != SYSCALL_TRAP && (byte1 < 1 || byte1 > MAX_CLASSIC_SIGNAL)) return Errno::from_raw(EINVAL);
    return WaitStatus::Changed;  // a stop, or a trace stop or event
  }
  if (status != CONTINUED_WORD) internal_failure(kept::IMPOSSIBLE_WAIT_STATUS);
  return WaitStatus::Changed;
}

Result<WaitStatus> wait_nohang(pid_t pid) {
  int status = 0;
  const pid_t got = retry_on_eintr([&] { return ::waitpid(pid, &status, WNOHANG); });
  if (got < 0) return Errno::last();
  if (got == 0) return WaitStatus::StillAlive;
  return decode_wait_status(status);
}

}  // namespace morvik::pty
