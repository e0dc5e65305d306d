// Cleaning of raw terminal output for a program to read: terminal escape
// sequences, carriage returns and control bytes other than TAB and LF are
// dropped in one forward pass, and the rest is decoded as UTF-8 with each
// maximal ill-formed subsequence replaced by one U+FFFD. Pure: no state, no
// locks, safe on any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "base/byte_buffer.h"
#include "utf8.h"

namespace morvik::text {

// Returns well-formed UTF-8.
std::string sanitize_for_agent(std::string_view raw);

// What clean_into wrote.
struct CleanedBytes {
  std::size_t size;  // bytes written
  bool well_formed;  // they are well-formed UTF-8, so they are the text itself
  bool ascii;        // every one is below 0x80
};

// Cleaning output while a read still collects it, so that little is left to
// clean when the read ends: the cleaning of a large result then runs while
// the program is still writing it, not after. A piece is cleaned only up to
// a point where the filter stands between escapes, and never within the
// last MAX_HELD_TAIL_BYTES of what has come, which the read may still cut
// back (held_tail.h): so the cleaning of raw[0, settled()) followed by
// clean_into of the rest, whatever it turns out to be, is exactly
// clean_into of the whole.
class OutputCleaner {
 public:
  // How much has to be waiting before a piece is cleaned, and how much of
  // its end is left for the next piece.
  static constexpr std::size_t CLEAN_AHEAD_BYTES = std::size_t{1} << 20;  // 1 MiB
  static constexpr std::size_t CLEAN_TAIL_BYTES = std::size_t{16} << 10;  // 16 KiB

  // `raw` is the output so far (it only grows between calls); cleans what
  // has settled of it onto the end of `out`, once enough has come, and
  // measures the text it wrote while it is still in the cache.
  void advance(std::string_view raw, ByteBuffer& out);
  // How much of the output is cleaned, and whether all of that is ASCII.
  std::size_t settled() const noexcept { return settled_; }
  bool ascii() const noexcept { return ascii_; }
  // `text` is everything advance wrote with the cleaning of the rest of the
  // output after it: the shape of the whole, when it is well formed.
  std::optional<Utf8Shape> shape(std::string_view text) const;

 private:
  void measure(std::string_view text, std::size_t upto);

  std::size_t settled_ = 0;
  bool ascii_ = true;
  // An escape that ran to the end of a piece: where it ends cannot be told
  // before the read does, so the rest is left to the read's end.
  bool stopped_ = false;
  // text[0, measured_) is measured: well formed so far, and of that shape.
  std::size_t measured_ = 0;
  bool well_formed_ = true;
  Utf8Shape shape_{0, 0x7F};
};

// Whether `bytes` is well-formed UTF-8.
bool is_well_formed_utf8(std::string_view bytes);

// The filter of sanitize_for_agent straight into the caller's memory, for a
// result that is built where it will stay: writes the bytes that survive it
// to out[0, size). `out` must have room for raw.size() bytes, and must not
// overlap `raw`; the filter may store scratch anywhere in that room. When
// the bytes are not well formed, the text is their decoding with
// replacement (utf8.h).
CleanedBytes clean_into(std::string_view raw, char* out);

// Step one alone: the bytes that survive the escape and control filter, in
// order. Never longer than the input. Exposed for tests and benchmarks.
std::string strip_terminal_bytes(std::string_view raw);

namespace detail {
// Each path the entry points above may pick, callable directly, so that
// tests can hold every one of them to the same results on a machine that
// would otherwise only ever run the widest. The portable one uses no vector
// instructions; the SSE2 one is what runs where AVX2 is missing.
std::string sanitize_for_agent_portable(std::string_view raw);
std::string strip_terminal_bytes_portable(std::string_view raw);
CleanedBytes clean_into_portable(std::string_view raw, char* out);
std::string sanitize_for_agent_sse2(std::string_view raw);
std::string strip_terminal_bytes_sse2(std::string_view raw);
CleanedBytes clean_into_sse2(std::string_view raw, char* out);

// The filter from raw[0] until it has passed `stop`, stopping between
// escapes: writes to `out` (room for raw.size() bytes) and returns how many
// bytes it wrote; `consumed` is where it stopped (raw.size() when an escape
// ran to the end, finished or not).
std::size_t strip_until(std::string_view raw, char* out, std::size_t stop, std::size_t& consumed);
std::size_t strip_until_portable(std::string_view raw, char* out, std::size_t stop, std::size_t& consumed);
std::size_t strip_until_avx2(std::string_view raw, char* out, std::size_t stop, std::size_t& consumed);

// Whether this processor (and build) can run the AVX2 path
// (cleaning_avx2.cpp). The functions named _avx2 may only be called when
// it says yes.
bool avx2_supported();
std::string sanitize_for_agent_avx2(std::string_view raw);
CleanedBytes clean_into_avx2(std::string_view raw, char* out);
std::string strip_terminal_bytes_avx2(std::string_view raw);
// True when `bytes` is well-formed UTF-8, by the vector check the AVX2 path
// uses to skip decoding.
bool is_well_formed_utf8_avx2(std::string_view bytes);
}  // namespace detail

}  // namespace morvik::text
