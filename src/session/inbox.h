// The session's end of the output: the channel's receiving end, and in front
// of it the bytes that reads took off the channel but did not hand out. Those
// come out first, before anything newer from the reader: the cut rest of a
// chunk (a byte budget ends a read, it never loses output) and the end of a
// read that stopped inside a character or escape (held_tail.h). Only the
// session's own thread touches an inbox, so it has no lock of its own.
#pragma once

#include <chrono>
#include <deque>

#include "channel.h"

namespace morvik::session {

class Inbox {
 public:
  using Status = Receiver::Status;

  explicit Inbox(Receiver rx) noexcept : rx_(std::move(rx)) {}

  // The oldest output not yet handed out, else Empty or Disconnected.
  Status try_take(Chunk& out);
  // The same, waiting up to `limit` for the reader when nothing is here;
  // TimedOut when the limit passed. A zero limit never blocks.
  Status take_within(Chunk& out, std::chrono::nanoseconds limit);
  // What try_take would report now, without taking anything.
  Status peek();

  // The unread rest of a chunk just taken: it comes out next.
  void put_back(Chunk rest);
  // Output a read held back: it comes out next, marked so that whoever
  // takes it can tell it is no new output.
  void hold_back(Chunk held);
  // How many bytes reads took but did not hand out.
  std::size_t returned_bytes() const noexcept {
    std::size_t n = 0;
    for (const auto& r : returned_) n += r.bytes.size();
    return n;
  }
  Receiver& receiver() noexcept { return rx_; }
  // Whether the output taken last was held back by hold_back.
  bool took_held() const noexcept { return took_held_; }

  // Why the reader stopped, when it failed (an error number), else 0.
  int reader_failure() const { return rx_.sender_failure(); }

  // The channel's side of a fork (Receiver::lock_for_fork). What reads took
  // but did not hand out is left alone: the owner thread may be changing it
  // while another thread forks, and it is at most a chunk.
  void lock_for_fork() noexcept { rx_.lock_for_fork(); }
  void unlock_after_fork(bool in_child) noexcept { rx_.unlock_after_fork(in_child); }

  // Lets go of the channel without touching it (a forked copy of the host).
  void abandon() noexcept { rx_.abandon(); }

 private:
  struct Returned {
    Chunk bytes;
    bool held;
  };
  bool take_returned(Chunk& out);

  Receiver rx_;
  std::deque<Returned> returned_;
  bool took_held_ = false;
};

}  // namespace morvik::session
