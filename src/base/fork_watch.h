// Objects that must act inside fork(): before it (take the locks whose state
// the copy needs consistent), and after it in the parent and in the copy.
// In the copy the handlers run before any code of the host does, so the
// descriptor numbers an object holds there are still its own: the one moment
// it can close them without closing something the copy opened later.
#pragma once

namespace morvik {

class ForkWatcher {
 public:
  // Runs in the forking thread with the registry locked; must not fork,
  // register or unregister.
  virtual void before_fork() noexcept {}
  virtual void after_fork_in_parent() noexcept {}
  // Runs in the copy, in which only the forking thread exists.
  virtual void after_fork_in_child() noexcept = 0;

 protected:
  ~ForkWatcher() = default;
};

// Registration; a watcher must be unregistered before it is destroyed.
// Neither may be called from a watcher's handler.
void watch_forks(ForkWatcher* watcher);
void unwatch_forks(ForkWatcher* watcher) noexcept;

// Held by a thread around a fork whose copy only execs or exits (a program
// started by forking, as the sanitizer builds do): no watcher runs for that
// fork, on either side. The copy needs no consistent state of the host's
// objects and tidying them there serves nothing; a sanitizer's runtime
// keeps its allocator locked until fork returns, so a watcher that frees
// memory in the copy would wait forever, and taking every session's locks
// for each start outgrows what its lock tracking holds.
class ForkToExec {
 public:
  ForkToExec() noexcept;
  ~ForkToExec();
  ForkToExec(const ForkToExec&) = delete;
  ForkToExec& operator=(const ForkToExec&) = delete;
};

}  // namespace morvik
