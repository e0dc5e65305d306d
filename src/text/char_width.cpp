// The width table lookup. The table is generated (scripts/gen-char-width);
// this file must stay a lookup with no rules of its own, so that moving to a
// newer Unicode version is regenerating one file.

#include "text/char_width.h"

#include <algorithm>
#include <iterator>

namespace morvik::text {
namespace {

struct CodeRange {
  char32_t first;
  char32_t last;
};

#include "text/char_width_table.inc"

template <std::size_t N>
bool in_table(const CodeRange (&table)[N], char32_t c) {
  const auto* it = std::upper_bound(std::begin(table), std::end(table), c,
                                    [](char32_t v, const CodeRange& r) { return v < r.first; });
  return it != std::begin(table) && c <= std::prev(it)->last;
}

}  // namespace

int char_width(char32_t c) noexcept {
  if (c < 0x300) return 1;  // Latin, the commonest by far, before any table
  if (in_table(ZERO_WIDTH, c)) return 0;
  return in_table(DOUBLE_WIDTH, c) ? 2 : 1;
}

}  // namespace morvik::text
