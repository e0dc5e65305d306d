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

}  // namespace morvik
