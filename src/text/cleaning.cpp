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

CleanedBytes clean_into(std::string_view raw, char* out) {
  if (detail::avx2_supported()) return detail::clean_into_avx2(raw, out);
  return clean<Scan::Vector>(raw, out);
}

std::string strip_terminal_bytes(std::string_view raw) {
  if (detail::avx2_supported()) return detail::strip_terminal_bytes_avx2(raw);
  return strip<Scan::Vector>(raw);
}

namespace detail {

std::string sanitize_for_agent_portable(std::string_view raw) { return sanitize<Scan::Word>(raw); }

std::string strip_terminal_bytes_portable(std::string_view raw) { return strip<Scan::Word>(raw); }

CleanedBytes clean_into_portable(std::string_view raw, char* out) { return clean<Scan::Word>(raw, out); }

std::string sanitize_for_agent_sse2(std::string_view raw) { return sanitize<Scan::Vector>(raw); }

std::string strip_terminal_bytes_sse2(std::string_view raw) { return strip<Scan::Vector>(raw); }

CleanedBytes clean_into_sse2(std::string_view raw, char* out) { return clean<Scan::Vector>(raw, out); }

}  // namespace detail

}  // namespace morvik::text
