// UTF-8 decoding with replacement, on its own: for texts that are not
// terminal output (ready markers), for the line renderer's lines and for
// tests of the decoder.
#pragma once

#include <string>
#include <string_view>

namespace morvik::text {

// `bytes` decoded as UTF-8, ill-formed subsequences replaced by U+FFFD
// (maximal subparts), appended to `out`.
void append_utf8_with_replacement(std::string_view bytes, std::string& out);

// True when `bytes` is well-formed UTF-8, by the widest check this
// processor has.
bool is_well_formed_utf8(std::string_view bytes) noexcept;

}  // namespace morvik::text
