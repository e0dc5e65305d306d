// The one way raw terminal output becomes the str a caller gets, for every
// read of every face (the Morvik methods and the agent terminal alike): the
// bytes a wait collected are cleaned straight into the memory of the str
// that is returned, with no zero-filled buffer, no second copy and, for
// ASCII text, nothing but the filter's own pass. Text with characters of
// U+0080 and up is widened once more, into a str of the right width made
// for it.
//
// The hazard it owns: cleaning a large output takes milliseconds, and must
// not hold the interpreter lock, yet the str it fills can only be created
// with the lock held. So a large result's str is created first, the lock is
// released while its character bytes are written, and taken back before
// the str is resized or handed on. No other thread can reach that str
// meanwhile: nothing but this routine holds a reference to it, and only its
// character bytes are written, never its header or reference count.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "allow_threads.h"
#include "base/byte_buffer.h"
#include "py_ref.h"

namespace morvik::ext {

// Below this many raw bytes a wait's text is cleaned into scratch memory
// within the wait's own release of the lock and then copied into its str:
// a round trip's reply costs one release of the lock, as it always did.
inline constexpr std::size_t CLEAN_INTO_STR_BYTES = std::size_t{256} << 10;  // 256 KiB

namespace detail {
// The text of output cleaned while the lock was released (small outputs).
struct CleanedText {
  bool done = false;
  std::string bytes;      // well-formed UTF-8
  char32_t max_character = 0;
  std::size_t characters = 0;
};
CleanedText clean_small(std::string_view raw);
PyRef str_from_cleaned(const CleanedText& text);
PyRef str_from_large(ByteBuffer raw);
}  // namespace detail

// The text of `raw` as a new str, cleaned and decoded as sanitize_for_agent
// does it, with the interpreter lock held throughout (for the reads that
// never release it: draining and the history).
PyRef text_from_raw(std::string_view raw);

// Runs `wait` with the interpreter lock released (it must return the raw
// output as a ByteBuffer, and touch no Python object), then returns the
// text of that output as a new str, cleaned with the lock released.
// Whatever else the wait finds out, the caller's lambda keeps in its own
// variables.
template <class Wait>
PyRef wait_for_text(Wait&& wait) {
  ByteBuffer raw;
  detail::CleanedText small;
  {
    AllowThreads released;
    raw = std::forward<Wait>(wait)();
    if (raw.size() < CLEAN_INTO_STR_BYTES) small = detail::clean_small(raw.view());
  }
  if (small.done) return detail::str_from_cleaned(small);
  return detail::str_from_large(std::move(raw));
}

}  // namespace morvik::ext
