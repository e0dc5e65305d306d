// Plain C entry points into the cleaning routine, and into the tests' one
// reference for it, for tests and benchmarks, which load them through ctypes
// from a library of their own (morvik_hooks, built only when asked for and
// never installed), so that the installed module exports nothing but its
// entry point. They must never include Python.h, touch the interpreter, or
// let a C++ exception cross into a C caller.

#include <cstddef>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>

#include "text/cleaning.h"

#include "../reference/cleaning_reference.h"

namespace {

// Copies `result` into the caller's buffer when it fits whole (a cut could
// split a character) and reports its full length either way, so a caller
// whose buffer was short can retry with the size it was told.
std::size_t hand_over(const std::string& result, char* out, std::size_t out_cap) noexcept {
  if (result.size() <= out_cap && !result.empty()) std::memcpy(out, result.data(), result.size());
  return result.size();
}

constexpr std::size_t HOOK_FAILED = static_cast<std::size_t>(-1);

}  // namespace

// The cleaned text as UTF-8. Returns its length in bytes, written to `out`
// only when it is at most `out_cap`; 3 * n is always enough. Returns
// (size_t)-1 when memory ran out.
extern "C" __attribute__((visibility("default"))) std::size_t morvik_sanitize_for_agent(
    const char* in, std::size_t n, char* out, std::size_t out_cap) noexcept {
  try {
    return hand_over(morvik::text::sanitize_for_agent(std::string_view(in, in ? n : 0)), out,
                     out_cap);
  } catch (const std::exception&) {
    return HOOK_FAILED;
  }
}

// The filtered bytes before decoding, never more than `n`. Same contract.
extern "C" __attribute__((visibility("default"))) std::size_t morvik_strip_terminal_bytes(
    const char* in, std::size_t n, char* out, std::size_t out_cap) noexcept {
  try {
    return hand_over(morvik::text::strip_terminal_bytes(std::string_view(in, in ? n : 0)), out,
                     out_cap);
  } catch (const std::exception&) {
    return HOOK_FAILED;
  }
}

// The reference filter's bytes (tests/reference/cleaning_reference.h), which
// the routine's filtered bytes must equal. Same contract.
extern "C" __attribute__((visibility("default"))) std::size_t morvik_reference_strip(
    const char* in, std::size_t n, char* out, std::size_t out_cap) noexcept {
  try {
    return hand_over(morvik::reference::strip(std::string_view(in, in ? n : 0)), out, out_cap);
  } catch (const std::exception&) {
    return HOOK_FAILED;
  }
}
