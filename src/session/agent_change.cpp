// The agent face's wait for a change: for programs that redraw by
// themselves (top, watch, a progress bar, a build), whose "ready" never
// comes. It watches the output's version only: it must never take output
// from the inbox or feed the renderer, so the reply of the next wait is
// the same as if this wait had never run, and it holds the wait lock so
// that no wait's turn reads the terminal behind its back.
#include <algorithm>

#include "agent_session.h"
#include "deadline.h"

namespace morvik::session {

Expected<ChangeEnd> AgentSession::wait_for_change(const ChangeWait& args) {
  using Clock = std::chrono::steady_clock;
  if (closed()) return runtime_error("the terminal is closed");
  std::lock_guard<std::mutex> lock(engine_->wait_mutex());
  if (closed()) return runtime_error("the terminal is closed");
  const std::uint64_t cancel_seen = cancels_.load(std::memory_order_acquire);
  const auto began = Clock::now();
  const auto deadline = deadline_after(began, args.timeout_ms);
  const auto quiet = std::chrono::milliseconds(std::min<std::uint64_t>(args.quiet_ms, 1ull << 40));
  auto next_interrupt_check = began + INTERRUPT_CHECK_GAP;
  std::uint64_t last = output_->version();
  auto last_change = began;
  for (;;) {
    const auto now = Clock::now();
    if (cancelled_since(cancel_seen)) return ChangeEnd{WaitEnd::Cancelled, last};
    if (args.interrupted && now >= next_interrupt_check) {
      if (args.interrupted()) return ChangeEnd{WaitEnd::Cancelled, last};
      next_interrupt_check = now + INTERRUPT_CHECK_GAP;
    }
    // The reader flags the end only once it has read the terminal dry:
    // the version is final then.
    if (engine_->inbox().receiver().events().child_exited) return ChangeEnd{WaitEnd::Exited, output_->version()};
    const bool moved = last != args.since;
    if (moved && now - last_change >= quiet) return ChangeEnd{WaitEnd::Quiet, last};
    if (now >= deadline) return ChangeEnd{WaitEnd::Timeout, last};
    // The child's end pokes the inbox, not us: it is looked at each slice.
    auto until = std::min(deadline, now + INTERRUPT_CHECK_GAP);
    if (moved) until = std::min(until, last_change + quiet);
    const std::uint64_t seen = output_->wait_version(last, until);
    if (seen != last) {
      last = seen;
      last_change = Clock::now();
    }
  }
}

}  // namespace morvik::session
