// The signal mask our own threads are born with. A host's signals are the
// host's: a thread of ours that took one would run the host's handler, or
// its default action, in the middle of our work. And a write to a pipe
// whose reader has gone raises SIGPIPE at the writing thread, which kills a
// host that has not ignored it; blocked, the write fails with EPIPE instead.
// A new thread inherits its creator's mask, so the mask is set around the
// creation: there is no instant at which the thread could take a signal.
#pragma once

#include <signal.h>

namespace morvik {

class QuietThreadMask {
 public:
  // Blocks every signal but those a thread raises itself by a fault
  // (blocking those would turn a crash into a hang) until destroyed.
  QuietThreadMask() noexcept {
    sigset_t blocked;
    sigfillset(&blocked);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT}) sigdelset(&blocked, sig);
    ::pthread_sigmask(SIG_SETMASK, &blocked, &caller_);
  }
  ~QuietThreadMask() { ::pthread_sigmask(SIG_SETMASK, &caller_, nullptr); }
  QuietThreadMask(const QuietThreadMask&) = delete;
  QuietThreadMask& operator=(const QuietThreadMask&) = delete;

 private:
  sigset_t caller_;
};

}  // namespace morvik
