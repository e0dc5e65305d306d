// What both faces' sessions do inside a fork of the host. A forked copy
// holds duplicates of every descriptor a session owns: the master, the
// process handle, the reader's wake-ups, the input side. Left open they keep
// the terminal alive for the copy's lifetime (the original's close then
// waits for an end of output that never comes), and closed later they may
// name files the copy has opened since. So the copy closes them inside
// fork(), while the numbers are certainly the session's, and afterwards
// treats the session as closed without touching a number, a lock or the
// program (see Session and AgentSession).
//
// Before the fork the channel's lock, and the owner's lock that guards the
// descriptors the copy closes, are taken, so the copy finds both whole.
#pragma once

#include <mutex>

#include "base/fork_watch.h"
#include "inbox.h"
#include "reader_thread.h"

namespace morvik::session {

class SessionForkPolicy final : public ForkWatcher {
 public:
  // What else the owner closes in the copy: its input side, its process
  // record, descriptors of its own. Runs with `lock` (if any) held, in the
  // copy's only thread; must close numbers and nothing more.
  using CloseRest = void (*)(void* owner) noexcept;

  // Watches forks from now on, until destroyed.
  SessionForkPolicy(ReaderThread& reader, Inbox& inbox, std::mutex* lock, CloseRest close_rest, void* owner);
  ~SessionForkPolicy();
  SessionForkPolicy(const SessionForkPolicy&) = delete;
  SessionForkPolicy& operator=(const SessionForkPolicy&) = delete;

  void before_fork() noexcept override;
  void after_fork_in_parent() noexcept override;
  void after_fork_in_child() noexcept override;

 private:
  ReaderThread& reader_;
  Inbox& inbox_;
  std::mutex* lock_;
  CloseRest close_rest_;
  void* owner_;
};

}  // namespace morvik::session
