// libFuzzer target for the cleaning routine (escape and control filter, then
// UTF-8 decoding with replacement). Owns the invariants every cleaned text
// must meet, and holds the routine to the tests' one reference
// (tests/reference/cleaning_reference.h): a filter that reads one escape at
// a time, a byte at a time decoder, and the place where a read may end. Must
// never link Python, the session or anything but the text layer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "text/cleaning.h"
#include "text/read_end.h"
#include "text/utf8.h"
#include "../tests/reference/cleaning_reference.h"

namespace {

using u8 = unsigned char;

constexpr u8 TAB = 0x09;
constexpr u8 LF = 0x0A;
constexpr u8 CR = 0x0D;
constexpr u8 ESC = 0x1B;

[[noreturn]] void fail(const char* what, std::string_view input) {
  std::fprintf(stderr, "cleaning invariant broken: %s\ninput (%zu bytes):", what, input.size());
  for (std::size_t i = 0; i < input.size() && i < 256; ++i) {
    std::fprintf(stderr, " %02x", static_cast<u8>(input[i]));
  }
  std::fprintf(stderr, "\n");
  std::abort();
}

bool only_kept_bytes(std::string_view s) {
  for (const char ch : s) {
    const u8 c = static_cast<u8>(ch);
    if (c == ESC || c == CR) return false;
    if (c < 0x20 && c != TAB && c != LF) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace morvik::text;
  namespace reference = morvik::reference;
  const std::string_view in(reinterpret_cast<const char*>(data), size);

  const std::string stripped = strip_terminal_bytes(in);
  if (stripped.size() > in.size()) fail("filtered bytes longer than the input", in);
  if (!only_kept_bytes(stripped)) fail("ESC, CR or a dropped control byte survived the filter", in);
  const std::string expected_strip = reference::strip(in);
  if (stripped != expected_strip) fail("filter differs from the byte at a time reading", in);
  if (detail::strip_terminal_bytes_portable(in) != stripped) {
    fail("portable filter differs from the vector filter", in);
  }

  const std::string cleaned = sanitize_for_agent(in);
  if (!reference::well_formed(cleaned)) fail("cleaned text is not well-formed UTF-8", in);
  if (!only_kept_bytes(cleaned)) fail("cleaned text holds a control byte", in);
  if (cleaned != reference::decode(expected_strip)) fail("cleaned text differs from the reference", in);
  if (detail::sanitize_for_agent_portable(in) != cleaned) {
    fail("portable cleaning differs from the vector cleaning", in);
  }
  // Clean text is a fixed point: nothing in it opens a sequence or is dropped.
  if (sanitize_for_agent(cleaned) != cleaned) fail("cleaning clean text changed it", in);

  // Where a read of the first k bytes may end: the reference's place, and
  // one from which cleaning the two parts gives the text of the whole.
  if (incomplete_tail_length(in) != reference::tail_length(in, MAX_HELD_TAIL_BYTES)) {
    fail("held tail differs from the reference", in);
  }
  const std::size_t k = size == 0 ? 0 : size * data[0] / 256;
  const std::size_t cut = k - incomplete_tail_length(in.substr(0, k));
  if (sanitize_for_agent(in.substr(0, cut)) + sanitize_for_agent(in.substr(cut)) != cleaned) {
    fail("cleaning the parts of a read split at its held tail differs from cleaning the whole", in);
  }

  // The decoder alone, on raw bytes that still hold controls and escapes.
  std::string decoded = "prefix:";
  append_utf8_with_replacement(in, decoded);
  if (decoded != "prefix:" + reference::decode(in)) fail("decoder differs from the reference", in);
  return 0;
}
