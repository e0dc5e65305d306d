// Giving up an object without destroying it, for a forked copy of the host.
//
// fork copies only the calling thread. A lock or condition variable that
// another thread of the original held or waited on at that instant stays
// held, or keeps a waiter that will never come, in the copy: locking it hangs
// for good, and destroying a condition variable with a recorded waiter can
// hang as well. So state shared with the reader thread is never locked or
// destroyed in a copy; its owner is moved into storage that is never
// destroyed, which leaves its reference counted forever. This allocates
// nothing, so it works when memory is short too.
#pragma once

#include <new>
#include <type_traits>
#include <utility>

namespace morvik::session {

template <class T>
void forget(T&& value) noexcept {
  using Owner = std::remove_cvref_t<T>;
  alignas(Owner) unsigned char storage[sizeof(Owner)];
  ::new (static_cast<void*>(storage)) Owner(std::move(value));
}

}  // namespace morvik::session
