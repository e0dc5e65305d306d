// Cleaning of raw terminal output for a program to read: terminal escape
// sequences, carriage returns and control bytes other than TAB and LF are
// dropped in one forward pass, and the rest is decoded as UTF-8 with each
// maximal ill-formed subsequence replaced by one U+FFFD. Pure: no state, no
// locks, safe on any thread.
#pragma once

#include <cstddef>
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

// Whether this processor (and build) can run the AVX2 path
// (cleaning_avx2.cpp). The four functions after it may only be called when
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
