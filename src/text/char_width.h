// How many cells a terminal gives a character: 0 for one drawn over the
// character before it (combining marks, format characters), 2 for East Asian
// wide and fullwidth ones, 1 for the rest. Pure; safe on any thread.
#pragma once

namespace morvik::text {

int char_width(char32_t c) noexcept;

}  // namespace morvik::text
