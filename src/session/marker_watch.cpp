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
    if (p.text.empty() || p.text.find("\xEF\xBF\xBD") != std::string::npos) {
      always_clean_ = true;
    } else {
      p.border.assign(p.text.size() + 1, 0);
      for (std::size_t j = 2, b = 0; j <= p.text.size(); ++j) {
        while (b != 0 && p.text[j - 1] != p.text[b]) b = p.border[b];
        if (p.text[j - 1] == p.text[b]) ++b;
        p.border[j] = b;
      }
    }
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
    // Two-way search (glibc): linear, where a naive find is window x marker.
    if (::memmem(window.data(), window.size(), m.data(), m.size()) != nullptr) return true;
  }
  return false;
}

// Reads every byte from p.next on, once, with the marker's prefix automaton
// (Knuth-Morris-Pratt): how much of the marker ends the bytes read is known
// at each byte without comparing a start again, so the watch is linear in
// the output whatever the marker's length. A candidate is recorded at a
// conservative start: a later one than the real start only costs a clean.
void MarkerWatch::judge_new_starts(Probe& p, std::string_view all) {
  const std::string& m = p.text;
  std::size_t i = p.next;
  std::size_t k = p.matched;
  while (i < all.size()) {
    if (k == 0) {
      // Nothing of the marker is open: only its first byte can start one.
      const void* hit = std::memchr(all.data() + i, m[0], all.size() - i);
      if (hit == nullptr) {
        i = all.size();
        break;
      }
      i = static_cast<std::size_t>(static_cast<const char*>(hit) - all.data()) + 1;
      k = 1;
    } else {
      const char c = all[i];
      // A first part of the marker, then a byte that starts a dropped token.
      if (drops_and_starts_a_token(static_cast<unsigned char>(c))) {
        last_candidate_ = std::max(last_candidate_.value_or(0), i - 1);
      }
      while (k != 0 && m[k] != c) k = p.border[k];
      if (m[k] == c) ++k;
      ++i;
    }
    if (k == m.size()) {
      last_candidate_ = std::max(last_candidate_.value_or(0), i - m.size());
      k = p.border[k];
    }
  }
  p.next = i;
  p.matched = k;
}

}  // namespace morvik::session
