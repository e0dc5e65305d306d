// Shared and exclusive access to one Morvik object for the length of a call,
// through its borrow flag: 0 free, n > 0 shared n times, -1 held exclusively.
// Only calls on the owner thread get this far, so a refusal always means a
// call re-entered the same object from Python code that an argument
// conversion ran. The guards release on every path out, exceptions included.
// Taking access needs the interpreter lock (a refusal raises); releasing
// does not.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/kept_texts.h"
#include "extension/binding/errors.h"

namespace morvik::ext {

using BorrowFlag = std::atomic<std::intptr_t>;

inline constexpr std::intptr_t EXCLUSIVELY_BORROWED = -1;

class SharedAccess {
 public:
  explicit SharedAccess(BorrowFlag& flag) : flag_(flag) {
    std::intptr_t seen = flag_.load(std::memory_order_relaxed);
    do {
      if (seen == EXCLUSIVELY_BORROWED) raise(PyExc_RuntimeError, kept::ALREADY_MUTABLY_BORROWED);
    } while (!flag_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                          std::memory_order_relaxed));
  }
  ~SharedAccess() { flag_.fetch_sub(1, std::memory_order_release); }
  SharedAccess(const SharedAccess&) = delete;
  SharedAccess& operator=(const SharedAccess&) = delete;

 private:
  BorrowFlag& flag_;
};

class ExclusiveAccess {
 public:
  explicit ExclusiveAccess(BorrowFlag& flag) : flag_(flag) {
    std::intptr_t expected = 0;
    if (!flag_.compare_exchange_strong(expected, EXCLUSIVELY_BORROWED, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
      raise(PyExc_RuntimeError, kept::ALREADY_BORROWED);
    }
  }
  ~ExclusiveAccess() { flag_.store(0, std::memory_order_release); }
  ExclusiveAccess(const ExclusiveAccess&) = delete;
  ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;

 private:
  BorrowFlag& flag_;
};

}  // namespace morvik::ext
