// The one way raw terminal output becomes the str a caller gets, for every
// read of every face (the Morvik methods and the agent terminal alike),
// with no zero-filled buffer and the text sized once. It takes one of two
// ways:
//
// - Text that is UTF-8 already becomes a str in one copy (ASCII) or one
//   widening into a str of the narrowest kind that holds it. That text is
//   the cleaning a long wait made while the output still came (its rest
//   cleaned onto it: session/read_output.h), the text a wait made itself
//   (the agent face renders the lines a terminal showed), or a short
//   output's cleaning, made in scratch memory within the wait's own release
//   of the lock.
// - A large output nobody cleaned yet (a drain, the history, a wait that
//   did not clean as it went) is cleaned straight into the memory of its
//   str, which is then cut to its length, or widened when the text goes
//   beyond ASCII.
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
#include "text/utf8.h"

namespace morvik::ext {

// From this many bytes on, text is made into its str with the lock
// released; below it, a wait's text is made in scratch memory within the
// wait's own release of the lock and then copied into its str, so that a
// round trip's reply costs one release of the lock.
inline constexpr std::size_t TEXT_INTO_STR_BYTES = std::size_t{256} << 10;  // 256 KiB

namespace detail {
// Well-formed UTF-8 of a known shape, on its way into a str: in the wait's
// own memory (`borrowed`), or in `owned` when it was made here. (A view of
// `owned` is never kept: moving a short string moves its bytes.)
struct Utf8Text {
  std::string owned;
  std::string_view borrowed;
  bool is_owned = false;
  text::Utf8Shape shape{};

  std::string_view utf8() const { return is_owned ? std::string_view(owned) : borrowed; }
};

// Whether the output goes the second way: large, and cleaned by nobody.
inline bool cleans_into_str(const session::ReadOutput& out) {
  return !out.made && out.cleaner.settled() == 0 && out.raw.size() >= TEXT_INTO_STR_BYTES;
}
// The first way, its part with the lock released: the UTF-8 text of `out`
// (which must not go the second way), viewing memory of `out`.
Utf8Text utf8_of(session::ReadOutput& out);
// The first way, its part with the lock held (released around the copy
// when `release`); `spent`, when given, is freed once copied.
PyRef str_from_utf8(const Utf8Text& text, bool release, ByteBuffer* spent = nullptr);
// The second way.
PyRef str_cleaned_into(std::string_view raw, ByteBuffer* owner, bool release);

inline session::ReadOutput as_read_output(session::ReadOutput out) { return out; }
inline session::ReadOutput as_read_output(ByteBuffer raw) {
  session::ReadOutput out;
  out.raw = std::move(raw);
  return out;
}
}  // namespace detail

// The text of `raw` as a new str, with the interpreter lock held throughout
// (for the reads that never release it: draining and the history).
PyRef text_from_raw(std::string_view raw);

// Runs `wait` with the interpreter lock released (it must return the raw
// output as a ByteBuffer, or a session::ReadOutput whose first part the
// wait already cleaned or whose text it made, and touch no Python object),
// then returns the text of that output as a new str, made with the lock
// released. Whatever else the wait finds out, the caller's lambda keeps in
// its own variables:
//
//   Status status;
//   PyRef text = wait_for_text([&] { auto r = core.wait(args); status = r.status; return std::move(r.raw); });
template <class Wait>
PyRef wait_for_text(Wait&& wait) {
  session::ReadOutput out;
  detail::Utf8Text text;
  bool into_str = false;
  {
    AllowThreads released;
    out = detail::as_read_output(std::forward<Wait>(wait)());
    into_str = detail::cleans_into_str(out);
    if (!into_str) text = detail::utf8_of(out);
  }
  if (into_str) return detail::str_cleaned_into(out.raw.view(), &out.raw, true);
  ByteBuffer& spent = out.made ? out.text : out.cleaned;
  return detail::str_from_utf8(text, text.utf8().size() >= TEXT_INTO_STR_BYTES, &spent);
}

}  // namespace morvik::ext
