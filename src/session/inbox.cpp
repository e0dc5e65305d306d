// The session's end of the output. Must never block but in take_within, and
// never let a returned byte fall behind newer output from the channel.
#include "inbox.h"

#include <utility>

namespace morvik::session {

bool Inbox::take_returned(Chunk& out) {
  if (returned_.empty()) return false;
  out = std::move(returned_.front().bytes);
  took_held_ = returned_.front().held;
  returned_.pop_front();
  return true;
}

Inbox::Status Inbox::try_take(Chunk& out) {
  if (take_returned(out)) return Status::Chunk;
  took_held_ = false;
  return rx_.try_recv(out);
}

Inbox::Status Inbox::take_within(Chunk& out, std::chrono::nanoseconds limit) {
  if (take_returned(out)) return Status::Chunk;
  took_held_ = false;
  return rx_.recv_timeout(out, limit);
}

Inbox::Status Inbox::peek() {
  if (!returned_.empty()) return Status::Chunk;
  // Taken to be looked at: it waits at the back of the returned output,
  // which is exactly its place in the stream.
  Chunk next;
  const Status status = rx_.try_recv(next);
  if (status == Status::Chunk) returned_.push_back({std::move(next), false});
  return status;
}

void Inbox::put_back(Chunk rest) {
  if (!rest.empty()) returned_.push_front({std::move(rest), false});
}

void Inbox::hold_back(Chunk held) {
  if (!held.empty()) returned_.push_front({std::move(held), true});
}

}  // namespace morvik::session
