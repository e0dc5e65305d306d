// The cleaning filter's portable and SSE2 paths, and the choice of path. It
// must never keep state between calls, take a lock, step back over bytes it
// has passed, or grow its output while filtering: it runs with the
// interpreter lock released, on any thread, and on the whole 4 MiB history at
// once, so its cost has to stay one pass over the input.
#include "cleaning.h"

#include <algorithm>

#include "grammar.h"
#include "read_end.h"

namespace morvik::text {

namespace {

template <Scan S>
std::string strip(std::string_view raw) {
  if (raw.empty()) return {};
  // Sized once at the input's length: the filter only ever drops bytes.
  std::string out(raw.size(), '\0');
  const std::size_t len = strip_into<S>(reinterpret_cast<const u8*>(raw.data()), raw.size(),
                                        reinterpret_cast<u8*>(out.data()));
  out.resize(len);
  return out;
}

// No early exit, so the loop vectorises.
bool all_ascii(const u8* p, std::size_t n) {
  u8 seen = 0;
  for (std::size_t i = 0; i < n; ++i) seen |= p[i];
  return seen < 0x80;
}

// How many bytes at the end of `text` begin a character that they do not
// finish: at most three, and only after a lead byte that asks for more.
std::size_t partial_character_length(std::string_view text) {
  const auto* p = reinterpret_cast<const u8*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t k = 1; k <= 3 && k <= n; ++k) {
    const u8 b = p[n - k];
    if (b < 0x80) return 0;
    if (b < 0xC0) continue;  // a continuation byte: look for its lead
    const std::size_t length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
    return length > k ? k : 0;
  }
  return 0;
}

template <Scan S>
CleanedBytes clean(std::string_view raw, char* out) {
  auto* bytes = reinterpret_cast<u8*>(out);
  const std::size_t n = strip_into<S>(reinterpret_cast<const u8*>(raw.data()), raw.size(), bytes);
  return {n, scan_utf8<S>(bytes, 0, n).bad_len == 0, all_ascii(bytes, n)};
}

template <Scan S>
std::string sanitize(std::string_view raw) {
  std::string bytes = strip<S>(raw);
  const auto* p = reinterpret_cast<const u8*>(bytes.data());
  const Utf8Scan first = scan_utf8<S>(p, 0, bytes.size());
  // Terminal output is nearly always well formed: then the filtered bytes
  // are the text, and nothing is copied again.
  if (first.bad_len == 0) return bytes;
  std::string text;
  text.reserve(decoded_size<S>(p, bytes.size(), first));
  append_decoded<S>(p, bytes.size(), first, text);
  return text;
}

}  // namespace

std::string sanitize_for_agent(std::string_view raw) {
  if (detail::avx2_supported()) return detail::sanitize_for_agent_avx2(raw);
  return sanitize<Scan::Vector>(raw);
}

void OutputCleaner::advance(std::string_view raw, ByteBuffer& out) {
  if (stopped_ || raw.size() - settled_ < CLEAN_AHEAD_BYTES) return;
  const std::string_view piece = raw.substr(settled_);
  char* room = out.append_space(piece.size());
  std::size_t consumed = 0;
  const std::size_t n = detail::strip_until(piece, room, piece.size() - CLEAN_TAIL_BYTES, consumed);
  // Where the filter stopped is a point between escapes, unless an escape
  // that began before the stop ran to the end of what has come (finished or
  // not, the filter cannot tell); and only a stop clear of the end that the
  // read may cut back is settled. Otherwise nothing is committed.
  if (settled_ + consumed > raw.size() - MAX_HELD_TAIL_BYTES) {
    stopped_ = true;
    return;
  }
  ascii_ = ascii_ && all_ascii(reinterpret_cast<const u8*>(room), n);
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
  if (!is_well_formed_utf8(part)) {
    well_formed_ = false;
    return;
  }
  const Utf8Shape s = measure_utf8(part);
  shape_.characters += s.characters;
  shape_.max_character = std::max(shape_.max_character, s.max_character);
}

std::optional<Utf8Shape> OutputCleaner::shape(std::string_view text) const {
  OutputCleaner whole = *this;
  whole.ascii_ = false;
  whole.measure(text, text.size());
  if (!whole.well_formed_) return std::nullopt;
  return whole.shape_;
}

bool is_well_formed_utf8(std::string_view bytes) {
  if (detail::avx2_supported()) return detail::is_well_formed_utf8_avx2(bytes);
  return scan_utf8<Scan::Vector>(reinterpret_cast<const u8*>(bytes.data()), 0, bytes.size()).bad_len == 0;
}

CleanedBytes clean_into(std::string_view raw, char* out) {
  if (detail::avx2_supported()) return detail::clean_into_avx2(raw, out);
  return clean<Scan::Vector>(raw, out);
}

std::string strip_terminal_bytes(std::string_view raw) {
  if (detail::avx2_supported()) return detail::strip_terminal_bytes_avx2(raw);
  return strip<Scan::Vector>(raw);
}

namespace detail {

std::size_t strip_until(std::string_view raw, char* out, std::size_t stop, std::size_t& consumed) {
  if (avx2_supported()) return strip_until_avx2(raw, out, stop, consumed);
  std::size_t i = 0;
  std::size_t o = 0;
  strip_span<Scan::Vector>(reinterpret_cast<const u8*>(raw.data()), raw.size(), reinterpret_cast<u8*>(out), i, o, stop);
  consumed = i;
  return o;
}

std::size_t strip_until_portable(std::string_view raw, char* out, std::size_t stop, std::size_t& consumed) {
  std::size_t i = 0;
  std::size_t o = 0;
  strip_span<Scan::Word>(reinterpret_cast<const u8*>(raw.data()), raw.size(), reinterpret_cast<u8*>(out), i, o, stop);
  consumed = i;
  return o;
}

std::string sanitize_for_agent_portable(std::string_view raw) { return sanitize<Scan::Word>(raw); }

std::string strip_terminal_bytes_portable(std::string_view raw) { return strip<Scan::Word>(raw); }

CleanedBytes clean_into_portable(std::string_view raw, char* out) { return clean<Scan::Word>(raw, out); }

std::string sanitize_for_agent_sse2(std::string_view raw) { return sanitize<Scan::Vector>(raw); }

std::string strip_terminal_bytes_sse2(std::string_view raw) { return strip<Scan::Vector>(raw); }

CleanedBytes clean_into_sse2(std::string_view raw, char* out) { return clean<Scan::Vector>(raw, out); }

}  // namespace detail

}  // namespace morvik::text
