// TEMPORARY. A stand-in for the two PTY-layer additions the agent face still
// waits for (the stop of the terminal's whole session, and the check that
// the foreground process group waits for input), in the shape the shared
// design gives them, so that the agent session can be built and tested
// before src/pty offers them. Replaced by src/pty's own when they land;
// nothing but agent_session.cpp may use it.
#pragma once

#include <sys/types.h>

namespace morvik::session::standin {

enum class InputWait { Waiting, Busy, Unknown };

// Every process of session `sid` (the child, a session leader, whose handle
// is `child_pidfd`) gets SIGHUP and SIGCONT, then SIGTERM, then SIGKILL,
// with waits on their handles in between. Does not collect the child.
void terminate_session(pid_t sid, int child_pidfd) noexcept;

// Whether the foreground process group of the terminal `master` has every
// member asleep and one of them blocked reading the terminal (`tty` is the
// subordinate's device number).
InputWait foreground_input_wait(int master, dev_t tty) noexcept;

}  // namespace morvik::session::standin
