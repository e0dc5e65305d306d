// Holding back the end of a read. Must not take a lock, wait, or look at
// more of the output than the read collected: it runs under the rx lock at
// the end of every read and wait.
#include "held_tail.h"

#include "text/read_end.h"

namespace morvik::session {

std::size_t hold_incomplete_tail(Receiver& rx, std::string& collected, std::uint64_t budget) {
  const std::size_t held = text::incomplete_tail_length(collected);
  if (held == 0) return 0;
  const Receiver::Status behind = rx.peek();
  if (behind == Receiver::Status::Disconnected) return 0;
  if (held == collected.size() && collected.size() >= budget && behind == Receiver::Status::Chunk) return 0;
  rx.hold_back(collected.substr(collected.size() - held));
  collected.resize(collected.size() - held);
  return held;
}

}  // namespace morvik::session
