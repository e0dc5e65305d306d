// The read-end analysis. It must not look at more of the output than the read
// collected, keep state, or take a lock: it runs at the end of every read and
// wait. It reads the same grammar as the filter, through the same
// escape_end (grammar.h), so the two cannot disagree about where an escape
// ends.
#include "read_end.h"

#include <algorithm>

#include "grammar.h"

namespace morvik::text {

namespace {

// Whether b[0, k), 1 <= k <= 3, begins a well-formed UTF-8 character that
// needs more than k bytes: only then can later bytes still complete it.
// Anything else at the end is already settled, well-formed or not.
inline bool begins_longer_character(const u8* b, std::size_t k) {
  LeadShape shape;
  if (!lead_shape(b[0], shape) || k >= shape.length) return false;
  if (k >= 2 && (b[1] < shape.lo || b[1] > shape.hi)) return false;
  return k < 3 || (b[2] & 0xC0) == 0x80;
}

}  // namespace

std::size_t incomplete_tail_length(std::string_view raw, std::size_t max_held) {
  const auto* in = reinterpret_cast<const u8*>(raw.data());
  const std::size_t n = raw.size();
  // Only a tail of at most max_held bytes counts, so the reading starts that
  // far before the last max_held bytes: an escape that began further back
  // and ended before them has ended in this reading too, unless it is
  // longer than max_held, which is garbage the bound gives up on anyway.
  std::size_t i = n / 2 > max_held ? n - 2 * max_held : 0;
  // Positions of the newest kept bytes, oldest first: the filtered bytes
  // that the decoder will see last, whatever escapes lie between them.
  std::size_t kept[3];
  std::size_t kept_count = 0;
  std::size_t start = n;  // where the held part begins; n: nothing held
  while (i < n) {
    const std::size_t run_end = plain_run_end<Scan::Vector>(in, i, n);
    for (std::size_t k = std::max(i, run_end >= 3 ? run_end - 3 : 0); k < run_end; ++k) {
      if (kept_count == 3) {
        kept[0] = kept[1];
        kept[1] = kept[2];
        kept_count = 2;
      }
      kept[kept_count++] = k;
    }
    i = run_end;
    if (i == n) break;
    if (in[i] != ESC) {  // a control byte, dropped
      ++i;
      continue;
    }
    const std::size_t end = escape_end<Scan::Vector>(in, i, n);
    if (end == n && !ends_on_last_byte(in, i, n)) {
      start = i;
      break;
    }
    i = end;
  }
  // The last kept bytes may open a character that the next bytes finish.
  for (std::size_t j = kept_count; j-- > 0;) {
    const u8 b = in[kept[j]];
    if (b < 0x80) break;
    if (b < 0xC0) continue;  // a continuation byte: look for its lead
    u8 character[3];
    const std::size_t k = kept_count - j;
    for (std::size_t m = 0; m < k; ++m) character[m] = in[kept[j + m]];
    if (begins_longer_character(character, k)) start = std::min(start, kept[j]);
    break;
  }
  const std::size_t held = n - start;
  return held <= max_held ? held : 0;
}

}  // namespace morvik::text
