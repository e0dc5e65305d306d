// The one reference for the cleaning routine: the filter read one escape at a
// time, a decoder that replaces each maximal ill-formed subpart by one U+FFFD
// (Unicode Table 3-7), and the place where a read may end, all written from
// the rules rather than from the code under test. The C++ tests, the fuzzer
// and (through the test hooks library) the Python tests hold the routine to
// it. It must never call into the routine it checks: a reference that reuses
// the code it checks proves nothing. Slow on purpose; for tests only.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace morvik::reference {

using u8 = unsigned char;

inline constexpr u8 BEL = 0x07;
inline constexpr u8 TAB = 0x09;
inline constexpr u8 LF = 0x0A;
inline constexpr u8 ESC = 0x1B;
inline constexpr char REPLACEMENT[] = "\xEF\xBF\xBD";

constexpr bool is_cancel(u8 c) { return c == 0x18 || c == 0x1A; }
constexpr bool is_kept(u8 c) { return c >= 0x20 || c == TAB || c == LF; }

// Where the escape that starts with the ESC at in[i] ends, by the rules:
// the index of the first byte after it, and whether the input ran out
// inside it (then the index is the input's length).
struct EscapeEnd {
  std::size_t next;
  bool open;
};

inline EscapeEnd escape_end(std::string_view in, std::size_t i) {
  const std::size_t n = in.size();
  auto at = [&](std::size_t k) { return static_cast<u8>(in[k]); };
  if (i + 1 == n) return {n, true};
  const u8 kind = at(i + 1);
  std::size_t j = i + 2;
  if (kind == '[') {  // a control sequence: up to a final byte
    for (; j < n; ++j) {
      if ((at(j) >= 0x40 && at(j) <= 0x7E) || is_cancel(at(j))) return {j + 1, false};
    }
    return {n, true};
  }
  if (kind == ']' || kind == 'P' || kind == '^' || kind == '_') {  // a command string
    for (; j < n; ++j) {
      if (at(j) == ESC) return {j, false};  // ends the string, starts the next escape
      if (is_cancel(at(j)) || (kind == ']' && at(j) == BEL)) return {j + 1, false};
    }
    return {n, true};
  }
  if (kind >= 0x20 && kind <= 0x2F) {  // intermediates, then a final byte
    while (j < n && at(j) >= 0x20 && at(j) <= 0x2F) ++j;
    if (j == n) return {n, true};
    return {at(j) >= 0x30 && at(j) <= 0x7E ? j + 1 : j, false};  // a final byte belongs to it, nothing else
  }
  return {i + 2, false};
}

// The filter: escapes, CR and every C0 byte but TAB and LF dropped.
inline std::string strip(std::string_view in) {
  std::string out;
  for (std::size_t i = 0; i < in.size();) {
    const u8 c = static_cast<u8>(in[i]);
    if (c == ESC) {
      i = escape_end(in, i).next;
      continue;
    }
    if (is_kept(c)) out.push_back(static_cast<char>(c));
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

inline Lead lead_of(u8 b) {
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
inline std::size_t sequence_at(std::string_view s, std::size_t i, bool* complete) {
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

inline std::string decode(std::string_view s) {
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

inline bool well_formed(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    bool complete = false;
    i += sequence_at(s, i, &complete);
    if (!complete) return false;
  }
  return true;
}

inline std::string sanitize(std::string_view in) { return decode(strip(in)); }

// What a read keeps back at the end of `in`: from the ESC of an escape that
// the input ends inside, or from the first kept byte of a character that
// the kept bytes end inside, whichever is first; 0 when that is more than
// `max_held`.
inline std::size_t tail_length(std::string_view in, std::size_t max_held) {
  std::string kept;
  std::vector<std::size_t> source;  // where each kept byte came from
  std::size_t start = in.size();
  for (std::size_t i = 0; i < in.size();) {
    const u8 c = static_cast<u8>(in[i]);
    if (c == ESC) {
      const EscapeEnd e = escape_end(in, i);
      if (e.open) {
        start = i;
        break;
      }
      i = e.next;
      continue;
    }
    if (is_kept(c)) {
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
  return held <= max_held ? held : 0;
}

}  // namespace morvik::reference
