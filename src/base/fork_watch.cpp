// The registry of fork watchers and the pthread_atfork handlers that run
// them. The registry's lock is held from before the fork until after it on
// both sides, so no watcher comes or goes (or is destroyed) mid-fork. The
// registry is never destroyed: a fork may come during the host's exit.
#include "fork_watch.h"

#include <pthread.h>

#include <algorithm>
#include <mutex>
#include <vector>

namespace morvik {

namespace {

struct Registry {
  std::mutex mutex;
  std::vector<ForkWatcher*> watchers;
};

// Only the forking thread exists in the copy, so its own flag is the one
// the copy's handler reads.
thread_local bool forking_to_exec = false;

Registry& registry() {
  static Registry* const r = new Registry;
  return *r;
}

void prepare() noexcept {
  Registry& r = registry();
  r.mutex.lock();
  if (forking_to_exec) return;
  for (ForkWatcher* w : r.watchers) w->before_fork();
}

void in_parent() noexcept {
  Registry& r = registry();
  if (!forking_to_exec) {
    for (ForkWatcher* w : r.watchers) w->after_fork_in_parent();
  }
  r.mutex.unlock();
}

void in_child() noexcept {
  Registry& r = registry();
  if (!forking_to_exec) {
    for (ForkWatcher* w : r.watchers) w->after_fork_in_child();
  }
  // Locked by this same thread in prepare, and it is the only thread left.
  r.mutex.unlock();
}

}  // namespace

void watch_forks(ForkWatcher* watcher) {
  static std::once_flag installed;
  std::call_once(installed, [] { ::pthread_atfork(prepare, in_parent, in_child); });
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.watchers.push_back(watcher);
}

ForkToExec::ForkToExec() noexcept { forking_to_exec = true; }
ForkToExec::~ForkToExec() { forking_to_exec = false; }

void unwatch_forks(ForkWatcher* watcher) noexcept {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  std::erase(r.watchers, watcher);
}

}  // namespace morvik
