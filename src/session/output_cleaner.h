// Cleaning a wait's output while it is still being collected, so that
// little is left to clean when the wait ends: the cleaning of a large result
// then runs while the program is still writing it, not after the prompt.
// A piece is cleaned only up to a point where the filter stands between
// escapes, and never within the last MAX_HELD_TAIL_BYTES of what has come,
// which the wait may still cut back (held_tail.h): so the cleaning of
// raw[0, settled()) followed by text::clean_into of the rest, whatever the
// rest turns out to be, is exactly text::clean_into of the whole.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "base/byte_buffer.h"
#include "text/utf8.h"

namespace morvik::session {

class OutputCleaner {
 public:
  // How much has to be waiting before a piece is cleaned, and how much of
  // its end is left for the next piece.
  static constexpr std::size_t CLEAN_AHEAD_BYTES = std::size_t{1} << 20;  // 1 MiB
  static constexpr std::size_t CLEAN_TAIL_BYTES = std::size_t{16} << 10;  // 16 KiB

  // `raw` is the output so far (it only grows between calls); cleans what
  // has settled of it onto the end of `out`, once enough has come, and
  // measures the text it wrote while that is still in the cache.
  void advance(std::string_view raw, ByteBuffer& out);
  // How much of the output is cleaned, and whether all of that is ASCII.
  std::size_t settled() const noexcept { return settled_; }
  bool ascii() const noexcept { return ascii_; }
  // `text` is everything advance wrote with the cleaning of the rest of the
  // output after it: the shape of the whole, when it is well formed.
  std::optional<text::Utf8Shape> shape(std::string_view text) const;

 private:
  void measure(std::string_view text, std::size_t upto);

  std::size_t settled_ = 0;
  bool ascii_ = true;
  // An escape that ran to the end of a piece: where it ends cannot be told
  // before the wait does, so the rest is left to the wait's end.
  bool stopped_ = false;
  // text[0, measured_) is measured: well formed so far, and of that shape.
  std::size_t measured_ = 0;
  bool well_formed_ = true;
  text::Utf8Shape shape_{0, 0x7F};
};

}  // namespace morvik::session
