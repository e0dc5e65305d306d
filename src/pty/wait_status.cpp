// Decoding of raw wait status words and the single non-blocking wait of the
// PTY layer. It must never block, never pass wait flags beyond WNOHANG (stops
// and continuations of the child are deliberately not reported), and never
// turn a word the kernel cannot produce into a plausible-looking value.
#include "wait_status.h"

#include <sys/wait.h>

#include <cerrno>

#include "base/eintr.h"
#include "base/internal_failure.h"

namespace morvik::pty {

namespace {

// Stops are reported for the 31 classic signals only. A child killed by a
// real-time signal (32 to 64 on Linux) is as dead as any other and decodes as
// killed: reporting it as an error would make its one collecting wait look
// like a failure, while the child is gone for good.
constexpr int MAX_CLASSIC_SIGNAL = 31;
constexpr int MAX_SIGNAL = 64;
constexpr int STOP_MARK = 0x7F;
constexpr int CONTINUED_WORD = 0xFFFF;
// SIGTRAP with 0x80 set: how PTRACE_O_TRACESYSGOOD marks a system-call stop.
constexpr int SYSCALL_TRAP = 0x85;

bool classic_signal(int sig) noexcept { return sig >= 1 && sig <= MAX_CLASSIC_SIGNAL; }

}  // namespace

Result<WaitStatus> WaitStatus::from_raw(pid_t pid, std::int32_t status) {
  WaitStatus out;
  out.pid = pid;
  const int low7 = status & 0x7F;
  const int byte1 = (status >> 8) & 0xFF;

  if (low7 == 0) {
    out.kind = Kind::Exited;
    out.exit_code = byte1;
    return out;
  }
  if (low7 != STOP_MARK) {
    if (low7 > MAX_SIGNAL) return Errno::from_raw(EINVAL);
    out.kind = Kind::Signaled;
    out.signal = low7;
    out.core_dumped = (status & 0x80) != 0;
    return out;
  }
  if ((status & 0xFF) == STOP_MARK) {
    if (byte1 == SYSCALL_TRAP) {
      out.kind = Kind::PtraceSyscall;
      return out;
    }
    if (!classic_signal(byte1)) return Errno::from_raw(EINVAL);
    out.signal = byte1;
    // Compared as an unsigned word so that a set top bit counts as an event,
    // whose number is then the sign-extended upper half.
    if (static_cast<std::uint32_t>(status) < 0x10000u) {
      out.kind = Kind::Stopped;
    } else {
      out.kind = Kind::PtraceEvent;
      out.event = status >> 16;
    }
    return out;
  }
  if (status != CONTINUED_WORD) internal_failure("assertion failed: continued(status)");
  out.kind = Kind::Continued;
  return out;
}

Result<WaitStatus> wait_nohang(pid_t pid) {
  int status = 0;
  const pid_t got = retry_on_eintr([&] { return ::waitpid(pid, &status, WNOHANG); });
  if (got < 0) return Errno::last();
  if (got == 0) return WaitStatus{};
  return WaitStatus::from_raw(got, status);
}

}  // namespace morvik::pty
