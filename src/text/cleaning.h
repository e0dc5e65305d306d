// Cleaning of raw terminal output for a program to read: terminal escape
// sequences, carriage returns and control bytes other than TAB and LF are
// dropped in one forward pass, and the rest is decoded as UTF-8 with each
// maximal ill-formed subsequence replaced by one U+FFFD. Pure: no state, no
// locks, safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace morvik::text {

// Returns well-formed UTF-8.
std::string sanitize_for_agent(std::string_view raw);

// What clean_into wrote.
struct CleanedBytes {
  std::size_t size;  // bytes written
  bool well_formed;  // they are well-formed UTF-8, so they are the text itself
  bool ascii;        // every one is below 0x80
};

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

// Step one from raw[0] until it has passed `stop`, stopping between
// escapes, for a reader that cleans output piece by piece while it comes:
// writes to `out` (room for raw.size() bytes, scratch anywhere in it) and
// returns how many bytes it wrote; `consumed` is where it stopped. An
// escape that began before `stop` and ran to the end of `raw`, finished or
// not, makes `consumed` raw.size(): only a later byte could tell.
std::size_t strip_until(std::string_view raw, char* out, std::size_t stop, std::size_t& consumed);

// The filter's grammar (grammar.h), for other readers of raw output (the
// line renderer, the screen model's scan) that must agree with it byte for
// byte about where plain runs and escapes end. Indices are into in[0, n).
namespace grammar {

// The control bytes the grammar names.
constexpr unsigned char BEL = 0x07;
constexpr unsigned char BS = 0x08;
constexpr unsigned char TAB = 0x09;
constexpr unsigned char LF = 0x0A;
constexpr unsigned char CR = 0x0D;
constexpr unsigned char SO = 0x0E;
constexpr unsigned char SI = 0x0F;
constexpr unsigned char SUB = 0x1A;
constexpr unsigned char ESC = 0x1B;

// The first byte at or after in[i] that ends a plain run (a C0 control
// other than TAB and LF; with `tab_ends`, TAB too), or `n`.
std::size_t plain_run_end(const unsigned char* in, std::size_t i, std::size_t n, bool tab_ends) noexcept;

// The same search, copying the run to `out` as it goes; with `crlf`, a CR
// right before an LF is left out and the run goes on. It stores whole
// blocks, so bytes past the run may be written: `out` must have room for
// n - i bytes. Returns the end of the run and the bytes the copy holds.
struct Copied {
  std::size_t end;
  std::size_t written;
};
Copied copy_plain_run(const unsigned char* in, std::size_t i, std::size_t n, unsigned char* out, bool tab_ends,
                      bool crlf) noexcept;

// Where an escape ends: just past its last byte, and whether it did end
// there (false: the input ran out inside it, and `end` is `n`).
struct Extent {
  std::size_t end;
  bool complete;
};

// The escape that starts with the ESC at in[i].
Extent escape_extent(const unsigned char* in, std::size_t i, std::size_t n) noexcept;

// What an escape cut by the end of an input still needs from the next: its
// introducer (only the ESC came); a control sequence's parameters and final
// byte; an operating-system command's body and terminator (BEL among them);
// another command string's; the intermediate and final bytes of an escape
// such as ESC ( B. None: nothing, the introducer ended a two-byte escape.
enum class Rest : std::uint8_t { None, Introducer, ControlSequence, OperatingSystemCommand, OtherString, Intermediates };

// What is still needed after the introducer `introducer`.
Rest rest_after(unsigned char introducer) noexcept;

// Where such a rest, from in[j] on, ends. `rest` is neither None nor
// Introducer: the caller reads the introducer and asks rest_after.
Extent rest_extent(Rest rest, const unsigned char* in, std::size_t j, std::size_t n) noexcept;

}  // namespace grammar

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
