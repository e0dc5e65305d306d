// Where a read of the output ends. A terminal shows a character or an escape
// only once its last byte has come, so a read must not hand out the first
// half of one: cleaned on its own, that half would show as U+FFFD or as the
// rest of a sequence read as text, and the texts of successive reads would
// no longer join up to the text of the whole output. Shared by every path
// that hands output out; takes no lock of its own (the caller holds rx).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "channel.h"

namespace morvik::session {

// Puts the end of `collected` that stops inside a character or escape (see
// incomplete_tail_length) back at the head of `rx`, for the next read to
// take first and count against its budget, and cuts it off `collected`.
// Hands it out instead, cleaned where it stands, once the output has ended
// (nothing will complete it), or when it is all a read with this `budget`
// could take while more is queued behind it (a loop that reads until it gets
// nothing would otherwise stop there). Returns how many bytes it held back.
std::size_t hold_incomplete_tail(Receiver& rx, std::string& collected, std::uint64_t budget);

}  // namespace morvik::session
