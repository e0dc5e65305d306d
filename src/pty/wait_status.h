// What one non-blocking wait for the child saw, and that wait itself: the
// one question every status answer of the layer rests on.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "base/result.h"

namespace morvik::pty {

enum class WaitStatus {
  StillAlive,  // nothing changed
  Ended,       // exited or killed by a signal, and collected
  Changed,     // stopped, resumed or a trace event: reported only for a traced child
};

// Decodes a raw status word. EINVAL for a signal number no kernel reports
// (a stop outside 1..31, a kill above 64). A word no kernel produces is an
// internal failure, never a value.
Result<WaitStatus> decode_wait_status(std::int32_t status);

// waitpid(pid, WNOHANG).
Result<WaitStatus> wait_nohang(pid_t pid);

}  // namespace morvik::pty
