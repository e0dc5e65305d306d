// The sessions' fork policy. Must touch, in the copy, only descriptors whose
// numbers the session held at the fork, and take no lock there but those
// the forking thread took before it.
#include "fork_policy.h"

namespace morvik::session {

SessionForkPolicy::SessionForkPolicy(ReaderThread& reader, Inbox& inbox, std::mutex* lock, CloseRest close_rest,
                                     void* owner)
    : reader_(reader), inbox_(inbox), lock_(lock), close_rest_(close_rest), owner_(owner) {
  watch_forks(this);
}

SessionForkPolicy::~SessionForkPolicy() { unwatch_forks(this); }

void SessionForkPolicy::before_fork() noexcept {
  if (lock_ != nullptr) lock_->lock();
  inbox_.lock_for_fork();
}

void SessionForkPolicy::after_fork_in_parent() noexcept {
  inbox_.unlock_after_fork(false);
  if (lock_ != nullptr) lock_->unlock();
}

void SessionForkPolicy::after_fork_in_child() noexcept {
  reader_.close_in_forked_child();
  close_rest_(owner_);
  inbox_.unlock_after_fork(true);
  // Taken by this same thread before the fork, and it is the only one left.
  if (lock_ != nullptr) lock_->unlock();
}

}  // namespace morvik::session
