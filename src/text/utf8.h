// UTF-8 decoding with replacement, on its own: for texts that are not
// terminal output (ready markers) and for tests of the decoder.
#pragma once

#include <string>
#include <string_view>

namespace morvik::text {

// `bytes` decoded as UTF-8, ill-formed subsequences replaced by U+FFFD
// (maximal subparts), appended to `out`.
void append_utf8_with_replacement(std::string_view bytes, std::string& out);

}  // namespace morvik::text
