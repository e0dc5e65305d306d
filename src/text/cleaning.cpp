// The cleaning filter's portable and SSE2 paths, and the choice of path. It
// must never keep state between calls, take a lock, step back over bytes it
// has passed, or grow its output while filtering: it runs with the
// interpreter lock released, on any thread, and on the whole 4 MiB history at
// once, so its cost has to stay one pass over the input.
#include "cleaning.h"

#include "grammar.h"

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

std::size_t strip_until(std::string_view raw, char* out, std::size_t stop, std::size_t& consumed) {
  if (detail::avx2_supported()) return detail::strip_until_avx2(raw, out, stop, consumed);
  std::size_t i = 0;
  std::size_t o = 0;
  strip_span<Scan::Vector>(reinterpret_cast<const u8*>(raw.data()), raw.size(), reinterpret_cast<u8*>(out), i, o, stop);
  consumed = i;
  return o;
}

CleanedBytes clean_into(std::string_view raw, char* out) {
  if (detail::avx2_supported()) return detail::clean_into_avx2(raw, out);
  return clean<Scan::Vector>(raw, out);
}

std::string strip_terminal_bytes(std::string_view raw) {
  if (detail::avx2_supported()) return detail::strip_terminal_bytes_avx2(raw);
  return strip<Scan::Vector>(raw);
}

namespace grammar {

std::size_t plain_run_end(const unsigned char* in, std::size_t i, std::size_t n, bool tab_ends) noexcept {
  return tab_ends ? text::plain_run_end<Scan::Vector, true>(in, i, n)
                  : text::plain_run_end<Scan::Vector, false>(in, i, n);
}

// copy_plain_run is in cleaning_avx2.cpp, beside the path it picks first.

Extent escape_extent(const unsigned char* in, std::size_t i, std::size_t n) noexcept {
  const std::size_t end = escape_end<Scan::Vector>(in, i, n);
  return {end, end < n || ends_on_last_byte(in, i, n)};
}

Rest rest_after(unsigned char introducer) noexcept {
  switch (introducer) {
    case '[':
      return Rest::ControlSequence;
    case ']':
      return Rest::OperatingSystemCommand;
    case 'P':
    case '^':
    case '_':
      return Rest::OtherString;
    default:
      return is_intermediate(introducer) ? Rest::Intermediates : Rest::None;
  }
}

Extent rest_extent(Rest rest, const unsigned char* in, std::size_t j, std::size_t n) noexcept {
  std::size_t end = j;
  bool ends_last = true;
  switch (rest) {
    case Rest::ControlSequence:
      end = control_sequence_end<Scan::Vector>(in, j, n);
      ends_last = control_sequence_ends_last(in, j, n);
      break;
    case Rest::OperatingSystemCommand:
    case Rest::OtherString: {
      const bool bel_ends = rest == Rest::OperatingSystemCommand;
      end = command_string_end<Scan::Vector>(in, j, n, bel_ends);
      ends_last = command_string_ends_last(in, j, n, bel_ends);
      break;
    }
    case Rest::Intermediates:
      end = intermediates_end(in, j, n);
      ends_last = intermediates_end_last(in, j, n);
      break;
    case Rest::None:
    case Rest::Introducer:
      break;
  }
  return {end, end < n || ends_last};
}

}  // namespace grammar

namespace detail {

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
