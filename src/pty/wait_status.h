// Decoding of a raw wait status word, and the one non-blocking wait that
// every status question of the layer rests on.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "base/result.h"

namespace morvik::pty {

struct WaitStatus {
  enum class Kind { Exited, Signaled, Stopped, PtraceEvent, PtraceSyscall, Continued, StillAlive };

  Kind kind = Kind::StillAlive;
  pid_t pid = 0;
  int exit_code = 0;     // Exited
  int signal = 0;        // Signaled (1 to 64), Stopped and PtraceEvent (1 to 31)
  bool core_dumped = false;  // Signaled
  int event = 0;         // PtraceEvent

  // EINVAL for a signal number no kernel reports (a stop outside 1..31, a
  // kill above 64).
  // A word no kernel produces is an internal failure, never a value.
  static Result<WaitStatus> from_raw(pid_t pid, std::int32_t status);
};

// waitpid(pid, WNOHANG): StillAlive when nothing changed.
Result<WaitStatus> wait_nohang(pid_t pid);

}  // namespace morvik::pty
