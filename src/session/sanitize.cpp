// The cleaning routine: the escape and control filter and the UTF-8 decoder
// with replacement. It must never keep state between calls, take a lock,
// step back over bytes it has passed, or grow its output while filtering: it
// runs with the interpreter lock released, on any thread, and on the whole
// 4 MiB history at once, so its cost has to stay one pass over the input.

#include "sanitize.h"

#include <cstdint>
#include <cstring>

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#define MORVIK_HAVE_SSE2 1
#else
#define MORVIK_HAVE_SSE2 0
#endif

// The AVX2 path is compiled whatever the build's target, with per-function
// target options, and chosen at run time only on a processor that has it.
#if MORVIK_HAVE_SSE2 && defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#include <immintrin.h>
#define MORVIK_HAVE_AVX2_PATH 1
#else
#define MORVIK_HAVE_AVX2_PATH 0
#endif

namespace morvik::session {
namespace {

using u8 = unsigned char;

constexpr u8 BEL = 0x07;
constexpr u8 TAB = 0x09;
constexpr u8 LF = 0x0A;
constexpr u8 ESC = 0x1B;
constexpr u8 SUB = 0x1A;
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

// Copies the plain bytes from in[i] to out[o] onwards, up to the next byte
// that ends a plain run or the end of the input, and advances both indices.
// With `CrLf`, a CR right before an LF is left out and the run goes on: for
// a reader to whom CR LF ends a line as LF does (the line renderer).
template <Scan S, bool TabEnds = false, bool CrLf = false>
inline void copy_plain_run(const u8* in, std::size_t n, std::size_t& i, u8* out, std::size_t& o) {
  constexpr u8 CR = 0x0D;
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
        const unsigned k = static_cast<unsigned>(__builtin_ctz(stops));
        if (CrLf && in[i + k] == CR && n - i > k + 1 && in[i + k + 1] == LF) {
          i += k + 1;
          o += k;
          continue;
        }
        i += k;
        o += k;
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


// ---------------------------------------------------------------------------
// Where a read may end. The reads hand out what a terminal has shown so far,
// and a terminal shows nothing of a character or escape until its last byte
// has come: cleaning a piece that stops inside one would show half of it
// (U+FFFD, or the rest of a sequence read as text). The analysis below reads
// the same grammar as the filter, through the same escape_end, so the two
// cannot disagree about where an escape ends.

// For an escape at in[i] whose end the search put at `n`: whether in[n - 1]
// is the byte that ends it, rather than the input running out inside it.
inline bool ends_on_last_byte(const u8* in, std::size_t i, std::size_t n) {
  if (n - i < 2) return false;  // a lone ESC
  const u8 introducer = in[i + 1];
  const u8 last = in[n - 1];
  const bool has_body = n - i > 2;
  switch (introducer) {
    case '[':
      return has_body && (static_cast<u8>(last - 0x40) <= 0x7E - 0x40 || is_cancel(last));
    case ']':
      return has_body && (last == BEL || is_cancel(last) || (n - i >= 4 && in[n - 2] == ESC && last == '\\'));
    case 'P':
    case '^':
    case '_':
      return has_body && (is_cancel(last) || (n - i >= 4 && in[n - 2] == ESC && last == '\\'));
    default:
      if (is_intermediate(introducer)) return has_body && static_cast<u8>(last - 0x30) <= 0x7E - 0x30;
      return true;  // a two-byte escape, both bytes there
  }
}

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

namespace {

#if MORVIK_HAVE_AVX2_PATH

// ---------------------------------------------------------------------------
// The wide path. Coloured output has an escape every twenty-odd bytes, and a
// branch per escape (or per byte of one) costs more than the bytes
// themselves. So the filter looks at 64 bytes at a time: one set of vector
// compares gives bit masks of the control bytes, the ESCs and the possible
// final bytes, the escapes are resolved with bit arithmetic on those masks,
// and the surviving bytes are packed with byte shuffles, with no branch per
// byte. Only an escape whose end lies beyond the block leaves the block
// logic, and it goes on from where the block's search stopped, so the end
// of a sequence is still searched for once. The kept bytes are checked for
// well-formed UTF-8 a few kilobytes behind the filter, while they are still
// in the first-level cache, so the common case needs no second pass.
//
// Everything between push_options and pop_options is compiled for AVX2 and
// may only run after avx2_usable() said yes.

#pragma GCC push_options
#pragma GCC target("avx2,bmi,bmi2,popcnt")

constexpr std::size_t BLOCK = 64;

// Bits k and up of a block mask; k may be 64.
inline std::uint64_t bits_from(unsigned k) { return k < 64 ? ~0ULL << k : 0; }

inline std::uint64_t block_mask(__m256i lo, __m256i hi) {
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(lo)) |
         static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(hi))) << 32;
}

inline std::uint64_t equal_mask(__m256i lo, __m256i hi, u8 c) {
  const __m256i vc = _mm256_set1_epi8(static_cast<char>(c));
  return block_mask(_mm256_cmpeq_epi8(lo, vc), _mm256_cmpeq_epi8(hi, vc));
}

// Bytes that end a plain run: below 0x20 (an unsigned compare done as a
// signed one after flipping the top bit), TAB and LF excepted.
template <bool TabEnds = false>
inline __m256i run_enders(__m256i v) {
  const __m256i below_space = _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(0xA0)),
                                                _mm256_xor_si256(v, _mm256_set1_epi8(static_cast<char>(0x80))));
  const __m256i lf = _mm256_cmpeq_epi8(v, _mm256_set1_epi8(static_cast<char>(LF)));
  const __m256i kept =
      TabEnds ? lf : _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(static_cast<char>(TAB))), lf);
  return _mm256_andnot_si256(kept, below_space);
}

// Bytes 0x40 to 0x7E, the final bytes of a control sequence.
inline __m256i final_bytes(__m256i v) {
  return _mm256_cmpgt_epi8(_mm256_set1_epi8(-65), _mm256_add_epi8(v, _mm256_set1_epi8(0x40)));
}

// For each mask of eight bytes, the shuffle that packs the set ones to the
// front, one source index per byte.
struct PackTable {
  std::uint64_t shuffle[256];
};

constexpr PackTable make_pack_table() {
  PackTable t{};
  for (unsigned m = 0; m < 256; ++m) {
    std::uint64_t s = 0;
    unsigned k = 0;
    for (unsigned b = 0; b < 8; ++b) {
      if ((m >> b) & 1) s |= static_cast<std::uint64_t>(b) << (8 * k++);
    }
    t.shuffle[m] = s;
  }
  return t;
}

constexpr PackTable PACK = make_pack_table();

// Writes the bytes of `x` whose bit is set in `keep` to out[o..] and advances
// `o`. Each half is stored as eight bytes whatever it keeps; the caller
// guarantees room, and what lies past the kept bytes is overwritten later.
inline void pack16(__m128i x, unsigned keep, u8* out, std::size_t& o) {
  const unsigned lo = keep & 0xFF;
  const unsigned hi = (keep >> 8) & 0xFF;
  const __m128i shuffle = _mm_set_epi64x(static_cast<long long>(PACK.shuffle[hi] + ONE_PER_BYTE * 8),
                                         static_cast<long long>(PACK.shuffle[lo]));
  const __m128i packed = _mm_shuffle_epi8(x, shuffle);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + o), packed);
  o += static_cast<unsigned>(__builtin_popcount(lo));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + o), _mm_unpackhi_epi64(packed, packed));
  o += static_cast<unsigned>(__builtin_popcount(hi));
}

// Filters whole blocks from in[i] while i < stop and a whole block is left.
// Stops only between escapes. Every store lands in out[o, i + BLOCK), which
// the output, as long as the input and never ahead of it, always has.
void strip_blocks_avx2(const u8* in, std::size_t n, std::size_t& i_io, u8* out, std::size_t& o_io,
                       std::size_t stop) {
  std::size_t i = i_io;
  std::size_t o = o_io;
  while (i < stop && n - i >= BLOCK) {
    const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i + 32));
    const std::uint64_t enders = block_mask(run_enders(lo), run_enders(hi));
    if (enders == 0) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + o), lo);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + o + 32), hi);
      i += BLOCK;
      o += BLOCK;
      continue;
    }
    // Every control byte is dropped, alone or as part of an escape; the
    // escapes add the ranges they cover.
    std::uint64_t spans = 0;
    std::size_t next = i + BLOCK;
    const std::uint64_t escs = equal_mask(lo, hi, ESC);
    std::uint64_t todo = escs;
    if (todo != 0) {
      const std::uint64_t finals = block_mask(final_bytes(lo), final_bytes(hi));
      // Control sequences are most of the escapes, and their ranges come
      // from one addition: in `inside`, the mask of bytes that do not end a
      // sequence (the ESC and `[` of each one count as such), the carry of
      // each start bit runs up to the sequence's final byte and stops there.
      // Each start yields exactly one stop unless an ESC `[` lies inside
      // another sequence (it is a parameter there, and its `[` the final
      // byte), in which case two starts share one stop and the counts tell;
      // the one carry out of the block is a sequence that goes on past it.
      // The other escapes are resolved one at a time below. None of them
      // can hold an ESC `[` (strings and intermediates end at an ESC), but
      // a two-byte ESC ESC can: that start is then no start, and the block
      // is resolved one escape at a time instead.
      const std::uint64_t csi = escs & (equal_mask(lo, hi, '[') >> 1);
      const std::uint64_t inside = ~finals | csi | (csi << 1);
      std::uint64_t sum;
      const bool past_block = __builtin_add_overflow(inside, csi, &sum);
      std::uint64_t by_carry = 0;  // the starts whose ranges the addition gave
      if (__builtin_popcountll(sum & ~inside) + (past_block ? 1 : 0) == __builtin_popcountll(csi) &&
          (escs & ~csi & (sum ^ inside)) == 0) {
        by_carry = csi;
        spans = sum ^ inside;
        if (past_block) next = control_sequence_end<Scan::Vector>(in, i + BLOCK, n);
        todo = escs & ~csi;
      }
      std::uint64_t own = 0;  // the ranges of the escapes resolved one at a time
      for (;;) {
        while (todo != 0) {
          const unsigned p = static_cast<unsigned>(__builtin_ctzll(todo));
          // An escape that goes on past the block covers the rest of it, and
          // the next block starts where the escape ends.
          if (p == BLOCK - 1) {  // its introducer is in the next block
            own |= bits_from(p);
            next = escape_end<Scan::Vector>(in, i + p, n);
            break;
          }
          const u8 introducer = in[i + p + 1];
          unsigned last;  // the escape's last byte
          if (introducer == '[') {
            const std::uint64_t f = finals & bits_from(p + 2);
            if (f == 0) {
              own |= bits_from(p);
              next = control_sequence_end<Scan::Vector>(in, i + BLOCK, n);
              break;
            }
            last = static_cast<unsigned>(__builtin_ctzll(f));
          } else if (introducer == ']' || introducer == 'P' || introducer == '^' || introducer == '_') {
            const bool bel_ends = introducer == ']';
            std::uint64_t ends = escs;
            if (bel_ends) ends |= equal_mask(lo, hi, BEL);
            ends &= bits_from(p + 2);
            if (ends == 0) {
              own |= bits_from(p);
              next = command_string_end<Scan::Vector>(in, i + BLOCK, n, bel_ends);
              break;
            }
            const unsigned t = static_cast<unsigned>(__builtin_ctzll(ends));
            if (((escs >> t) & 1) == 0) {
              last = t - 1;  // BEL, dropped as the control byte it is
            } else if (t + 1 < BLOCK && in[i + t + 1] == '\\') {
              last = t + 1;  // ESC \, the terminator: a two-byte escape after the string
            } else {
              last = t - 1;  // any other ESC starts the next escape
            }
          } else if (is_intermediate(introducer)) {
            unsigned q = p + 2;
            while (q < BLOCK && is_intermediate(in[i + q])) ++q;
            if (q == BLOCK) {
              own |= bits_from(p);
              next = intermediates_end(in, i + BLOCK, n);
              break;
            }
            // A final byte belongs to the escape; any other byte ends it and
            // is cleaned on its own.
            last = static_cast<u8>(in[i + q] - 0x30) <= 0x7E - 0x30 ? q : q - 1;
          } else {
            last = p + 1;
          }
          own |= bits_from(p) & ~bits_from(last + 1);
          todo &= bits_from(last + 1);
        }
        if ((own & by_carry) == 0) break;
        by_carry = 0;
        spans = 0;
        own = 0;
        next = i + BLOCK;
        todo = escs;
      }
      spans |= own;
    }
    // A CAN or SUB inside an escape ends it early, which the masks above do
    // not see. Escapes practically never hold a control byte other than ESC,
    // so a block where one does goes to the byte-wise filter from its start
    // (nothing of it has been written yet).
    if ((enders & ~escs & spans) != 0) {
      strip_span<Scan::Vector>(in, n, out, i, o, i + BLOCK);
      continue;
    }
    const std::uint64_t keep = ~(enders | spans);
    pack16(_mm256_castsi256_si128(lo), static_cast<unsigned>(keep), out, o);
    pack16(_mm256_extracti128_si256(lo, 1), static_cast<unsigned>(keep >> 16), out, o);
    pack16(_mm256_castsi256_si128(hi), static_cast<unsigned>(keep >> 32), out, o);
    pack16(_mm256_extracti128_si256(hi, 1), static_cast<unsigned>(keep >> 48), out, o);
    i = next;
  }
  i_io = i;
  o_io = o;
}

// Well-formedness of UTF-8, 32 bytes at a time, by table lookups on the high
// and low halves of each byte and the one before it (three 16-entry tables
// whose bits name the ways a pair of bytes can be wrong), plus a check that
// the continuation bytes a three- or four-byte lead demands are there. It
// only answers yes or no; the exact replacement is left to the byte decoder.
class Utf8CheckAvx2 {
 public:
  // Written out so that it is compiled for AVX2 like the rest; the implicit
  // one would not be.
  Utf8CheckAvx2()
      : error_(_mm256_setzero_si256()), prev_input_(_mm256_setzero_si256()), prev_incomplete_(_mm256_setzero_si256()) {}

  void feed(const u8* p) { feed(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))); }

  // The last bytes, fewer than 32, padded with NULs: a character cut by the
  // end of the input then meets a byte that is no continuation and counts
  // as ill-formed, which is also what happens to one cut by a full block.
  bool finish(const u8* p, std::size_t len) {
    alignas(32) u8 tail[32] = {};
    std::memcpy(tail, p, len);
    feed(_mm256_load_si256(reinterpret_cast<const __m256i*>(tail)));
    return _mm256_testz_si256(error_, error_) != 0;
  }

 private:
  // Error bits of the pair tables. Bit 7 must be TWO_CONTS: the check for
  // demanded continuations yields 0x80 and cancels it.
  static constexpr u8 TOO_SHORT = 1 << 0;   // lead, then no continuation
  static constexpr u8 TOO_LONG = 1 << 1;    // ASCII, then a continuation
  static constexpr u8 OVERLONG_3 = 1 << 2;  // E0 80..9F
  static constexpr u8 TOO_LARGE = 1 << 3;   // F4 90..BF, F5..FF 90..BF
  static constexpr u8 SURROGATE = 1 << 4;   // ED A0..BF
  static constexpr u8 OVERLONG_2 = 1 << 5;  // C0 or C1, then a continuation
  static constexpr u8 TOO_LARGE_1000 = 1 << 6;  // F5..FF 80..8F
  static constexpr u8 OVERLONG_4 = 1 << 6;      // F0 80..8F
  static constexpr u8 TWO_CONTS = 1 << 7;       // continuation after continuation
  static constexpr u8 CARRY = TOO_SHORT | TOO_LONG | TWO_CONTS;

  static __m256i table(u8 a0, u8 a1, u8 a2, u8 a3, u8 a4, u8 a5, u8 a6, u8 a7, u8 a8, u8 a9, u8 a10,
                       u8 a11, u8 a12, u8 a13, u8 a14, u8 a15) {
    const __m128i t = _mm_setr_epi8(
        static_cast<char>(a0), static_cast<char>(a1), static_cast<char>(a2), static_cast<char>(a3),
        static_cast<char>(a4), static_cast<char>(a5), static_cast<char>(a6), static_cast<char>(a7),
        static_cast<char>(a8), static_cast<char>(a9), static_cast<char>(a10), static_cast<char>(a11),
        static_cast<char>(a12), static_cast<char>(a13), static_cast<char>(a14), static_cast<char>(a15));
    return _mm256_broadcastsi128_si256(t);
  }

  // The input shifted by `N` bytes, with the last bytes of the previous
  // block shifted in.
  template <int N>
  static __m256i previous(__m256i input, __m256i prev_input) {
    return _mm256_alignr_epi8(input, _mm256_permute2x128_si256(prev_input, input, 0x21), 16 - N);
  }

  static __m256i high_nibbles(__m256i v) { return _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F)); }

  void feed(__m256i input) {
    if (_mm256_movemask_epi8(input) == 0) {
      // ASCII only: fine unless the previous block ended inside a character.
      error_ = _mm256_or_si256(error_, prev_incomplete_);
      prev_input_ = input;
      return;
    }
    const __m256i prev1 = previous<1>(input, prev_input_);
    const __m256i byte_1_high = _mm256_shuffle_epi8(
        table(TOO_LONG, TOO_LONG, TOO_LONG, TOO_LONG, TOO_LONG, TOO_LONG, TOO_LONG, TOO_LONG, TWO_CONTS,
              TWO_CONTS, TWO_CONTS, TWO_CONTS, TOO_SHORT | OVERLONG_2, TOO_SHORT,
              TOO_SHORT | OVERLONG_3 | SURROGATE, TOO_SHORT | TOO_LARGE | TOO_LARGE_1000 | OVERLONG_4),
        high_nibbles(prev1));
    const __m256i byte_1_low = _mm256_shuffle_epi8(
        table(CARRY | OVERLONG_3 | OVERLONG_2 | OVERLONG_4, CARRY | OVERLONG_2, CARRY, CARRY, CARRY | TOO_LARGE,
              CARRY | TOO_LARGE | TOO_LARGE_1000, CARRY | TOO_LARGE | TOO_LARGE_1000,
              CARRY | TOO_LARGE | TOO_LARGE_1000, CARRY | TOO_LARGE | TOO_LARGE_1000,
              CARRY | TOO_LARGE | TOO_LARGE_1000, CARRY | TOO_LARGE | TOO_LARGE_1000,
              CARRY | TOO_LARGE | TOO_LARGE_1000, CARRY | TOO_LARGE | TOO_LARGE_1000,
              CARRY | TOO_LARGE | TOO_LARGE_1000 | SURROGATE, CARRY | TOO_LARGE | TOO_LARGE_1000,
              CARRY | TOO_LARGE | TOO_LARGE_1000),
        _mm256_and_si256(prev1, _mm256_set1_epi8(0x0F)));
    const __m256i byte_2_high = _mm256_shuffle_epi8(
        table(TOO_SHORT, TOO_SHORT, TOO_SHORT, TOO_SHORT, TOO_SHORT, TOO_SHORT, TOO_SHORT, TOO_SHORT,
              TOO_LONG | OVERLONG_2 | TWO_CONTS | OVERLONG_3 | TOO_LARGE_1000 | OVERLONG_4,
              TOO_LONG | OVERLONG_2 | TWO_CONTS | OVERLONG_3 | TOO_LARGE,
              TOO_LONG | OVERLONG_2 | TWO_CONTS | SURROGATE | TOO_LARGE,
              TOO_LONG | OVERLONG_2 | TWO_CONTS | SURROGATE | TOO_LARGE, TOO_SHORT, TOO_SHORT, TOO_SHORT,
              TOO_SHORT),
        high_nibbles(input));
    const __m256i special = _mm256_and_si256(_mm256_and_si256(byte_1_high, byte_1_low), byte_2_high);
    // A byte two after a lead of E0 and up, or three after one of F0 and up,
    // must be a continuation: 0x80 there, which cancels TWO_CONTS.
    const __m256i third = _mm256_subs_epu8(previous<2>(input, prev_input_), _mm256_set1_epi8(0xE0 - 0x80));
    const __m256i fourth = _mm256_subs_epu8(previous<3>(input, prev_input_), _mm256_set1_epi8(0xF0 - 0x80));
    const __m256i demanded =
        _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(static_cast<char>(0x80)));
    error_ = _mm256_or_si256(error_, _mm256_xor_si256(demanded, special));
    // Whether the block ends inside a character: a lead of F0 and up in the
    // last three bytes, of E0 and up in the last two, of C0 and up last.
    const __m256i last_leads = _mm256_setr_epi8(
        -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
        -1, -1, -1, static_cast<char>(0xF0 - 1), static_cast<char>(0xE0 - 1), static_cast<char>(0xC0 - 1));
    prev_incomplete_ = _mm256_subs_epu8(input, last_leads);
    prev_input_ = input;
  }

  __m256i error_;
  __m256i prev_input_;
  __m256i prev_incomplete_;
};

bool is_well_formed_avx2(const u8* p, std::size_t n) {
  Utf8CheckAvx2 check;
  std::size_t v = 0;
  for (; n - v >= 32; v += 32) check.feed(p + v);
  return check.finish(p + v, n - v);
}

std::string strip_avx2(std::string_view raw) {
  if (raw.empty()) return {};
  std::string out(raw.size(), '\0');
  const auto* in = reinterpret_cast<const u8*>(raw.data());
  auto* o_ptr = reinterpret_cast<u8*>(out.data());
  std::size_t i = 0;
  std::size_t o = 0;
  strip_blocks_avx2(in, raw.size(), i, o_ptr, o, raw.size());
  out.resize(strip_into<Scan::Vector>(in, raw.size(), o_ptr, i, o));
  return out;
}

// How far the filter runs ahead of the UTF-8 check: little enough that the
// check reads what the filter wrote from the first-level cache.
constexpr std::size_t CHECK_LAG = 4096;

std::string sanitize_avx2(std::string_view raw) {
  if (raw.empty()) return {};
  const std::size_t n = raw.size();
  std::string out(n, '\0');
  const auto* in = reinterpret_cast<const u8*>(raw.data());
  auto* bytes = reinterpret_cast<u8*>(out.data());
  std::size_t i = 0;
  std::size_t o = 0;
  std::size_t v = 0;  // out[0, v) has been fed to the check
  Utf8CheckAvx2 check;
  while (n - i >= BLOCK) {
    strip_blocks_avx2(in, n, i, bytes, o, i + CHECK_LAG);
    for (; o - v >= 32; v += 32) check.feed(bytes + v);
  }
  o = strip_into<Scan::Vector>(in, n, bytes, i, o);
  for (; o - v >= 32; v += 32) check.feed(bytes + v);
  if (check.finish(bytes + v, o - v)) {
    out.resize(o);
    return out;
  }
  const Utf8Scan first = scan_utf8<Scan::Vector>(bytes, 0, o);
  std::string text;
  text.reserve(decoded_size<Scan::Vector>(bytes, o, first));
  append_decoded<Scan::Vector>(bytes, o, first, text);
  return text;
}

// copy_plain_run 32 bytes at a time, with the same stops and the same CR LF
// rule, for the readers that copy plain runs one at a time (the line
// renderer); the filter above has its own block logic.
template <bool TabEnds, bool CrLf>
void copy_plain_run_avx2(const u8* in, std::size_t n, std::size_t& i, u8* out, std::size_t& o) {
  constexpr u8 CR = 0x0D;
  while (n - i >= 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + o), v);
    const unsigned stops = static_cast<unsigned>(_mm256_movemask_epi8(run_enders<TabEnds>(v)));
    if constexpr (CrLf) {
      // The usual block with a line end: one CR LF and nothing else. Its CR
      // is squeezed out by storing the rest of the block again one byte
      // back, with no branch on where the line ended. The second store
      // reaches 32 bytes past the CR, hence the margin.
      if (stops != 0 && n - i >= 64) {
        const unsigned crlf =
            static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(static_cast<char>(CR))))) &
            static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i + 1)), _mm256_set1_epi8(static_cast<char>(LF)))));
        if (stops == crlf && (crlf & (crlf - 1)) == 0) {
          const unsigned k = static_cast<unsigned>(__builtin_ctz(crlf));
          _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + o + k),
                              _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i + k + 1)));
          i += 32;
          o += 31;
          continue;
        }
      }
    }
    if (stops != 0) {
      const unsigned k = static_cast<unsigned>(__builtin_ctz(stops));
      if (CrLf && in[i + k] == CR && n - i > k + 1 && in[i + k + 1] == LF) {
        i += k + 1;
        o += k;
        continue;
      }
      i += k;
      o += k;
      return;
    }
    i += 32;
    o += 32;
  }
  copy_plain_run<Scan::Vector, TabEnds, CrLf>(in, n, i, out, o);
}

#pragma GCC pop_options

bool avx2_usable() {
  static const bool usable = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
           __builtin_cpu_supports("popcnt");
  }();
  return usable;
}

#endif  // MORVIK_HAVE_AVX2_PATH

}  // namespace

std::string sanitize_for_agent(std::string_view raw) {
#if MORVIK_HAVE_AVX2_PATH
  if (avx2_usable()) return sanitize_avx2(raw);
#endif
  return sanitize<Scan::Vector>(raw);
}

std::string strip_terminal_bytes(std::string_view raw) {
#if MORVIK_HAVE_AVX2_PATH
  if (avx2_usable()) return strip_avx2(raw);
#endif
  return strip<Scan::Vector>(raw);
}

void append_utf8_with_replacement(std::string_view bytes, std::string& out) {
  const auto* p = reinterpret_cast<const u8*>(bytes.data());
  const Utf8Scan first = scan_utf8<Scan::Vector>(p, 0, bytes.size());
  if (first.bad_len == 0) {
    out.append(bytes);
    return;
  }
  out.reserve(out.size() + decoded_size<Scan::Vector>(p, bytes.size(), first));
  append_decoded<Scan::Vector>(p, bytes.size(), first, out);
}

namespace detail {

std::string sanitize_for_agent_portable(std::string_view raw) { return sanitize<Scan::Word>(raw); }

std::string strip_terminal_bytes_portable(std::string_view raw) { return strip<Scan::Word>(raw); }

std::string sanitize_for_agent_sse2(std::string_view raw) { return sanitize<Scan::Vector>(raw); }

std::string strip_terminal_bytes_sse2(std::string_view raw) { return strip<Scan::Vector>(raw); }

bool avx2_supported() {
#if MORVIK_HAVE_AVX2_PATH
  return avx2_usable();
#else
  return false;
#endif
}

#if MORVIK_HAVE_AVX2_PATH
std::string sanitize_for_agent_avx2(std::string_view raw) { return sanitize_avx2(raw); }

std::string strip_terminal_bytes_avx2(std::string_view raw) { return strip_avx2(raw); }

bool is_well_formed_utf8_avx2(std::string_view bytes) {
  return is_well_formed_avx2(reinterpret_cast<const u8*>(bytes.data()), bytes.size());
}
#else
// Never called: avx2_supported() is false here, and the tests ask it first.
std::string sanitize_for_agent_avx2(std::string_view raw) { return sanitize<Scan::Vector>(raw); }

std::string strip_terminal_bytes_avx2(std::string_view raw) { return strip<Scan::Vector>(raw); }

bool is_well_formed_utf8_avx2(std::string_view bytes) {
  const auto* p = reinterpret_cast<const u8*>(bytes.data());
  return scan_utf8<Scan::Vector>(p, 0, bytes.size()).bad_len == 0;
}
#endif

}  // namespace detail

namespace grammar {

std::size_t plain_run_end(const unsigned char* in, std::size_t i, std::size_t n, bool tab_ends) noexcept {
  return tab_ends ? session::plain_run_end<Scan::Vector, true>(in, i, n)
                  : session::plain_run_end<Scan::Vector, false>(in, i, n);
}

Copied copy_plain_run(const unsigned char* in, std::size_t i, std::size_t n, unsigned char* out,
                      bool tab_ends, bool crlf) noexcept {
  std::size_t o = 0;
#if MORVIK_HAVE_AVX2_PATH
  if (avx2_usable()) {
    if (tab_ends && crlf) {
      copy_plain_run_avx2<true, true>(in, n, i, out, o);
    } else if (tab_ends) {
      copy_plain_run_avx2<true, false>(in, n, i, out, o);
    } else if (crlf) {
      copy_plain_run_avx2<false, true>(in, n, i, out, o);
    } else {
      copy_plain_run_avx2<false, false>(in, n, i, out, o);
    }
    return {i, o};
  }
#endif
  if (tab_ends && crlf) {
    session::copy_plain_run<Scan::Vector, true, true>(in, n, i, out, o);
  } else if (tab_ends) {
    session::copy_plain_run<Scan::Vector, true, false>(in, n, i, out, o);
  } else if (crlf) {
    session::copy_plain_run<Scan::Vector, false, true>(in, n, i, out, o);
  } else {
    session::copy_plain_run<Scan::Vector, false, false>(in, n, i, out, o);
  }
  return {i, o};
}

Extent escape_extent(const unsigned char* in, std::size_t i, std::size_t n) noexcept {
  const std::size_t end = escape_end<Scan::Vector>(in, i, n);
  return {end, end < n || ends_on_last_byte(in, i, n)};
}

Extent control_sequence_extent(const unsigned char* in, std::size_t j, std::size_t n) noexcept {
  const std::size_t end = control_sequence_end<Scan::Vector>(in, j, n);
  // At `n` the search either took the last byte as the final one or found none.
  const bool complete = end < n || (end > j && (static_cast<u8>(in[n - 1] - 0x40) <= 0x7E - 0x40 || is_cancel(in[n - 1])));
  return {end, complete};
}

Extent command_string_extent(const unsigned char* in, std::size_t j, std::size_t n, bool bel_ends) noexcept {
  const std::size_t end = command_string_end<Scan::Vector>(in, j, n, bel_ends);
  if (end < n) return {end, true};
  const u8 last = n > j ? in[n - 1] : 0;
  const bool complete = n > j && ((last == BEL && bel_ends) || is_cancel(last) ||
                                  (n - j >= 2 && in[n - 2] == ESC && last == '\\'));
  return {end, complete};
}

Extent intermediates_extent(const unsigned char* in, std::size_t j, std::size_t n) noexcept {
  const std::size_t end = intermediates_end(in, j, n);
  return {end, end < n || (n > j && !is_intermediate(in[n - 1]))};
}

bool is_well_formed_utf8(std::string_view bytes) noexcept {
#if MORVIK_HAVE_AVX2_PATH
  if (avx2_usable()) return is_well_formed_avx2(reinterpret_cast<const u8*>(bytes.data()), bytes.size());
#endif
  return scan_utf8<Scan::Vector>(reinterpret_cast<const u8*>(bytes.data()), 0, bytes.size()).bad_len == 0;
}

}  // namespace grammar

}  // namespace morvik::session
