// The cleaning routine: the escape and control filter and the UTF-8 decoder
// with replacement. It must never keep state between calls, take a lock,
// step back over bytes it has passed, or grow its output while filtering: it
// runs with the interpreter lock released, on any thread, and on the whole
// 4 MiB history at once, so its cost has to stay one pass over the input.

#include "sanitize.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#define MORVIK_HAVE_SSE2 1
#else
#define MORVIK_HAVE_SSE2 0
#endif

namespace morvik::session {
namespace {

using u8 = unsigned char;

constexpr u8 BEL = 0x07;
constexpr u8 TAB = 0x09;
constexpr u8 LF = 0x0A;
constexpr u8 ESC = 0x1B;
constexpr u8 BACKSLASH = 0x5C;
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
// each one ends a plain run; ESC and CR are among them.
constexpr bool ends_plain_run(u8 c) { return c < 0x20 && c != TAB && c != LF; }

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

// Copies the plain bytes from in[i] to out[o] onwards, up to the next byte
// that ends a plain run or the end of the input, and advances both indices.
template <Scan S>
inline void copy_plain_run(const u8* in, std::size_t n, std::size_t& i, u8* out, std::size_t& o) {
#if MORVIK_HAVE_SSE2
  if constexpr (USE_SSE2<S>) {
    const __m128i c0_max = _mm_set1_epi8(0x1F);
    const __m128i tab = _mm_set1_epi8(static_cast<char>(TAB));
    const __m128i lf = _mm_set1_epi8(static_cast<char>(LF));
    // Each block is stored before it is known how much of it is plain. The
    // output never runs ahead of the input and both buffers are as long as
    // the input, so the store stays in bounds; bytes stored past the run are
    // overwritten by later output or cut off at the end.
    while (n - i >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + o), v);
      const __m128i c0 = _mm_cmpeq_epi8(_mm_min_epu8(v, c0_max), v);
      const __m128i kept = _mm_or_si128(_mm_cmpeq_epi8(v, tab), _mm_cmpeq_epi8(v, lf));
      const unsigned stops = static_cast<unsigned>(_mm_movemask_epi8(_mm_andnot_si128(kept, c0)));
      if (stops != 0) {
        const unsigned k = static_cast<unsigned>(__builtin_ctz(stops));
        i += k;
        o += k;
        return;
      }
      i += 16;
      o += 16;
    }
    while (i < n && !ends_plain_run(in[i])) out[o++] = in[i++];
    return;
  }
#endif
  std::size_t j = i;
  for (;;) {
    while (n - j >= 8 && !word_has_c0(load_word(in + j))) j += 8;
    // A word holding a C0 byte, or the tail: TAB and LF keep the run going.
    const std::size_t stop = n - j >= 8 ? j + 8 : n;
    while (j < stop && !ends_plain_run(in[j])) ++j;
    if (j < stop || j == n) break;
  }
  std::memcpy(out + o, in + i, j - i);
  o += j - i;
  i = j;
}

// Index of the first byte at or after `j` equal to `a` or `b`, or `n`.
template <Scan S>
inline std::size_t find_either(const u8* in, std::size_t j, std::size_t n, u8 a, u8 b) {
#if MORVIK_HAVE_SSE2
  if constexpr (USE_SSE2<S>) {
    const __m128i va = _mm_set1_epi8(static_cast<char>(a));
    const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
    while (n - j >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + j));
      const unsigned hits = static_cast<unsigned>(
          _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, va), _mm_cmpeq_epi8(v, vb))));
      if (hits != 0) return j + static_cast<unsigned>(__builtin_ctz(hits));
      j += 16;
    }
  }
#endif
  while (j < n && in[j] != a && in[j] != b) ++j;
  return j;
}

// Index just past the final byte (0x40 to 0x7E) of a control sequence whose
// parameters start at in[j], or `n` when the input ends first.
inline std::size_t control_sequence_end(const u8* in, std::size_t j, std::size_t n) {
  for (; j < n; ++j) {
    if (static_cast<u8>(in[j] - 0x40) <= 0x7E - 0x40) return j + 1;
  }
  return n;
}

// Index just past the terminator of a command string whose body starts at
// in[j], or `n` when it has none. ESC '\' always ends it, BEL only when
// `bel_ends`. An ESC followed by anything else belongs to the body, and the
// byte after it is looked at again: ESC ESC '\' ends at the second ESC.
template <Scan S>
inline std::size_t command_string_end(const u8* in, std::size_t j, std::size_t n, bool bel_ends) {
  for (;;) {
    if (bel_ends) {
      j = find_either<S>(in, j, n, ESC, BEL);
    } else {
      const void* hit = std::memchr(in + j, ESC, n - j);
      j = hit ? static_cast<std::size_t>(static_cast<const u8*>(hit) - in) : n;
    }
    if (j >= n) return n;
    if (in[j] == BEL) return j + 1;
    if (n - j >= 2 && in[j + 1] == BACKSLASH) return j + 2;
    ++j;
  }
}

// The filter. `out` must have room for `n` bytes; returns how many it wrote.
template <Scan S>
std::size_t strip_into(const u8* in, std::size_t n, u8* out) {
  std::size_t i = 0;
  std::size_t o = 0;
  for (;;) {
    copy_plain_run<S>(in, n, i, out, o);
    if (i >= n) return o;
    if (in[i] != ESC) {  // CR, BEL, backspace and the other controls
      ++i;
      continue;
    }
    if (n - i == 1) return o;  // a lone ESC at the very end
    const u8 introducer = in[i + 1];
    i += 2;
    switch (introducer) {
      case '[':
        i = control_sequence_end(in, i, n);
        break;
      case ']':
        i = command_string_end<S>(in, i, n, /*bel_ends=*/true);
        break;
      case 'P':
      case '^':
      case '_':
        i = command_string_end<S>(in, i, n, /*bel_ends=*/false);
        break;
      default:  // any other two-byte escape, ESC ESC included
        break;
    }
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

// For a byte of 0x80 and above at p[i]: the length of the well-formed
// character it starts, or 0 with `bad_len` set to the length of the maximal
// subpart, the longest run that could still begin some well-formed character.
// The second byte's range depends on the lead, which is what rules out
// overlong forms, surrogates and values above U+10FFFF.
inline std::size_t well_formed_length(const u8* p, std::size_t i, std::size_t n, std::size_t& bad_len) {
  const u8 lead = p[i];
  std::size_t trail;
  u8 lo = 0x80;
  u8 hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    trail = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trail = 2;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trail = 3;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {  // a continuation byte, C0, C1 or F5 to FF: never a lead
    bad_len = 1;
    return 0;
  }
  if (n - i < 2 || p[i + 1] < lo || p[i + 1] > hi) {
    bad_len = 1;
    return 0;
  }
  for (std::size_t k = 2; k <= trail; ++k) {
    if (n - i <= k || (p[i + k] & 0xC0) != 0x80) {
      bad_len = k;
      return 0;
    }
  }
  return trail + 1;
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

}  // namespace

std::string sanitize_for_agent(std::string_view raw) { return sanitize<Scan::Vector>(raw); }

std::string strip_terminal_bytes(std::string_view raw) { return strip<Scan::Vector>(raw); }

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

}  // namespace detail

}  // namespace morvik::session
