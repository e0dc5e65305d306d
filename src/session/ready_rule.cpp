// The ready rule's transitions. Nothing here may block, read the clock or
// touch the terminal: the tests drive it with made-up times and events.
#include "ready_rule.h"

#include <algorithm>

#include "deadline.h"

namespace morvik::session {

ReadyRule::ReadyRule(const Setup& setup) noexcept
    : deadline_(setup.deadline),
      quiet_ms_(setup.quiet_ms),
      prompts_given_(setup.prompts_given),
      child_exited_(setup.child_exited),
      last_output_(setup.began),
      gap_(READY_CHECK_FIRST_GAP),
      next_check_(first_check_after(setup.began)) {}

std::optional<std::uint64_t> ReadyRule::quiet_gap() const noexcept {
  if (quiet_ms_) return quiet_ms_;
  if (kernel_tells_ && !unsure_) return std::nullopt;
  return AGENT_FALLBACK_QUIET_MS;
}

ReadyRule::Next ReadyRule::next(Clock::time_point now) const noexcept {
  if (end_) return {Do::End, now, *end_, false};
  if (confirm_due_) return {Do::ConfirmPrompt, now, WaitEnd::Ready, confirm_just_taken_};
  if (now >= deadline_) return {Do::End, now, WaitEnd::Timeout, false};
  // Whatever is queued is taken before the end is told.
  if (child_exited_) return {Do::Wait, now, WaitEnd::Exited, false};
  Clock::time_point until = deadline_;
  // The caller's gap ends a pause in output; the fallback, where the kernel
  // does not tell, ends a silence too.
  if (const auto quiet = quiet_gap(); quiet && (output_seen_ || !quiet_ms_) && !prompts_given_) {
    const Clock::time_point quiet_end = deadline_after(last_output_, *quiet);
    if (now >= quiet_end) return {Do::End, now, WaitEnd::Quiet, false};
    until = std::min(until, quiet_end);
  }
  if (check_due_) return {Do::AskKernel, now, WaitEnd::Ready, false};
  if (kernel_tells_ || prompt_shown_) until = std::min(until, next_check_);
  return {Do::Wait, until, WaitEnd::Timeout, false};
}

void ReadyRule::output(Clock::time_point at, bool prompt_at_end) noexcept {
  output_seen_ = true;
  last_output_ = at;
  gap_ = READY_CHECK_FIRST_GAP;
  next_check_ = first_check_after(at);
  prompt_shown_ = prompt_at_end;
  confirm_due_ = prompt_at_end;
  confirm_just_taken_ = true;
  check_due_ = false;
}

void ReadyRule::nothing_came(Clock::time_point now) noexcept {
  if (child_exited_) {
    decide(WaitEnd::Exited);
    return;
  }
  if (now < next_check_ || confirm_due_ || check_due_) return;
  if (prompt_shown_) {
    // Looked at again: the reader's finding that the terminal was empty may
    // predate what the program wrote since, so only a drain tells.
    confirm_due_ = true;
    confirm_just_taken_ = false;
    check_due_ = true;
    return;
  }
  if (kernel_tells_) {
    check_due_ = true;
  } else {
    back_off(now);
  }
}

void ReadyRule::prompt_checked(bool ends_output, bool still_shown, Clock::time_point now) noexcept {
  confirm_due_ = false;
  prompt_shown_ = still_shown;
  if (ends_output) {
    decide(WaitEnd::Ready);
    return;
  }
  // A check that came due goes on to the kernel, where it tells.
  if (check_due_ && !kernel_tells_) {
    check_due_ = false;
    back_off(now);
  }
}

void ReadyRule::kernel_said(Kernel answer, Clock::time_point now) noexcept {
  check_due_ = false;
  if (answer != Kernel::Flowing && answer != Kernel::Interrupted) unsure_ = answer == Kernel::WaitingUnsure;
  switch (answer) {
    case Kernel::Waiting:
      decide(WaitEnd::Ready);
      return;
    case Kernel::WaitingBehindRelay:
      if (now >= last_output_ + READY_RELAY_SETTLE) {
        decide(WaitEnd::Ready);
      } else {
        next_check_ = last_output_ + READY_RELAY_SETTLE;
      }
      return;
    case Kernel::Busy:
    case Kernel::WaitingUnsure:  // asked on: a prompt drawn later ends it ready
      back_off(now);
      return;
    case Kernel::Answering:
      gap_ = READY_CHECK_FIRST_GAP;
      next_check_ = now + gap_;
      return;
    case Kernel::Flowing:
    case Kernel::Interrupted:
      // No backing off: the flood is the program's, not a sign it computes.
      next_check_ = now + gap_;
      return;
    case Kernel::Unknown:
      kernel_tells_ = false;
      return;
  }
}

void ReadyRule::back_off(Clock::time_point now) noexcept {
  next_check_ = now + gap_;
  gap_ = std::min<Clock::duration>(gap_ * 2, READY_CHECK_LONGEST_GAP);
}

}  // namespace morvik::session
