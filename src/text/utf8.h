// UTF-8 decoding with replacement, on its own: for texts that are not
// terminal output (ready markers), for the line renderer's lines and for
// tests of the decoder. And the two steps that turn well-formed UTF-8 into
// fixed-width code units in memory the caller owns, so that a text can be
// decoded straight into the object that will hold it. And the encoding of
// one character, for the renderer's cells and the screen model's.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace morvik::text {

// `bytes` decoded as UTF-8, ill-formed subsequences replaced by U+FFFD
// (maximal subparts), appended to `out`.
void append_utf8_with_replacement(std::string_view bytes, std::string& out);

// True when `bytes` is well-formed UTF-8, by the widest check this
// processor has.
bool is_well_formed_utf8(std::string_view bytes) noexcept;

// What well-formed UTF-8 decodes to: how many characters, and how wide a
// code unit must be to hold each of them.
struct Utf8Shape {
  std::size_t characters;
  // The top of the narrowest class that holds every character: 0x7F (ASCII),
  // 0xFF, 0xFFFF or 0x10FFFF. A character at least that class's bottom is
  // among them (0x80, 0x100, 0x10000), so the class is exact.
  char32_t max_character;
};

// `well_formed` must be well-formed UTF-8 (one pass, no check).
Utf8Shape measure_utf8(std::string_view well_formed);

// The bytes of one code unit that holds every character of that shape:
// 1, 2 or 4.
unsigned code_unit_bytes(const Utf8Shape& shape);

// Writes the characters of `well_formed`, whose shape measure_utf8 gave, to
// `out` as shape.characters code units of code_unit_bytes(shape) bytes in
// native byte order. Stores never go past the last code unit.
void widen_utf8(std::string_view well_formed, const Utf8Shape& shape, void* out);

// Encodes `c` (at most U+10FFFF) at `out`, which has room for four bytes;
// returns the length. Inline: the line renderer calls it for every cell.
inline std::size_t put_utf8(char* out, char32_t c) noexcept {
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (c >> 12));
    out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (c >> 18));
  out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (c & 0x3F));
  return 4;
}

// `c` (at most U+10FFFF) encoded and appended to `out`.
inline void append_utf8(std::string& out, char32_t c) {
  char b[4];
  out.append(b, put_utf8(b, c));
}

}  // namespace morvik::text
