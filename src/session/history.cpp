// The history ring. Owns the storage of the newest `limit` raw bytes. It must
// never hold more than `limit` bytes once an append returns, never reorder
// bytes, and never move bytes one at a time: appends copy at most two spans,
// so a 4 MiB history costs the same per byte as an empty one. Not
// thread-safe; the session's `history` lock guards it.

#include "history.h"

#include <algorithm>
#include <cstring>

namespace morvik::session {

History::History(std::size_t limit)
    : limit_(limit) {}

void History::append(std::string_view bytes) {
  if (bytes.empty() || limit_ == 0) return;

  if (bytes.size() >= limit_) {
    // Everything kept so far would be cut, and so would the front of the new
    // bytes: keep only their newest `limit_`.
    if (ring_.size() < limit_) ring_.assign(limit_, '\0');
    std::memcpy(ring_.data(), bytes.data() + (bytes.size() - limit_), limit_);
    head_ = 0;
    size_ = limit_;
    return;
  }

  const std::size_t wanted = size_ + bytes.size();
  if (wanted > ring_.size() && ring_.size() < limit_) {
    grow(std::min(limit_, std::max({wanted, 2 * ring_.size(), HISTORY_FIRST_BYTES})));
  }

  // Write at the back, wrapping once at most; when the ring is full at its
  // limit, this overwrites exactly the oldest bytes that have to go.
  const std::size_t capacity = ring_.size();
  const std::size_t tail = (head_ + size_) % capacity;
  const std::size_t first = std::min(bytes.size(), capacity - tail);
  std::memcpy(ring_.data() + tail, bytes.data(), first);
  std::memcpy(ring_.data(), bytes.data() + first, bytes.size() - first);

  if (wanted <= capacity) {
    size_ = wanted;
  } else {
    head_ = (head_ + (wanted - capacity)) % capacity;
    size_ = capacity;
  }
}

std::string History::contents() const {
  std::string out(size_, '\0');
  if (size_ == 0) return out;
  const std::size_t first = std::min(size_, ring_.size() - head_);
  std::memcpy(out.data(), ring_.data() + head_, first);
  std::memcpy(out.data() + first, ring_.data(), size_ - first);
  return out;
}

// Moves the kept bytes, oldest first, to the start of a larger ring.
void History::grow(std::size_t needed) {
  std::vector<char> bigger(needed);
  // The first growth has nothing to move, and no storage to move it from.
  if (size_ == 0) {
    ring_.swap(bigger);
    head_ = 0;
    return;
  }
  const std::size_t first = std::min(size_, ring_.size() - head_);
  std::memcpy(bigger.data(), ring_.data() + head_, first);
  std::memcpy(bigger.data() + first, ring_.data(), size_ - first);
  ring_.swap(bigger);
  head_ = 0;
}

}  // namespace morvik::session
