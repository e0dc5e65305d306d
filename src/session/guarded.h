// One value behind one mutex, with poisoning: a holder that leaves by an
// exception marks the lock failed for good, because the value may have been
// left half-changed. Later holders still get the lock and decide what a
// poisoned value means to them.
#pragma once

#include <exception>
#include <mutex>

namespace morvik::session {

template <class T>
class Guarded {
 public:
  class Lock {
   public:
    explicit Lock(Guarded& g) : g_(&g), lock_(g.mutex_), uncaught_(std::uncaught_exceptions()) {}
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    ~Lock() {
      if (std::uncaught_exceptions() > uncaught_) g_->poisoned_ = true;
    }
    bool poisoned() const noexcept { return g_->poisoned_; }
    T& operator*() noexcept { return g_->value_; }
    T* operator->() noexcept { return &g_->value_; }

   private:
    Guarded* g_;
    std::unique_lock<std::mutex> lock_;
    int uncaught_;
  };

  Guarded() = default;
  template <class... Args>
  explicit Guarded(Args&&... args) : value_(std::forward<Args>(args)...) {}

  [[nodiscard]] Lock lock() { return Lock(*this); }

  // Fault injection for tests, and for holders that fail without throwing.
  void poison() {
    std::lock_guard<std::mutex> l(mutex_);
    poisoned_ = true;
  }

 private:
  std::mutex mutex_;
  bool poisoned_ = false;  // written only with mutex_ held
  T value_{};
};

}  // namespace morvik::session
