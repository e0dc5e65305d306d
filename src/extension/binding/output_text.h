// The one way raw terminal output becomes the str a caller gets, for every
// read of every face (the Morvik methods and the agent terminal alike),
// with no zero-filled buffer and the text sized once. A long wait hands
// over text it cleaned while the output still came (session/read_output.h):
// what is left is cleaned onto it, and the whole is copied into an ASCII
// str, the one copy spent so that the cleaning runs before the prompt
// rather than after it. Output nobody cleaned yet (a drain, the history,
// a short wait) is cleaned straight into the memory of its str, or, when
// short, beside it within the wait's own release of the lock. Text with
// characters of U+0080 and up is widened once, into a str of the narrowest
// kind that holds it.
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
#include "session/read_output.h"
#include "text/cleaning.h"
#include "text/text_maker.h"
#include "text/utf8.h"

namespace morvik::ext {

// What a face makes of raw output (text/text_maker.h): by default the
// cleaning of sanitize_for_agent.
using text::TextMaker;
using text::CLEANED;

// Below this many raw bytes a wait's text is made in scratch memory within
// the wait's own release of the lock and then copied into its str: a round
// trip's reply costs one release of the lock, as it always did.
inline constexpr std::size_t TEXT_INTO_STR_BYTES = std::size_t{256} << 10;  // 256 KiB

namespace detail {
// The text of small output, made while the lock was released.
struct SmallText {
  bool done = false;
  std::string bytes;  // well-formed UTF-8
  text::Utf8Shape shape{};
};
SmallText make_small(std::string_view raw, const TextMaker& maker);
PyRef str_from_small(const SmallText& text);
PyRef str_from_large(session::ReadOutput out, const TextMaker& maker);
// The text a wait made itself (ReadOutput::made): well-formed UTF-8 of
// `shape`, measured while the lock was released.
PyRef str_from_made(session::ReadOutput out, const text::Utf8Shape& shape);

inline session::ReadOutput as_read_output(session::ReadOutput out) { return out; }
inline session::ReadOutput as_read_output(ByteBuffer raw) {
  session::ReadOutput out;
  out.raw = std::move(raw);
  return out;
}
}  // namespace detail

// The text of `raw` as a new str, with the interpreter lock held throughout
// (for the reads that never release it: draining and the history).
PyRef text_from_raw(std::string_view raw, const TextMaker& maker = CLEANED);

// Runs `wait` with the interpreter lock released (it must return the raw
// output as a ByteBuffer, or a session::ReadOutput whose first part the
// wait already cleaned, and touch no Python object), then returns the text
// of that output as a new str, made with the lock released. A cleaned first
// part is only ever the cleaning's: a face with another maker hands over
// raw bytes alone, and a wait that made the text itself hands that over
// (ReadOutput::made) and the maker plays no part. Whatever else the wait
// finds out, the caller's lambda
// keeps in its own variables:
//
//   Status status;
//   PyRef text = wait_for_text([&] { auto r = core.wait(args); status = r.status; return std::move(r.raw); });
template <class Wait>
PyRef wait_for_text(Wait&& wait, const TextMaker& maker = CLEANED) {
  session::ReadOutput out;
  detail::SmallText small;
  text::Utf8Shape made{};
  {
    AllowThreads released;
    out = detail::as_read_output(std::forward<Wait>(wait)());
    if (out.made) {
      out.raw.release();
      made = text::measure_utf8(out.text.view());
    } else if (out.raw.size() < TEXT_INTO_STR_BYTES && out.cleaner.settled() == 0) {
      small = detail::make_small(out.raw.view(), maker);
    }
  }
  if (out.made) return detail::str_from_made(std::move(out), made);
  if (small.done) return detail::str_from_small(small);
  return detail::str_from_large(std::move(out), maker);
}

}  // namespace morvik::ext
