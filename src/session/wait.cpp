// The two blocking reads: wait for a ready marker (then settle), or wait for
// the output to go quiet. They run with the interpreter lock released, so
// nothing here may touch Python. Every receive blocks, in the channel or
// (with the turn) in poll on the terminal, until a chunk arrives or its slice
// ends: no busy polling and no sleeps.
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
  // still runs) reads it. A wait takes one of its own when none is held.
  if (s.waiting_ || s.closed_ || s.in_other_process()) return;
  lock_.emplace(s.engine_->wait_mutex());
  turn_.emplace(*s.engine_);
  s.waiting_ = true;
  held_ = &s;
}

Session::WaitTurn::~WaitTurn() {
  if (held_ == nullptr) return;
  turn_.reset();
  held_->waiting_ = false;
}

Inbox::Status Session::receive_capped(Collecting& collected, nanoseconds limit, std::uint64_t cap,
                                      bool& cut, bool* held) {
  Chunk chunk;
  const Inbox::Status status = engine_->receive(chunk, Clock::now() + limit);
  if (status == Inbox::Status::Chunk) {
    if (held != nullptr) *held = engine_->took_held();
    cut = append_capped(engine_->inbox(), collected.raw, std::move(chunk), cap);
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
