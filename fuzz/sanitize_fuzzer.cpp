// libFuzzer target for the cleaning routine (escape and control filter, then
// UTF-8 decoding with replacement). Owns the invariants every cleaned text
// must meet and the small, independent references it is held to: a filter
// that reads one escape at a time, a byte at a time decoder, and the place
// where a read may end, all written here from the rules rather than from the
// code under test. Must never link Python or the
// session, and never call into the routine to build its own expectations: a
// reference that reuses the code it checks proves nothing.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "text/cleaning.h"
#include "text/read_end.h"
#include "text/utf8.h"

namespace {

using u8 = unsigned char;

constexpr u8 BEL = 0x07;
constexpr u8 TAB = 0x09;
constexpr u8 LF = 0x0A;
constexpr u8 CR = 0x0D;
constexpr u8 ESC = 0x1B;
constexpr char REPLACEMENT[] = "\xEF\xBF\xBD";

[[noreturn]] void fail(const char* what, std::string_view input) {
  std::fprintf(stderr, "cleaning invariant broken: %s\ninput (%zu bytes):", what, input.size());
  for (std::size_t i = 0; i < input.size() && i < 256; ++i) {
    std::fprintf(stderr, " %02x", static_cast<u8>(input[i]));
  }
  std::fprintf(stderr, "\n");
  std::abort();
}

constexpr bool is_cancel(u8 c) { return c == 0x18 || c == 0x1A; }

// Where the escape that starts with the ESC at in[i] ends, by the rules:
// the index of the first byte after it, and whether the input ran out
// inside it (then the index is the input's length).
struct EscapeEnd {
  std::size_t next;
  bool open;
};

EscapeEnd reference_escape(std::string_view in, std::size_t i) {
  const std::size_t n = in.size();
  auto at = [&](std::size_t k) { return static_cast<u8>(in[k]); };
  if (i + 1 == n) return {n, true};
  const u8 kind = at(i + 1);
  std::size_t j = i + 2;
  if (kind == '[') {
    for (; j < n; ++j) {
      if ((at(j) >= 0x40 && at(j) <= 0x7E) || is_cancel(at(j))) return {j + 1, false};
    }
    return {n, true};
  }
  if (kind == ']' || kind == 'P' || kind == '^' || kind == '_') {
    for (; j < n; ++j) {
      if (at(j) == ESC) return {j, false};  // ends the string, starts the next escape
      if (is_cancel(at(j)) || (kind == ']' && at(j) == BEL)) return {j + 1, false};
    }
    return {n, true};
  }
  if (kind >= 0x20 && kind <= 0x2F) {
    while (j < n && at(j) >= 0x20 && at(j) <= 0x2F) ++j;
    if (j == n) return {n, true};
    return {at(j) >= 0x20 && at(j) <= 0x7E ? j + 1 : j, false};  // a final byte belongs to it, nothing else
  }
  return {i + 2, false};
}

// The filter's table, read one escape at a time: the first matching rule wins.
std::string reference_strip(std::string_view in) {
  std::string out;
  for (std::size_t i = 0; i < in.size();) {
    const u8 c = static_cast<u8>(in[i]);
    if (c == ESC) {
      i = reference_escape(in, i).next;
      continue;
    }
    if (c >= 0x20 || c == TAB || c == LF) out.push_back(static_cast<char>(c));
    ++i;
  }
  return out;
}

// Length of the well-formed sequence that lead byte `b` opens, and the range
// its second byte must fall in (Unicode Table 3-7); 0 for a byte that can
// open nothing.
struct Lead {
  int length;
  u8 low;
  u8 high;
};

Lead lead_of(u8 b) {
  if (b >= 0xC2 && b <= 0xDF) return {2, 0x80, 0xBF};
  if (b == 0xE0) return {3, 0xA0, 0xBF};
  if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) return {3, 0x80, 0xBF};
  if (b == 0xED) return {3, 0x80, 0x9F};
  if (b == 0xF0) return {4, 0x90, 0xBF};
  if (b >= 0xF1 && b <= 0xF3) return {4, 0x80, 0xBF};
  if (b == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

// How many bytes from `i` on belong to the sequence that starts there: the
// whole sequence when it is well-formed (*complete set), otherwise the
// maximal subpart, at least one byte.
std::size_t sequence_at(std::string_view s, std::size_t i, bool* complete) {
  const u8 b = static_cast<u8>(s[i]);
  *complete = false;
  if (b < 0x80) {
    *complete = true;
    return 1;
  }
  const Lead lead = lead_of(b);
  if (lead.length == 0) return 1;
  std::size_t k = 1;
  while (k < static_cast<std::size_t>(lead.length) && i + k < s.size()) {
    const u8 c = static_cast<u8>(s[i + k]);
    const u8 low = k == 1 ? lead.low : 0x80;
    const u8 high = k == 1 ? lead.high : 0xBF;
    if (c < low || c > high) break;
    ++k;
  }
  *complete = k == static_cast<std::size_t>(lead.length);
  return k;
}

std::string reference_decode(std::string_view s) {
  std::string out;
  std::size_t i = 0;
  while (i < s.size()) {
    bool complete = false;
    const std::size_t k = sequence_at(s, i, &complete);
    if (complete) out.append(s.substr(i, k));
    else out.append(REPLACEMENT);
    i += k;
  }
  return out;
}

bool well_formed(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    bool complete = false;
    i += sequence_at(s, i, &complete);
    if (!complete) return false;
  }
  return true;
}

// What a read keeps back at the end of `in`: from the ESC of an escape that
// the input ends inside, or from the first kept byte of a character that
// the kept bytes end inside, whichever is first; 0 when that is more than
// the bound.
std::size_t reference_tail(std::string_view in) {
  std::string kept;
  std::vector<std::size_t> source;  // where each kept byte came from
  std::size_t start = in.size();
  for (std::size_t i = 0; i < in.size();) {
    const u8 c = static_cast<u8>(in[i]);
    if (c == ESC) {
      const EscapeEnd e = reference_escape(in, i);
      if (e.open) {
        start = i;
        break;
      }
      i = e.next;
      continue;
    }
    if (c >= 0x20 || c == TAB || c == LF) {
      kept.push_back(static_cast<char>(c));
      source.push_back(i);
    }
    ++i;
  }
  std::size_t unit = 0;
  while (unit < kept.size()) {
    bool complete = false;
    const std::size_t len = sequence_at(kept, unit, &complete);
    if (unit + len == kept.size() && !complete && lead_of(static_cast<u8>(kept[unit])).length > 0) {
      start = std::min(start, source[unit]);
    }
    unit += len;
  }
  const std::size_t held = in.size() - start;
  return held <= morvik::text::MAX_HELD_TAIL_BYTES ? held : 0;
}

bool only_kept_bytes(std::string_view s) {
  for (const char ch : s) {
    const u8 c = static_cast<u8>(ch);
    if (c == ESC || c == CR) return false;
    if (c < 0x20 && c != TAB && c != LF) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace morvik::text;
  const std::string_view in(reinterpret_cast<const char*>(data), size);

  const std::string stripped = strip_terminal_bytes(in);
  if (stripped.size() > in.size()) fail("filtered bytes longer than the input", in);
  if (!only_kept_bytes(stripped)) fail("ESC, CR or a dropped control byte survived the filter", in);
  const std::string expected_strip = reference_strip(in);
  if (stripped != expected_strip) fail("filter differs from the byte at a time reading", in);
  if (detail::strip_terminal_bytes_portable(in) != stripped) {
    fail("portable filter differs from the vector filter", in);
  }

  const std::string cleaned = sanitize_for_agent(in);
  if (!well_formed(cleaned)) fail("cleaned text is not well-formed UTF-8", in);
  if (!only_kept_bytes(cleaned)) fail("cleaned text holds a control byte", in);
  if (cleaned != reference_decode(expected_strip)) fail("cleaned text differs from the reference", in);
  if (detail::sanitize_for_agent_portable(in) != cleaned) {
    fail("portable cleaning differs from the vector cleaning", in);
  }
  // Clean text is a fixed point: nothing in it opens a sequence or is dropped.
  if (sanitize_for_agent(cleaned) != cleaned) fail("cleaning clean text changed it", in);

  // Where a read of the first k bytes may end: the reference's place, and
  // one from which cleaning the two parts gives the text of the whole.
  if (incomplete_tail_length(in) != reference_tail(in)) fail("held tail differs from the reference", in);
  const std::size_t k = size == 0 ? 0 : size * data[0] / 256;
  const std::size_t cut = k - incomplete_tail_length(in.substr(0, k));
  if (sanitize_for_agent(in.substr(0, cut)) + sanitize_for_agent(in.substr(cut)) != cleaned) {
    fail("cleaning the parts of a read split at its held tail differs from cleaning the whole", in);
  }

  // The decoder alone, on raw bytes that still hold controls and escapes.
  std::string decoded = "prefix:";
  append_utf8_with_replacement(in, decoded);
  if (decoded != "prefix:" + reference_decode(in)) fail("decoder differs from the reference", in);
  return 0;
}
