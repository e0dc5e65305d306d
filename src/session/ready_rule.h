// The rule that decides when a wait on the agent face ends, and why: the
// one place where "ready" is defined. Pure: it performs no input or output,
// reads no clock and takes no lock. Whoever drives it (agent_session.cpp)
// reports what happened, with the time it happened, and asks next() what to
// do: wait for output until a time, check whether a prompt shown at the end
// of the output really ends it, ask the kernel whether the program waits
// for input, or end with a status.
//
// The hazards it stands between:
// - a prompt that shows while our input is still queued, or after a wait
//   that did not end ready, may answer an earlier line: the driver confirms
//   it (nothing queued, nothing of the program's still on its way) before
//   it counts;
// - a program that computes between two parts of its answer is no program
//   waiting for input: a quiet gap ends a wait only when the caller asked
//   for one, or where the kernel cannot tell;
// - asking the kernel costs system calls: it is asked first soon after the
//   last output, then at gaps that double up to the longest, and never
//   while the output still flows.
// Events are reported in the order they happened; an end, once decided, is
// final, and a decided "ready" wins over everything reported after it.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace morvik::session {

// Why a wait ended, in the order the wait looks at them.
enum class WaitEnd { Ready, Quiet, Timeout, Exited, Cancelled, Cap };
// Their names, as every face shows them, in the enum's order: the one place
// they are written (the Python layer and the MCP server read them from the
// core).
inline constexpr std::array<std::string_view, 6> WAIT_END_NAMES = {"ready", "quiet", "timeout",
                                                                   "exited", "cancelled", "cap"};
constexpr std::string_view wait_end_name(WaitEnd end) noexcept {
  return WAIT_END_NAMES[static_cast<std::size_t>(end)];
}

// The quiet gap that ends a wait without prompts when the caller named none
// and the kernel cannot tell whether the program waits for input.
inline constexpr std::uint64_t AGENT_FALLBACK_QUIET_MS = 300;
// Without prompts the kernel is asked first as soon as the output stops
// (the terminal was found empty), with prompts (which usually tell first)
// READY_CHECK_PROMPT_DELAY after it; then at gaps that start at the first
// and double up to the longest: a program that blocks for input is seen at
// once, or within about the gap after its last output, and one that
// computes for minutes costs a question per gap (a program at work is
// told by one read, so the first gaps are short: a program caught between
// writing its prompt and reading is seen soon after). A relay (script,
// sudo) may still carry the last output of the program behind it when that
// program already waits: its word counts only READY_RELAY_SETTLE after the
// last output.
inline constexpr std::chrono::microseconds READY_CHECK_FIRST_GAP{50};
inline constexpr std::chrono::microseconds READY_CHECK_PROMPT_DELAY{250};
inline constexpr std::chrono::microseconds READY_RELAY_SETTLE{250};
inline constexpr std::chrono::milliseconds READY_CHECK_LONGEST_GAP{12};

class ReadyRule {
 public:
  using Clock = std::chrono::steady_clock;

  struct Setup {
    Clock::time_point began;
    Clock::time_point deadline;
    // The caller's quiet gap; nullopt: only where the kernel cannot tell.
    std::optional<std::uint64_t> quiet_ms;
    bool prompts_given = false;
    bool child_exited = false;  // already flagged when the wait began
  };

  enum class Do { Wait, ConfirmPrompt, AskKernel, End };
  struct Next {
    Do what = Do::Wait;
    Clock::time_point until{};  // Wait: block for output or a poke until then
    WaitEnd end = WaitEnd::Timeout;  // End: the status
    // ConfirmPrompt: the output that shows the prompt was taken this moment
    // (the reader's finding that the terminal was empty since is enough).
    bool just_taken = false;
  };

  // What the driver found when it asked the kernel.
  enum class Kernel {
    Flowing,    // the reader has not found the terminal empty since its last chunk: not asked
    Busy,       // input queued, or the program is not asleep reading the terminal
    Waiting,    // asleep reading the terminal, and everything it wrote is taken
    WaitingBehindRelay,  // the same, said of the program behind a relay
    // Asleep reading keys with a timer running, and the cursor left at the
    // start of an empty line: so is a REPL that awaits that timer while it
    // reads on (node's top-level await), and the kernel cannot tell the two
    // apart.
    WaitingUnsure,
    Answering,  // asleep reading the answer to a query of its own: not waiting for us
    Unknown,    // the kernel will not tell (another user's program, no /proc)
    Interrupted,  // the drain after the answer stopped (a cancel, the deadline)
  };

  explicit ReadyRule(const Setup& setup) noexcept;

  Next next(Clock::time_point now) const noexcept;

  // New output taken (not output an earlier wait held back); `prompt_at_end`:
  // its end shows one of the prompts.
  void output(Clock::time_point at, bool prompt_at_end) noexcept;
  // A wait for output ended with none (its time ran out, or nothing was
  // queued).
  void nothing_came(Clock::time_point now) noexcept;
  void child_ended() noexcept { child_exited_ = true; }
  void output_ended() noexcept { decide(WaitEnd::Exited); }  // the channel disconnected
  void cancelled() noexcept { decide(WaitEnd::Cancelled); }
  void capped() noexcept { decide(WaitEnd::Cap); }
  // The shell reported (with its marks, shell_marks.h) a prompt drawn to
  // its end since the wait began, and nothing after it, where the kernel
  // cannot tell whether it reads: it waits for its next command. Where the
  // kernel tells, the driver asks it at once instead, since the shell sets
  // its line editor up after drawing the prompt. Between a command's start
  // and end mark nothing is reported, and the kernel decides as for any
  // program.
  void shell_prompt_drawn() noexcept { decide(WaitEnd::Ready); }
  // The answer to ConfirmPrompt; `still_shown`: the end of the output (a
  // drain may have taken more) still shows a prompt.
  void prompt_checked(bool ends_output, bool still_shown, Clock::time_point now) noexcept;
  // The answer to AskKernel.
  void kernel_said(Kernel answer, Clock::time_point now) noexcept;

  bool kernel_tells() const noexcept { return kernel_tells_; }

 private:
  void decide(WaitEnd end) noexcept {
    if (!end_) end_ = end;
  }
  // When the kernel is first asked after output at `at`.
  Clock::time_point first_check_after(Clock::time_point at) const noexcept {
    return prompts_given_ ? at + READY_CHECK_PROMPT_DELAY : at;
  }
  // The check came due and told nothing: the next one a gap away, and the
  // gap after it longer.
  void back_off(Clock::time_point now) noexcept;
  std::optional<std::uint64_t> quiet_gap() const noexcept;

  Clock::time_point deadline_;
  std::optional<std::uint64_t> quiet_ms_;
  bool prompts_given_;
  bool child_exited_;
  std::optional<WaitEnd> end_;
  bool output_seen_ = false;
  Clock::time_point last_output_;
  Clock::duration gap_;
  Clock::time_point next_check_;
  // Cleared for this wait once the kernel will not tell: the prompts and
  // the quiet gap decide then.
  bool kernel_tells_ = true;
  // The kernel's last word was WaitingUnsure: the fallback quiet gap may end
  // the wait, as where the kernel cannot tell.
  bool unsure_ = false;
  bool prompt_shown_ = false;    // the end of the output shows a prompt
  bool confirm_due_ = false;     // ... to be confirmed now
  bool confirm_just_taken_ = false;
  bool check_due_ = false;       // the kernel is to be asked now
};

}  // namespace morvik::session
