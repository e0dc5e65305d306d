// Where a read of the output ends (see text/read_end.h for why a read must
// not hand out the first half of a character or escape). Shared by every
// path that hands output out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/byte_buffer.h"
#include "inbox.h"

namespace morvik::session {

// Puts the end of `collected` that stops inside a character or escape (see
// incomplete_tail_length) back at the head of `inbox`, for the next read to
// take first and count against its budget, and cuts it off `collected`.
// Hands it out instead, cleaned where it stands, once the output has ended
// (nothing will complete it), or when it is all a read with this `budget`
// could take while more is queued behind it (a loop that reads until it gets
// nothing would otherwise stop there). Returns how many bytes it held back.
std::size_t hold_incomplete_tail(Inbox& inbox, ByteBuffer& collected, std::uint64_t budget);

// Appends a chunk to `out` within `cap` bytes; the cut rest goes back to
// `inbox`. Returns true when the chunk had to be cut.
bool append_capped(Inbox& inbox, ByteBuffer& out, Chunk&& chunk, std::uint64_t cap);

}  // namespace morvik::session
