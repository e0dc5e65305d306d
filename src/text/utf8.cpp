// UTF-8 decoding with replacement, through the same scanner as the cleaning
// filter's decoder, so the two replace exactly the same subsequences; and
// the measure and widening of well-formed UTF-8. These two trust their
// input: they run on what the filter already checked, over results of many
// megabytes, so they must stay one pass each with no per-byte branch on
// ASCII runs.
#include "utf8.h"

#include <cstdint>

#include "cleaning.h"
#include "grammar.h"

namespace morvik::text {

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

bool is_well_formed_utf8(std::string_view bytes) noexcept {
  if (detail::avx2_supported()) return detail::is_well_formed_utf8_avx2(bytes);
  return scan_utf8<Scan::Vector>(reinterpret_cast<const u8*>(bytes.data()), 0, bytes.size()).bad_len == 0;
}

namespace {

// Continuation bytes, 0x80 to 0xBF, are exactly the bytes below -64 as
// signed ones.
constexpr bool is_continuation(u8 b) { return static_cast<signed char>(b) < -64; }

#if MORVIK_HAVE_SSE2
// Sixteen ASCII bytes as sixteen code units at `out`.
template <class Unit>
inline void store_widened(__m128i v, Unit* out) {
  if constexpr (sizeof(Unit) == 1) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
  } else {
    const __m128i zero = _mm_setzero_si128();
    const __m128i lo = _mm_unpacklo_epi8(v, zero);
    const __m128i hi = _mm_unpackhi_epi8(v, zero);
    if constexpr (sizeof(Unit) == 2) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), lo);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), hi);
    } else {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi16(lo, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4), _mm_unpackhi_epi16(lo, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpacklo_epi16(hi, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), _mm_unpackhi_epi16(hi, zero));
    }
  }
}
#endif

template <class Unit>
void widen(const u8* p, std::size_t n, Unit* out, Unit* const end) {
  std::size_t i = 0;
  while (i < n) {
#if MORVIK_HAVE_SSE2
    // A block is stored whole before it is known how much of it is ASCII;
    // what lies past the ASCII part is overwritten next. Only where sixteen
    // code units are still to come, so that no store passes the end.
    while (n - i >= 16 && end - out >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      store_widened(v, out);
      const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(v));
      if (high == 0) {
        i += 16;
        out += 16;
        continue;
      }
      const unsigned k = static_cast<unsigned>(__builtin_ctz(high));
      i += k;
      out += k;
      break;
    }
#endif
    while (i < n && p[i] < 0x80) *out++ = p[i++];
    // Characters of 0x80 and up come in runs (box drawing, bars, non-Latin
    // text): stay here until the next ASCII byte.
    while (i < n && p[i] >= 0x80) {
      const u8 b = p[i];
      char32_t c;
      if (b < 0xE0) {
        c = static_cast<char32_t>(b & 0x1F) << 6 | (p[i + 1] & 0x3F);
        i += 2;
      } else if (b < 0xF0) {
        c = static_cast<char32_t>(b & 0x0F) << 12 | static_cast<char32_t>(p[i + 1] & 0x3F) << 6 | (p[i + 2] & 0x3F);
        i += 3;
      } else {
        c = static_cast<char32_t>(b & 0x07) << 18 | static_cast<char32_t>(p[i + 1] & 0x3F) << 12 |
            static_cast<char32_t>(p[i + 2] & 0x3F) << 6 | (p[i + 3] & 0x3F);
        i += 4;
      }
      *out++ = static_cast<Unit>(c);
    }
  }
}

}  // namespace

Utf8Shape measure_utf8(std::string_view well_formed) {
  const auto* p = reinterpret_cast<const u8*>(well_formed.data());
  const std::size_t n = well_formed.size();
  std::size_t continuations = 0;
  u8 top = 0;
  std::size_t i = 0;
#if MORVIK_HAVE_SSE2
  __m128i highest = _mm_setzero_si128();
  const __m128i lowest_lead = _mm_set1_epi8(-64);
  const __m128i zero = _mm_setzero_si128();
  __m128i total = zero;  // two 64-bit sums
  while (n - i >= 16) {
    // Per-lane counts of continuation bytes, added up before a lane can
    // pass 255.
    __m128i lanes = zero;
    for (int k = 0; k < 255 && n - i >= 16; ++k, i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      highest = _mm_max_epu8(highest, v);
      lanes = _mm_sub_epi8(lanes, _mm_cmplt_epi8(v, lowest_lead));
    }
    total = _mm_add_epi64(total, _mm_sad_epu8(lanes, zero));
  }
  alignas(16) std::uint64_t sums[2];
  _mm_store_si128(reinterpret_cast<__m128i*>(sums), total);
  continuations = static_cast<std::size_t>(sums[0] + sums[1]);
  alignas(16) u8 bytes[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(bytes), highest);
  for (u8 b : bytes) top = b > top ? b : top;
#endif
  for (; i < n; ++i) {
    top = p[i] > top ? p[i] : top;
    continuations += is_continuation(p[i]) ? 1 : 0;
  }
  // In well-formed UTF-8 the highest byte is the highest lead, and the lead
  // alone tells the class: F0 and up four bytes, E0 and up three, C4 and up
  // a character from U+0100, C2 and C3 one from U+0080 to U+00FF.
  char32_t max_character = 0x7F;
  if (top >= 0xF0) max_character = 0x10FFFF;
  else if (top >= 0xC4) max_character = 0xFFFF;
  else if (top >= 0x80) max_character = 0xFF;
  return {n - continuations, max_character};
}

unsigned code_unit_bytes(const Utf8Shape& shape) {
  if (shape.max_character <= 0xFF) return 1;
  return shape.max_character <= 0xFFFF ? 2 : 4;
}

void widen_utf8(std::string_view well_formed, const Utf8Shape& shape, void* out) {
  const auto* p = reinterpret_cast<const u8*>(well_formed.data());
  const std::size_t n = well_formed.size();
  const std::size_t units = shape.characters;
  switch (code_unit_bytes(shape)) {
    case 1: {
      auto* o = static_cast<std::uint8_t*>(out);
      widen(p, n, o, o + units);
      break;
    }
    case 2: {
      auto* o = static_cast<std::uint16_t*>(out);
      widen(p, n, o, o + units);
      break;
    }
    default: {
      auto* o = static_cast<std::uint32_t*>(out);
      widen(p, n, o, o + units);
      break;
    }
  }
}

}  // namespace morvik::text
