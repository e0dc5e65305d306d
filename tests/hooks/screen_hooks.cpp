// Plain C entry points into the screen model for the tests and benchmarks,
// loaded through ctypes from morvik_hooks (never from the installed module).
// They must never touch the interpreter or let a C++ exception reach a C
// caller: a failure comes back as a null handle or (size_t)-1.

#include <cstddef>
#include <cstring>
#include <exception>
#include <string>

#include "screen/lazy_screen.h"

namespace {

constexpr std::size_t HOOK_FAILED = static_cast<std::size_t>(-1);

std::size_t hand_over(const std::string& s, char* out, std::size_t cap) noexcept {
  if (s.size() <= cap && !s.empty()) std::memcpy(out, s.data(), s.size());
  return s.size();
}

}  // namespace

#define MORVIK_HOOK extern "C" __attribute__((visibility("default")))

// A lazily fed screen of `rows` x `columns`; null when memory ran out.
MORVIK_HOOK void* morvik_screen_new(int rows, int columns) noexcept {
  try {
    return new morvik::screen::LazyScreen(rows, columns);
  } catch (const std::exception&) {
    return nullptr;
  }
}

MORVIK_HOOK void morvik_screen_free(void* screen) noexcept { delete static_cast<morvik::screen::LazyScreen*>(screen); }

// 0 on success, -1 when memory ran out.
MORVIK_HOOK int morvik_screen_feed(void* screen, const char* bytes, std::size_t n) noexcept {
  try {
    static_cast<morvik::screen::LazyScreen*>(screen)->append(std::string_view(bytes, bytes ? n : 0));
    return 0;
  } catch (const std::exception&) {
    return -1;
  }
}

// The screen as text: the cursor row and column and whether the alternate
// screen is in use on the first line ("row column 0|1"), then the rows, each
// ending in LF. Copied to `out` only when it fits in `cap`; returns its
// length either way, (size_t)-1 when memory ran out.
MORVIK_HOOK std::size_t morvik_screen_text(void* screen, char* out, std::size_t cap) noexcept {
  try {
    const auto& s = static_cast<morvik::screen::LazyScreen*>(screen)->screen();
    const auto c = s.cursor();
    std::string text = std::to_string(c.row) + " " + std::to_string(c.column) + " " + (s.alternate() ? "1" : "0") + "\n";
    for (const std::string& line : s.lines()) {
      text += line;
      text += '\n';
    }
    return hand_over(text, out, cap);
  } catch (const std::exception&) {
    return HOOK_FAILED;
  }
}

// The terminal's answers since the last call; same contract.
MORVIK_HOOK std::size_t morvik_screen_replies(void* screen, char* out, std::size_t cap) noexcept {
  try {
    return hand_over(static_cast<morvik::screen::LazyScreen*>(screen)->take_replies(), out, cap);
  } catch (const std::exception&) {
    return HOOK_FAILED;
  }
}
