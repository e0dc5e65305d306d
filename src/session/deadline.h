// A deadline some milliseconds after a time, for every wait of both faces.
// A caller may ask for any 64-bit number of milliseconds: the sum saturates
// at the clock's end instead of wrapping into the past, which would end a
// wait meant to last for good at once.
#pragma once

#include <chrono>
#include <cstdint>

namespace morvik::session {

inline std::chrono::steady_clock::time_point deadline_after(std::chrono::steady_clock::time_point now,
                                                            std::uint64_t ms) {
  using std::chrono::milliseconds;
  using Clock = std::chrono::steady_clock;
  const auto room = std::chrono::duration_cast<milliseconds>(Clock::time_point::max() - now).count();
  if (ms >= static_cast<std::uint64_t>(room)) return Clock::time_point::max();
  return now + milliseconds(static_cast<milliseconds::rep>(ms));
}

}  // namespace morvik::session
