// What a face makes of raw output, as the result path takes it: a bound on
// the text's size and a writer. The cleaning is the default; another maker
// (a renderer of lines) plugs in here and keeps the rest of the path. Pure
// function pointers, safe on any thread with the interpreter lock released.
#pragma once

#include <cstddef>
#include <string_view>

#include "cleaning.h"

namespace morvik::text {

struct TextMaker {
  // The most bytes `write` may produce for `raw`.
  std::size_t (*bound)(std::string_view raw);
  // Writes the text's UTF-8 bytes to out[0, size), with room for
  // bound(raw) bytes there (scratch anywhere in it); ill-formed bytes are
  // decoded with replacement afterwards.
  CleanedBytes (*write)(std::string_view raw, char* out);
};

// The cleaning: the text is never longer than the raw bytes.
inline constexpr TextMaker CLEANED{[](std::string_view raw) { return raw.size(); }, clean_into};

}  // namespace morvik::text
