// Where a read of the output may end. A terminal shows a character or an
// escape only once its last byte has come, so a read must not hand out the
// first half of one: cleaned on its own, that half would show as U+FFFD or as
// the rest of a sequence read as text, and the texts of successive reads
// would no longer join up to the text of the whole output.
#pragma once

#include <cstddef>
#include <string_view>

namespace morvik::text {

// The longest part of the output a read keeps back for the next one.
inline constexpr std::size_t MAX_HELD_TAIL_BYTES = 4096;

// How many bytes at the end of `raw` (output a read would hand out, cleaned
// from its first byte) belong to a UTF-8 character or an escape sequence or
// string that `raw` ends inside: the part that later bytes may still
// complete. Cleaning `raw` without them and the rest with whatever follows
// gives the same text as cleaning the joined bytes. 0 when `raw` ends on a
// boundary, and also when that part is longer than `max_held`: such a tail
// is cleaned where it stands.
std::size_t incomplete_tail_length(std::string_view raw, std::size_t max_held = MAX_HELD_TAIL_BYTES);

}  // namespace morvik::text
