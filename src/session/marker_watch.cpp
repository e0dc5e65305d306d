// The marker test of the waits. Must give exactly the answer of cleaning the
// window and searching it, for every chunk; it may only skip that work where
// the raw bytes prove it would find nothing.
//
// Why the raw test never rules out a real match. Cleaning keeps a byte only
// as a token of its own, and every token it drops begins with a C0 byte
// other than TAB and LF (ESC, CR, BEL, ...); decoding replaces only
// ill-formed bytes, with U+FFFD. So a marker free of U+FFFD that shows in
// the cleaned window is made of raw bytes of the window that begin with the
// marker itself, contiguous, or with a first part of it followed by such a
// C0 byte (the first dropped token between two of its bytes). Such a start
// is a candidate, and with no candidate inside the window there is nothing
// to clean. Whether a start is a candidate depends only on the few bytes
// after it, so each start is judged once, as soon as they are there: the raw
// test reads each byte of a wait about once, where a search of the window
// per chunk would read it up to MARKER_WINDOW_BYTES / chunk size times.
#include "marker_watch.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "text/cleaning.h"
#include "text/utf8.h"

namespace morvik::session {

namespace {

constexpr bool drops_and_starts_a_token(unsigned char c) { return c < 0x20 && c != '\t' && c != '\n'; }

}  // namespace

MarkerWatch::MarkerWatch(const std::vector<std::string>& markers) {
  probes_.reserve(markers.size());
  for (const auto& m : markers) {
    Probe p;
    // Compared with cleaned text, so each marker is taken as decoded UTF-8.
    text::append_utf8_with_replacement(m, p.text);
    // The empty marker, and one with U+FFFD, match without raw bytes of
    // their own: their windows are always cleaned.
    if (p.text.empty() || p.text.find("\xEF\xBF\xBD") != std::string::npos) always_clean_ = true;
    probes_.push_back(std::move(p));
  }
}

bool MarkerWatch::seen(const ByteBuffer& collected) {
  const std::string_view all = collected.view();
  const std::size_t start = all.size() - std::min(all.size(), MARKER_WINDOW_BYTES);
  if (!always_clean_) {
    for (auto& p : probes_) judge_new_starts(p, all);
    if (!last_candidate_ || *last_candidate_ < start) return false;
  }
  const std::string window = text::sanitize_for_agent(all.substr(start));
  // A prompt usually ends the window, so test the end before searching.
  for (const auto& probe : probes_) {
    const std::string& m = probe.text;
    if (window.size() >= m.size() && window.compare(window.size() - m.size(), m.size(), m) == 0) return true;
    if (window.find(m) != std::string::npos) return true;
  }
  return false;
}

// Judges every start from p.next_start on whose bytes are all there.
void MarkerWatch::judge_new_starts(Probe& p, std::string_view all) {
  const std::string& m = p.text;
  std::size_t i = p.next_start;
  while (i < all.size()) {
    const void* hit = std::memchr(all.data() + i, m[0], all.size() - i);
    if (hit == nullptr) {
      i = all.size();
      break;
    }
    i = static_cast<std::size_t>(static_cast<const char*>(hit) - all.data());
    std::size_t j = 1;
    while (j < m.size() && i + j < all.size() && all[i + j] == m[j]) ++j;
    if (j < m.size() && i + j == all.size()) break;  // the byte that decides is still to come
    if (j == m.size() || drops_and_starts_a_token(static_cast<unsigned char>(all[i + j]))) {
      last_candidate_ = std::max(last_candidate_.value_or(0), i);
    }
    ++i;
  }
  p.next_start = i;
}

}  // namespace morvik::session
