// Small numbers that name operating-system threads, for binding each Morvik
// object to the thread that made it. Numbers come from one process-wide
// counter, handed out the first time a thread asks, starting at 1; they are
// never reused, so a thread that ended can never be mistaken for a new one
// (unlike pthread_t or the kernel's thread id, both of which are recycled).
#pragma once

#include <atomic>
#include <cstdint>

namespace morvik::ext {

using ThreadNumber = std::uint64_t;

inline ThreadNumber current_thread_number() noexcept {
  static std::atomic<ThreadNumber> next{1};
  thread_local const ThreadNumber mine = next.fetch_add(1, std::memory_order_relaxed);
  return mine;
}

}  // namespace morvik::ext
