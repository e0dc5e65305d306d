// The AVX2 path of the cleaning filter, its UTF-8 check and the plain-run
// copy the line renderer uses, chosen at run time on a processor that has
// AVX2 (detail::avx2_supported). It must give exactly the results of the
// SSE2 path, byte for byte, and never run on a processor without AVX2:
// everything between push_options and pop_options is compiled for it, and
// only reached after the check said yes.
#include "cleaning.h"
#include "grammar.h"
#include "utf8.h"

// Compiled whatever the build's target, with per-function target options.
#if MORVIK_HAVE_SSE2 && defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#include <immintrin.h>
#define MORVIK_HAVE_AVX2_PATH 1
#else
#define MORVIK_HAVE_AVX2_PATH 0
#endif

namespace morvik::text {

namespace {

#if MORVIK_HAVE_AVX2_PATH

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
// signed one after flipping the top bit), TAB (unless `TabEnds`) and LF
// excepted.
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
      : error_(_mm256_setzero_si256()),
        prev_input_(_mm256_setzero_si256()),
        prev_incomplete_(_mm256_setzero_si256()),
        high_(_mm256_setzero_si256()) {}

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

  // After finish: whether every byte fed was below 0x80.
  bool ascii() const { return _mm256_movemask_epi8(high_) == 0; }

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
    high_ = _mm256_or_si256(high_, input);
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
  __m256i high_;  // every byte fed, or-ed together
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

CleanedBytes clean_blocks_avx2(std::string_view raw, u8* bytes) {
  const std::size_t n = raw.size();
  const auto* in = reinterpret_cast<const u8*>(raw.data());
  std::size_t i = 0;
  std::size_t o = 0;
  std::size_t v = 0;  // bytes[0, v) has been fed to the check
  Utf8CheckAvx2 check;
  while (n - i >= BLOCK) {
    strip_blocks_avx2(in, n, i, bytes, o, i + CHECK_LAG);
    for (; o - v >= 32; v += 32) check.feed(bytes + v);
  }
  o = strip_into<Scan::Vector>(in, n, bytes, i, o);
  for (; o - v >= 32; v += 32) check.feed(bytes + v);
  const bool well_formed = check.finish(bytes + v, o - v);
  return {o, well_formed, check.ascii()};
}

std::size_t strip_until_blocks_avx2(std::string_view raw, u8* out, std::size_t stop, std::size_t& consumed) {
  const auto* in = reinterpret_cast<const u8*>(raw.data());
  std::size_t i = 0;
  std::size_t o = 0;
  strip_blocks_avx2(in, raw.size(), i, out, o, stop);
  strip_span<Scan::Vector>(in, raw.size(), out, i, o, stop);
  consumed = i;
  return o;
}

std::string sanitize_avx2(std::string_view raw) {
  if (raw.empty()) return {};
  std::string out(raw.size(), '\0');
  auto* bytes = reinterpret_cast<u8*>(out.data());
  const CleanedBytes cleaned = clean_blocks_avx2(raw, bytes);
  if (cleaned.well_formed) {
    out.resize(cleaned.size);
    return out;
  }
  const Utf8Scan first = scan_utf8<Scan::Vector>(bytes, 0, cleaned.size);
  std::string text;
  text.reserve(decoded_size<Scan::Vector>(bytes, cleaned.size, first));
  append_decoded<Scan::Vector>(bytes, cleaned.size, first, text);
  return text;
}

// copy_plain_run 32 bytes at a time, with the same stops and the same CR LF
// rule, for the readers that copy plain runs one at a time (the line
// renderer); the filter above has its own block logic.
template <bool TabEnds, bool CrLf>
void copy_plain_run_avx2(const u8* in, std::size_t n, std::size_t& i, u8* out, std::size_t& o) {
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
      if (past_crlf<CrLf>(in, n, i, o, static_cast<unsigned>(__builtin_ctz(stops)))) continue;
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

// One plain run, by the widest copy this processor has.
template <bool TabEnds, bool CrLf>
grammar::Copied copy_run(const u8* in, std::size_t i, std::size_t n, u8* out) {
  std::size_t o = 0;
#if MORVIK_HAVE_AVX2_PATH
  if (avx2_usable()) {
    copy_plain_run_avx2<TabEnds, CrLf>(in, n, i, out, o);
    return {i, o};
  }
#endif
  copy_plain_run<Scan::Vector, TabEnds, CrLf>(in, n, i, out, o);
  return {i, o};
}

}  // namespace

// Here and not in cleaning.cpp: the line renderer copies run after run
// through it, and here the choice of path is one inline check, not a call.
grammar::Copied grammar::copy_plain_run(const unsigned char* in, std::size_t i, std::size_t n, unsigned char* out,
                                        bool tab_ends, bool crlf) noexcept {
  if (tab_ends) return crlf ? copy_run<true, true>(in, i, n, out) : copy_run<true, false>(in, i, n, out);
  return crlf ? copy_run<false, true>(in, i, n, out) : copy_run<false, false>(in, i, n, out);
}

namespace detail {

bool avx2_supported() {
#if MORVIK_HAVE_AVX2_PATH
  return avx2_usable();
#else
  return false;
#endif
}

#if MORVIK_HAVE_AVX2_PATH
std::string sanitize_for_agent_avx2(std::string_view raw) { return sanitize_avx2(raw); }

CleanedBytes clean_into_avx2(std::string_view raw, char* out) {
  return clean_blocks_avx2(raw, reinterpret_cast<u8*>(out));
}

std::size_t strip_until_avx2(std::string_view raw, char* out, std::size_t stop, std::size_t& consumed) {
  return strip_until_blocks_avx2(raw, reinterpret_cast<u8*>(out), stop, consumed);
}

std::string strip_terminal_bytes_avx2(std::string_view raw) { return strip_avx2(raw); }

bool is_well_formed_utf8_avx2(std::string_view bytes) {
  return is_well_formed_avx2(reinterpret_cast<const u8*>(bytes.data()), bytes.size());
}

#else
// Never called: avx2_supported() is false here, and every caller asks it first.
std::string sanitize_for_agent_avx2(std::string_view raw) { return sanitize_for_agent_sse2(raw); }

CleanedBytes clean_into_avx2(std::string_view raw, char* out) { return clean_into_sse2(raw, out); }

std::size_t strip_until_avx2(std::string_view raw, char* out, std::size_t stop, std::size_t& consumed) {
  return strip_until_portable(raw, out, stop, consumed);
}

std::string strip_terminal_bytes_avx2(std::string_view raw) { return strip_terminal_bytes_sse2(raw); }

bool is_well_formed_utf8_avx2(std::string_view bytes) {
  std::string text;
  append_utf8_with_replacement(bytes, text);
  return text == bytes;
}
#endif

}  // namespace detail

}  // namespace morvik::text
