// The two blocking reads: wait for a ready marker (then settle), or wait for
// the output to go quiet. They run with the interpreter lock released, so
// nothing here may touch Python. Every receive blocks, in the channel or
// (with the turn) in poll on the terminal, until a chunk arrives or its slice
// ends: no busy polling and no sleeps.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "text/cleaning.h"
#include "text/utf8.h"
#include "deadline.h"
#include "held_tail.h"
#include "marker_watch.h"
#include "session.h"
#include "terminal_poll.h"

namespace morvik::session {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

constexpr milliseconds READY_POLL_SLICE_MS{50};
constexpr milliseconds SETTLE_GAP_MS{25};
constexpr milliseconds QUIET_POLL_SLICE_MS{25};

nanoseconds slice_until(Clock::time_point deadline, milliseconds slice) {
  const auto now = Clock::now();
  if (deadline <= now) return nanoseconds::zero();
  return std::min<nanoseconds>(deadline - now, slice);
}

}  // namespace

Session::WaitTurn::WaitTurn(Session& s) noexcept {
  // Closed: the terminal's descriptor is gone, and only the reader (if it
  // still runs) reads it.
  if (s.holds_turn_ || s.closed_ || s.in_other_process()) return;
  if (!s.reader_thread_.take_turn()) return;
  s.holds_turn_ = true;
  s.turn_bytes_ = 0;
  held_ = &s;
}

Session::WaitTurn::~WaitTurn() {
  if (held_ != nullptr && held_->holds_turn_) held_->give_turn_back();
}

Inbox::Status Session::read_with_turn(ByteBuffer& raw, Clock::time_point deadline, std::uint64_t cap) {
  const int fd = writer_.fd();
  for (;;) {
    // Waited for first: right after an input, or a read that did not end
    // the wait, the rest is rarely there yet, and the wait costs no more
    // than the read that would find nothing.
    pollfd p{fd, POLLIN, 0};
    const int ready = poll_until(&p, 1, deadline);
    if (ready == 0) return Inbox::Status::TimedOut;
    if (ready < 0) break;  // the reader's own wait goes on without this one
    // Straight into the wait's output, and never past its cap: nothing to
    // copy, and nothing to hand back.
    const std::size_t room = static_cast<std::size_t>(std::min<std::uint64_t>(READ_CHUNK_BYTES, cap - raw.size()));
    const ssize_t got = ::read(fd, raw.append_space(room), room);
    if (got > 0) {
      raw.commit(static_cast<std::size_t>(got));
      turn_bytes_ += static_cast<std::size_t>(got);
      // A flood goes back to the reader: then the reading and the
      // cleaning of it run side by side, on two processors.
      if (turn_bytes_ >= TURN_BYTES) give_turn_back();
      return Inbox::Status::Chunk;
    }
    if (!(got < 0 && (errno == EAGAIN || errno == EINTR))) break;
  }
  // End of the output (or a poll that failed): the reader finds it too once
  // it reads again, and ends the channel after what it queued.
  give_turn_back();
  return Inbox::Status::Empty;
}

void Session::give_turn_back() noexcept {
  holds_turn_ = false;
  reader_thread_.give_turn();
}

Inbox::Status Session::receive_capped(Collecting& collected, nanoseconds limit, std::uint64_t cap,
                                      bool& cut, bool* held) {
  Chunk chunk;
  Inbox::Status status;
  bool read_directly = false;  // onto collected.raw, within the cap, held by nobody
  if (!holds_turn_) {
    status = inbox_.take_within(chunk, limit);
  } else if (status = inbox_.try_take(chunk); status == Inbox::Status::Empty) {
    const auto deadline = Clock::now() + limit;
    status = read_with_turn(collected.raw, deadline, cap);
    read_directly = status == Inbox::Status::Chunk;
    if (status == Inbox::Status::Empty) {
      status = inbox_.take_within(chunk, std::max(nanoseconds::zero(), nanoseconds(deadline - Clock::now())));
    }
  }
  if (status == Inbox::Status::Chunk) {
    if (held != nullptr) *held = !read_directly && inbox_.took_held();
    if (!read_directly) cut = append_capped(inbox_, collected.raw, std::move(chunk), cap);
    collected.cleaner.advance(collected.raw.view(), collected.cleaned);
  }
  return status;
}

ReadOutput Session::finish_wait(Collecting& collected, std::uint64_t cap) {
  finish_read(collected.raw, cap);
  return std::move(collected);
}

bool Session::should_wait_for_markers() const noexcept { return interactive_ && !ready_markers_.empty(); }

ReadOutput Session::read_until_ready(const WaitArgs& args) {
  // A forked copy's session is closed: its channel is the original's.
  if (in_other_process()) return {};
  const std::uint64_t timeout_ms = args.timeout_ms.value_or(DEFAULT_TIMEOUT_MS);
  const std::uint64_t max_output_bytes = args.max_output_bytes.value_or(DEFAULT_MAX_OUTPUT_BYTES);
  const std::uint64_t settle_ms = args.settle_ms.value_or(DEFAULT_SETTLE_MS);
  const std::uint64_t quiet_ms = args.quiet_ms.value_or(DEFAULT_QUIET_MS);
  const WaitTurn turn(*this);
  return should_wait_for_markers() ? read_until_ready_inner(timeout_ms, max_output_bytes, settle_ms)
                                   : read_until_quiet_inner(timeout_ms, quiet_ms, max_output_bytes);
}

ReadOutput Session::read_until_ready_inner(std::uint64_t timeout_ms, std::uint64_t max_output_bytes,
                                           std::uint64_t settle_ms) {
  const auto deadline = deadline_after(Clock::now(), timeout_ms);
  MarkerWatch markers(ready_markers_);

  Collecting collected;
  bool seen = false;
  bool cut = false;
  if (max_output_bytes != 0) {
    while (Clock::now() < deadline) {
      const auto status =
          receive_capped(collected, slice_until(deadline, READY_POLL_SLICE_MS), max_output_bytes, cut);
      if (status == Inbox::Status::Disconnected) break;
      if (status != Inbox::Status::Chunk) continue;
      if (!markers.empty() && markers.seen(collected.raw)) {
        seen = true;
        break;
      }
      if (collected.raw.size() >= max_output_bytes) break;
    }
  }

  if (seen && !cut && collected.raw.size() < max_output_bytes) {
    const auto settle_deadline = deadline_after(Clock::now(), settle_ms);
    while (Clock::now() < settle_deadline) {
      const auto status = receive_capped(collected, SETTLE_GAP_MS, max_output_bytes, cut);
      if (status != Inbox::Status::Chunk) break;
      if (collected.raw.size() >= max_output_bytes) break;
    }
  }

  return finish_wait(collected, max_output_bytes);
}

ReadOutput Session::read_until_quiet_inner(std::uint64_t timeout_ms, std::uint64_t quiet_ms,
                                           std::uint64_t max_output_bytes) {
  const auto deadline = deadline_after(Clock::now(), timeout_ms);
  Collecting collected;
  bool received = false;
  Clock::time_point last_chunk{};
  if (max_output_bytes != 0) {
    for (;;) {
      const auto now = Clock::now();
      if (now >= deadline) break;
      if (received && now >= deadline_after(last_chunk, quiet_ms)) break;
      bool cut = false;
      bool held = false;
      const auto status =
          receive_capped(collected, slice_until(deadline, QUIET_POLL_SLICE_MS), max_output_bytes, cut, &held);
      if (status == Inbox::Status::Disconnected) break;
      if (status != Inbox::Status::Chunk) continue;
      // What an earlier read held back is old output: only the child's new
      // output starts the silence that ends the wait.
      if (!held) {
        last_chunk = Clock::now();
        received = true;
      }
      if (collected.raw.size() >= max_output_bytes) break;
    }
  }
  return finish_wait(collected, max_output_bytes);
}

}  // namespace morvik::session
