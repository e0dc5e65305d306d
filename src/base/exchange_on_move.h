// A plain value that a move hands over, leaving `EMPTY` behind, so that a
// type holding one can default its move: the moved-from object then owns
// nothing and its destructor releases nothing.
#pragma once

#include <utility>

namespace morvik {

template <class T, T EMPTY>
class ExchangeOnMove {
 public:
  ExchangeOnMove() noexcept = default;
  explicit ExchangeOnMove(T value) noexcept : value_(value) {}
  ExchangeOnMove(ExchangeOnMove&& other) noexcept : value_(std::exchange(other.value_, EMPTY)) {}
  ExchangeOnMove& operator=(ExchangeOnMove&& other) noexcept {
    value_ = std::exchange(other.value_, EMPTY);
    return *this;
  }
  ExchangeOnMove& operator=(T value) noexcept {
    value_ = value;
    return *this;
  }

  T get() const noexcept { return value_; }

 private:
  T value_ = EMPTY;
};

}  // namespace morvik
