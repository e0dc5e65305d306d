// The wait's cleaning ahead. Must never settle a point the rest of the
// output could still move (an escape that runs on, an end the wait cuts
// back), and never measure a character before its last byte is there.
#include "output_cleaner.h"

#include <algorithm>

#include "text/cleaning.h"
#include "text/read_end.h"

namespace morvik::session {

namespace {

bool all_ascii(const char* p, std::size_t n) {
  unsigned char seen = 0;
  for (std::size_t i = 0; i < n; ++i) seen |= static_cast<unsigned char>(p[i]);
  return seen < 0x80;
}

// How many bytes at the end of `text` begin a character that they do not
// finish: at most three, and only after a lead byte that asks for more.
std::size_t partial_character_length(std::string_view text) {
  const std::size_t n = text.size();
  for (std::size_t k = 1; k <= 3 && k <= n; ++k) {
    const auto b = static_cast<unsigned char>(text[n - k]);
    if (b < 0x80) return 0;
    if (b < 0xC0) continue;  // a continuation byte: look for its lead
    const std::size_t length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
    return length > k ? k : 0;
  }
  return 0;
}

}  // namespace

void OutputCleaner::advance(std::string_view raw, ByteBuffer& out) {
  if (stopped_ || raw.size() - settled_ < CLEAN_AHEAD_BYTES) return;
  const std::string_view piece = raw.substr(settled_);
  char* room = out.append_space(piece.size());
  std::size_t consumed = 0;
  const std::size_t n = text::strip_until(piece, room, piece.size() - CLEAN_TAIL_BYTES, consumed);
  // Where the filter stopped is a point between escapes, unless an escape
  // that began before the stop ran to the end of what has come (finished or
  // not, the filter cannot tell); and only a stop clear of the end that the
  // wait may cut back is settled. Otherwise nothing is committed.
  if (settled_ + consumed > raw.size() - text::MAX_HELD_TAIL_BYTES) {
    stopped_ = true;
    return;
  }
  ascii_ = ascii_ && all_ascii(room, n);
  out.commit(n);
  settled_ += consumed;
  // Up to the last whole character: the rest of one cut by the piece's end
  // is measured with the next piece.
  measure(out.view(), out.size() - partial_character_length(out.view()));
}

void OutputCleaner::measure(std::string_view text, std::size_t upto) {
  if (!well_formed_ || upto <= measured_) return;
  const std::string_view part = text.substr(measured_, upto - measured_);
  measured_ = upto;
  // Well-formed parts that each end on a whole character make a
  // well-formed whole, with their characters added up.
  if (ascii_) {
    shape_.characters += part.size();
    return;
  }
  if (!text::is_well_formed_utf8(part)) {
    well_formed_ = false;
    return;
  }
  const text::Utf8Shape s = text::measure_utf8(part);
  shape_.characters += s.characters;
  shape_.max_character = std::max(shape_.max_character, s.max_character);
}

std::optional<text::Utf8Shape> OutputCleaner::shape(std::string_view text) const {
  OutputCleaner whole = *this;
  whole.ascii_ = false;
  whole.measure(text, text.size());
  if (!whole.well_formed_) return std::nullopt;
  return whole.shape_;
}

}  // namespace morvik::session
