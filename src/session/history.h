// The session history: the raw output bytes handed to the caller, oldest
// first, keeping only the newest `limit` bytes. A ring, so appending at the
// back and dropping at the front cost constant time per byte.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace morvik::session {

inline constexpr std::size_t HISTORY_LIMIT = 4194304;        // 4 MiB
// The ring's first size, on the first output: it starts empty, as a
// terminal that is kept idle costs nothing for it, and doubles from here.
inline constexpr std::size_t HISTORY_FIRST_BYTES = 4096;

class History {
 public:
  explicit History(std::size_t limit = HISTORY_LIMIT);

  void append(std::string_view bytes);
  // The kept bytes as one contiguous string, oldest first.
  std::string contents() const;
  std::size_t size() const noexcept { return size_; }
  std::size_t limit() const noexcept { return limit_; }

 private:
  void grow(std::size_t needed);

  std::size_t limit_;
  std::vector<char> ring_;  // capacity grows up to limit_
  std::size_t head_ = 0;    // index of the oldest byte
  std::size_t size_ = 0;
};

}  // namespace morvik::session
