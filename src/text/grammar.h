// The grammar of raw terminal output as the cleaning filter reads it: which
// bytes end a plain run, where each kind of escape ends, and how UTF-8 is
// scanned. Shared by the filter's paths, the read-end analysis and (through
// what cleaning.h exposes) the line renderer and the screen model's scan, so
// that no two of them can disagree about where an escape or a character ends.
// Internal to src/text: every definition has internal linkage, so each file
// gets its own copy compiled with its own target options (the AVX2 file's
// included), and the linker can never swap one for another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "text/cleaning.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#define MORVIK_HAVE_SSE2 1
#else
#define MORVIK_HAVE_SSE2 0
#endif

namespace morvik::text {
namespace {

using u8 = unsigned char;

using grammar::BEL;
using grammar::CR;
using grammar::ESC;
using grammar::LF;
using grammar::SUB;
using grammar::TAB;
constexpr char REPLACEMENT_CHARACTER[] = "\xEF\xBF\xBD";  // U+FFFD
constexpr std::size_t REPLACEMENT_CHARACTER_LEN = 3;

// How the plain runs between interesting bytes are found. Vector falls back
// to Word where the compiler offers no SSE2.
enum class Scan { Vector, Word };

template <Scan S>
constexpr bool USE_SSE2 = S == Scan::Vector && MORVIK_HAVE_SSE2;

constexpr std::uint64_t ONE_PER_BYTE = 0x0101010101010101ULL;
constexpr std::uint64_t HIGH_BIT_PER_BYTE = 0x8080808080808080ULL;

// Every C0 control byte except TAB and LF is dropped or opens a sequence, so
// each one ends a plain run; ESC and CR are among them. A reader that moves a
// cursor (the line renderer) also stops at TAB, which moves it.
template <bool TabEnds = false>
constexpr bool ends_plain_run(u8 c) { return c < 0x20 && (TabEnds || c != TAB) && c != LF; }

// CAN (0x18) or SUB (0x1A): a terminal abandons whatever escape they
// interrupt, so they end every sequence and string.
constexpr bool is_cancel(u8 c) { return (c | 0x02) == SUB; }

// The bytes between ESC and the final byte of an escape such as ESC ( B.
constexpr bool is_intermediate(u8 c) { return c >= 0x20 && c <= 0x2F; }

inline std::uint64_t load_word(const u8* p) {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// True when some byte of `w` is below 0x20. The borrow of the subtraction
// can only raise extra flags above a byte that really is below 0x20, so the
// yes/no answer is exact.
inline bool word_has_c0(std::uint64_t w) {
  return ((w - ONE_PER_BYTE * 0x20) & ~w & HIGH_BIT_PER_BYTE) != 0;
}

#if MORVIK_HAVE_SSE2
// The bits of a 16-byte block whose bytes end a plain run.
template <bool TabEnds = false>
inline unsigned run_enders_sse2(__m128i v) {
  const __m128i c0 = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1F)), v);
  const __m128i lf = _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(LF)));
  const __m128i kept = TabEnds ? lf : _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(TAB))), lf);
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_andnot_si128(kept, c0)));
}
#endif

// The first byte at or after in[i] that ends a plain run, or `n`.
template <Scan S, bool TabEnds = false>
inline std::size_t plain_run_end(const u8* in, std::size_t i, std::size_t n) {
#if MORVIK_HAVE_SSE2
  if constexpr (USE_SSE2<S>) {
    while (n - i >= 16) {
      const unsigned stops = run_enders_sse2<TabEnds>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i)));
      if (stops != 0) return i + static_cast<unsigned>(__builtin_ctz(stops));
      i += 16;
    }
  }
#endif
  for (;;) {
    while (n - i >= 8 && !word_has_c0(load_word(in + i))) i += 8;
    // A word holding a C0 byte, or the tail: TAB and LF keep the run going.
    const std::size_t stop = n - i >= 8 ? i + 8 : n;
    while (i < stop && !ends_plain_run<TabEnds>(in[i])) ++i;
    if (i < stop || i == n) return i;
  }
}

// For a block copied whole up to its first stop, in[i + k]: moves both
// indices up to the stop and says whether the run goes on past it, which it
// does only with `CrLf` and a CR right before an LF (the CR is left out).
template <bool CrLf>
inline bool past_crlf(const u8* in, std::size_t n, std::size_t& i, std::size_t& o, unsigned k) {
  o += k;
  if (CrLf && in[i + k] == CR && n - i > k + 1 && in[i + k + 1] == LF) {
    i += k + 1;
    return true;
  }
  i += k;
  return false;
}

// Copies the plain bytes from in[i] to out[o] onwards, up to the next byte
// that ends a plain run or the end of the input, and advances both indices.
// With `CrLf`, a CR right before an LF is left out and the run goes on: for
// a reader to whom CR LF ends a line as LF does (the line renderer).
template <Scan S, bool TabEnds = false, bool CrLf = false>
inline void copy_plain_run(const u8* in, std::size_t n, std::size_t& i, u8* out, std::size_t& o) {
#if MORVIK_HAVE_SSE2
  if constexpr (USE_SSE2<S>) {
    // Each block is stored before it is known how much of it is plain, so
    // the run is read once. The output never runs ahead of the input and
    // both buffers are as long as the input, so the store stays in bounds;
    // bytes stored past the run are overwritten by later output or cut off
    // at the end.
    while (n - i >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + o), v);
      const unsigned stops = run_enders_sse2<TabEnds>(v);
      if (stops != 0) {
        if (past_crlf<CrLf>(in, n, i, o, static_cast<unsigned>(__builtin_ctz(stops)))) continue;
        return;
      }
      i += 16;
      o += 16;
    }
    // The last few bytes one by one: runs here are short, and a call to
    // memcpy costs more than the copy.
    for (;;) {
      while (i < n && !ends_plain_run<TabEnds>(in[i])) out[o++] = in[i++];
      if (!CrLf || n - i < 2 || in[i] != CR || in[i + 1] != LF) return;
      ++i;
    }
  }
#endif
  for (;;) {
    const std::size_t j = plain_run_end<S, TabEnds>(in, i, n);
    std::memcpy(out + o, in + i, j - i);
    o += j - i;
    i = j;
    if (!CrLf || n - i < 2 || in[i] != CR || in[i + 1] != LF) return;
    ++i;
  }
}

// Index just past the final byte (0x40 to 0x7E) of a control sequence whose
// parameters start at in[j], or past a CAN or SUB that cuts it short, or `n`
// when the input ends first.
template <Scan S>
inline std::size_t control_sequence_end(const u8* in, std::size_t j, std::size_t n) {
#if MORVIK_HAVE_SSE2
  if constexpr (USE_SSE2<S>) {
    // 0x40..0x7E plus 0x40 is 0x80..0xBE: below -65 as a signed byte.
    const __m128i shift = _mm_set1_epi8(0x40);
    const __m128i bound = _mm_set1_epi8(-65);
    const __m128i two = _mm_set1_epi8(0x02);
    const __m128i sub = _mm_set1_epi8(SUB);
    while (n - j >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + j));
      const unsigned finals = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(_mm_add_epi8(v, shift), bound)));
      const unsigned cancels = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_or_si128(v, two), sub)));
      // The end found from the final bytes alone is nearly always the end,
      // so a CAN or SUB is looked for beside it, not in its way.
      if (finals != 0) {
        const unsigned k = static_cast<unsigned>(__builtin_ctz(finals));
        if ((cancels & ((2u << k) - 1)) != 0) return j + static_cast<unsigned>(__builtin_ctz(cancels)) + 1;
        return j + k + 1;
      }
      if (cancels != 0) return j + static_cast<unsigned>(__builtin_ctz(cancels)) + 1;
      j += 16;
    }
  }
#endif
  for (; j < n; ++j) {
    if (static_cast<u8>(in[j] - 0x40) <= 0x7E - 0x40 || is_cancel(in[j])) return j + 1;
  }
  return n;
}

// For the ESC at in[j] that ends a string: past it and its `\` when the two
// are the terminator ESC \, else at it. (Left alone, ESC \ would go as a
// two-byte escape of its own: the same bytes dropped, one round later.)
inline std::size_t past_terminator(const u8* in, std::size_t j, std::size_t n) {
  return n - j >= 2 && in[j + 1] == '\\' ? j + 2 : j;
}

// End of a command string (OSC, DCS, PM or APC) whose body starts at in[j]:
// past a BEL (only when `bel_ends`), CAN or SUB, or past the terminator
// ESC \, or at any other ESC, which ends the string and starts the next
// escape. `n` when none comes.
template <Scan S>
inline std::size_t command_string_end(const u8* in, std::size_t j, std::size_t n, bool bel_ends) {
#if MORVIK_HAVE_SSE2
  if constexpr (USE_SSE2<S>) {
    const __m128i esc = _mm_set1_epi8(ESC);
    const __m128i bel = _mm_set1_epi8(bel_ends ? static_cast<char>(BEL) : static_cast<char>(ESC));
    const __m128i two = _mm_set1_epi8(0x02);
    const __m128i sub = _mm_set1_epi8(SUB);
    while (n - j >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + j));
      const __m128i ends = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, esc), _mm_cmpeq_epi8(v, bel)),
                                        _mm_cmpeq_epi8(_mm_or_si128(v, two), sub));
      const unsigned hits = static_cast<unsigned>(_mm_movemask_epi8(ends));
      if (hits != 0) {
        j += static_cast<unsigned>(__builtin_ctz(hits));
        return in[j] != ESC ? j + 1 : past_terminator(in, j, n);
      }
      j += 16;
    }
  }
#endif
  for (;;) {
    // Every byte that ends a string is below 0x20: skip words without one.
    while (n - j >= 8 && !word_has_c0(load_word(in + j))) j += 8;
    const std::size_t stop = n - j >= 8 ? j + 8 : n;
    for (; j < stop; ++j) {
      const u8 c = in[j];
      if (c == ESC) return past_terminator(in, j, n);
      if ((c == BEL && bel_ends) || is_cancel(c)) return j + 1;
    }
    if (j == n) return n;
  }
}

// End of an escape whose intermediate bytes start at in[j]: past the final
// byte (0x30 to 0x7E) that follows them, or at any other byte, which ends
// the escape without belonging to it. `n` when the input ends first.
inline std::size_t intermediates_end(const u8* in, std::size_t j, std::size_t n) {
  while (j < n && is_intermediate(in[j])) ++j;
  if (j == n) return n;
  return static_cast<u8>(in[j] - 0x30) <= 0x7E - 0x30 ? j + 1 : j;
}

// Index just past the escape that starts with the ESC at in[i], whatever
// its kind, or `n` when the input ends inside it.
template <Scan S>
inline std::size_t escape_end(const u8* in, std::size_t i, std::size_t n) {
  if (n - i == 1) return n;  // a lone ESC at the very end
  const u8 introducer = in[i + 1];
  i += 2;
  switch (introducer) {
    case '[':
      return control_sequence_end<S>(in, i, n);
    case ']':
      return command_string_end<S>(in, i, n, /*bel_ends=*/true);
    case 'P':
    case '^':
    case '_':
      return command_string_end<S>(in, i, n, /*bel_ends=*/false);
    default:
      // The introducer is the first intermediate byte; anything else makes
      // a two-byte escape, ESC ESC and ESC CAN included.
      if (is_intermediate(introducer)) return intermediates_end(in, i, n);
      return i;
  }
}

// For a part of an escape that starts at in[j] and whose end the search put
// at `n`: whether in[n - 1] is the byte that ends it, rather than the input
// running out inside it. A control sequence's parameters and final byte:
inline bool control_sequence_ends_last(const u8* in, std::size_t j, std::size_t n) {
  return n > j && (static_cast<u8>(in[n - 1] - 0x40) <= 0x7E - 0x40 || is_cancel(in[n - 1]));
}

// A command string's body and terminator:
inline bool command_string_ends_last(const u8* in, std::size_t j, std::size_t n, bool bel_ends) {
  if (n <= j) return false;
  const u8 last = in[n - 1];
  return (last == BEL && bel_ends) || is_cancel(last) || (n - j >= 2 && in[n - 2] == ESC && last == '\\');
}

// The intermediate and final bytes of an escape such as ESC ( B:
inline bool intermediates_end_last(const u8* in, std::size_t j, std::size_t n) {
  return n > j && static_cast<u8>(in[n - 1] - 0x30) <= 0x7E - 0x30;
}

// The same for a whole escape, whose ESC is at in[i].
inline bool ends_on_last_byte(const u8* in, std::size_t i, std::size_t n) {
  if (n - i < 2) return false;  // a lone ESC
  const u8 introducer = in[i + 1];
  switch (introducer) {
    case '[':
      return control_sequence_ends_last(in, i + 2, n);
    case ']':
      return command_string_ends_last(in, i + 2, n, /*bel_ends=*/true);
    case 'P':
    case '^':
    case '_':
      return command_string_ends_last(in, i + 2, n, /*bel_ends=*/false);
    default:
      if (is_intermediate(introducer)) return intermediates_end_last(in, i + 2, n);
      return true;  // a two-byte escape, both bytes there
  }
}

// The filter, from in[i] (which must not lie inside an escape) until it
// has passed `stop`, advancing both indices; it stops between escapes.
// `out` must have room for `n` bytes.
template <Scan S>
void strip_span(const u8* in, std::size_t n, u8* out, std::size_t& i, std::size_t& o, std::size_t stop) {
  while (i < stop) {
    copy_plain_run<S>(in, n, i, out, o);
    if (i >= n) return;
    if (in[i] != ESC) {  // CR, BEL, backspace and the other controls
      ++i;
      continue;
    }
    i = escape_end<S>(in, i, n);
  }
}

// The filter, from in[i] (which must not lie inside an escape) onwards.
// Returns how many bytes `out` holds in all. strip_span with no bound, kept
// apart from it: the bound's test costs the colour-heavy log 3% here.
template <Scan S>
std::size_t strip_into(const u8* in, std::size_t n, u8* out, std::size_t i = 0, std::size_t o = 0) {
  for (;;) {
    copy_plain_run<S>(in, n, i, out, o);
    if (i >= n) return o;
    if (in[i] != ESC) {  // CR, BEL, backspace and the other controls
      ++i;
      continue;
    }
    i = escape_end<S>(in, i, n);
  }
}

// Where a UTF-8 scan stopped: p[.., valid_end) is well formed, and an
// ill-formed subsequence of `bad_len` bytes starts there (0: end of input).
struct Utf8Scan {
  std::size_t valid_end;
  std::size_t bad_len;
};

// What a lead byte promises: the length of the character it begins and the
// range its second byte must lie in (the range is what rules out overlong
// forms, surrogates and values above U+10FFFF). false for a continuation
// byte, C0, C1 or F5 to FF: never a lead.
struct LeadShape {
  std::size_t length;
  u8 lo;
  u8 hi;
};

inline bool lead_shape(u8 lead, LeadShape& shape) {
  shape = {0, 0x80, 0xBF};
  if (lead >= 0xC2 && lead <= 0xDF) {
    shape.length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    shape.length = 3;
    if (lead == 0xE0) shape.lo = 0xA0;
    if (lead == 0xED) shape.hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    shape.length = 4;
    if (lead == 0xF0) shape.lo = 0x90;
    if (lead == 0xF4) shape.hi = 0x8F;
  } else {
    return false;
  }
  return true;
}

// For a byte of 0x80 and above at p[i]: the length of the well-formed
// character it starts, or 0 with `bad_len` set to the length of the maximal
// subpart, the longest run that could still begin some well-formed character.
inline std::size_t well_formed_length(const u8* p, std::size_t i, std::size_t n, std::size_t& bad_len) {
  LeadShape shape;
  if (!lead_shape(p[i], shape) || n - i < 2 || p[i + 1] < shape.lo || p[i + 1] > shape.hi) {
    bad_len = 1;
    return 0;
  }
  for (std::size_t k = 2; k < shape.length; ++k) {
    if (n - i <= k || (p[i + k] & 0xC0) != 0x80) {
      bad_len = k;
      return 0;
    }
  }
  return shape.length;
}

template <Scan S>
inline void skip_ascii(const u8* p, std::size_t& i, std::size_t n) {
#if MORVIK_HAVE_SSE2
  if constexpr (USE_SSE2<S>) {
    while (n - i >= 16) {
      const unsigned high = static_cast<unsigned>(
          _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i))));
      if (high != 0) {
        i += static_cast<unsigned>(__builtin_ctz(high));
        return;
      }
      i += 16;
    }
  }
#endif
  while (n - i >= 8 && (load_word(p + i) & HIGH_BIT_PER_BYTE) == 0) i += 8;
  while (i < n && p[i] < 0x80) ++i;
}

template <Scan S>
Utf8Scan scan_utf8(const u8* p, std::size_t i, std::size_t n) {
  for (;;) {
    skip_ascii<S>(p, i, n);
    if (i == n) return {n, 0};
    // Characters of 0x80 and up tend to come in runs (box drawing, bars,
    // non-Latin text): stay here until the next ASCII byte.
    do {
      std::size_t bad_len = 0;
      const std::size_t len = well_formed_length(p, i, n, bad_len);
      if (len == 0) return {i, bad_len};
      i += len;
    } while (i < n && p[i] >= 0x80);
  }
}

// Exact size of the decoded text, so that it is allocated once.
template <Scan S>
std::size_t decoded_size(const u8* p, std::size_t n, Utf8Scan s) {
  std::size_t size = 0;
  std::size_t i = 0;
  for (;;) {
    size += s.valid_end - i;
    if (s.bad_len == 0) return size;
    size += REPLACEMENT_CHARACTER_LEN;
    i = s.valid_end + s.bad_len;
    s = scan_utf8<S>(p, i, n);
  }
}

template <Scan S>
void append_decoded(const u8* p, std::size_t n, Utf8Scan s, std::string& out) {
  std::size_t i = 0;
  for (;;) {
    out.append(reinterpret_cast<const char*>(p) + i, s.valid_end - i);
    if (s.bad_len == 0) return;
    out.append(REPLACEMENT_CHARACTER, REPLACEMENT_CHARACTER_LEN);
    i = s.valid_end + s.bad_len;
    s = scan_utf8<S>(p, i, n);
  }
}

}  // namespace
}  // namespace morvik::text
