// Where reads end. Must not wait, or look at more of the output than the
// read collected: it runs at the end of every read and wait.
#include "held_tail.h"

#include "text/read_end.h"

namespace morvik::session {

std::size_t hold_incomplete_tail(Inbox& inbox, ByteBuffer& collected, std::uint64_t budget) {
  const std::size_t held = text::incomplete_tail_length(collected.view());
  if (held == 0) return 0;
  const Inbox::Status behind = inbox.peek();
  if (behind == Inbox::Status::Disconnected) return 0;
  if (held == collected.size() && collected.size() >= budget && behind == Inbox::Status::Chunk) return 0;
  inbox.hold_back(Chunk(collected.view().substr(collected.size() - held)));
  collected.truncate(collected.size() - held);
  return held;
}

bool append_capped(Inbox& inbox, ByteBuffer& out, Chunk&& chunk, std::uint64_t cap) {
  const std::uint64_t room = cap - out.size();
  if (chunk.size() <= room) {
    out.append(chunk);
    return false;
  }
  // The rest goes back to the inbox: a budget ends a read, it never loses
  // output, and the history stays the exact output stream.
  const auto take = static_cast<std::size_t>(room);
  out.append(std::string_view(chunk).substr(0, take));
  chunk.erase(0, take);
  inbox.put_back(std::move(chunk));
  return true;
}

}  // namespace morvik::session
