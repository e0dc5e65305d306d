// The agent face's wait: it takes the output, renders the reply's text,
// and reports to the ready rule (ready_rule.h), which decides when the wait
// ends and why; what the rule asks for (a prompt confirmed, the kernel
// asked) is done here. Must never hold wait_mutex_'s members across a call
// that takes the process lock in the other order, and never end a wait on
// a prompt that answers an earlier line.
#include <algorithm>
#include <cerrno>
#include <utility>

#include "agent_session.h"
#include "deadline.h"
#include "held_tail.h"
#include "marker_watch.h"
#include "ready_rule.h"
#include "text/cleaning.h"
#include "text/read_end.h"

namespace morvik::session {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::nanoseconds;

// The prompts are looked for in the cleaned end of the output: first in
// this much raw output, and in the whole window (a prompt is never longer)
// when that tail shows too little text.
constexpr std::size_t PROMPT_TAIL_BYTES = 512;
constexpr std::size_t PROMPT_WINDOW_BYTES = MARKER_WINDOW_BYTES;
constexpr std::size_t PROMPT_TAIL_MARGIN = 16;
// What an interrupt that drops the queued output keeps of its end.
constexpr std::size_t DISCARD_KEPT_BYTES = 4096;

}  // namespace

std::size_t AgentSession::discard_queued() {
  // Dropped from the replies only: the history keeps them (the reader
  // followed the modes through them already). The end of what is queued
  // stays, from a line's start: where the program stands now (its prompt,
  // the interrupt's message) is what the reply must show.
  // What is queued now, and no more: a flood that goes on (a program that
  // ignores the interrupt) would otherwise keep this loop taking for good.
  Inbox& inbox = engine_->inbox();
  const std::size_t budget = inbox.receiver().events().queued_bytes + inbox.returned_bytes();
  std::string queued;
  std::size_t total = 0;
  Chunk chunk;
  while (total < budget && inbox.try_take(chunk) == Inbox::Status::Chunk) {
    queued.append(chunk);
    total += chunk.size();
    if (queued.size() > 2 * DISCARD_KEPT_BYTES) {
      const std::size_t gone = queued.size() - DISCARD_KEPT_BYTES;
      engine_->record(std::string_view(queued).substr(0, gone));
      marks_.feed(std::string_view(queued).substr(0, gone));
      queued.erase(0, gone);
    }
  }
  std::size_t keep = std::min(queued.size(), DISCARD_KEPT_BYTES);
  const std::size_t line = queued.find('\n', queued.size() - keep);
  if (line != std::string::npos && line + 1 < queued.size()) keep = queued.size() - line - 1;
  const std::string_view before_kept = std::string_view(queued).substr(0, queued.size() - keep);
  // The kept end reaches the history with the reply that shows it, and the
  // marks with the wait that takes it: each byte is fed to them once.
  engine_->record(before_kept);
  marks_.feed(before_kept);
  // The line the last reply left unfinished ends in what was dropped: the
  // renderer sees that end, so the kept text starts a line of its own.
  renderer_.set_columns(columns_.load(std::memory_order_acquire));
  renderer_.feed(before_kept);
  (void)renderer_.take(false);
  inbox.put_back(queued.substr(queued.size() - keep));
  return total - keep;
}

bool AgentSession::take(ReadOutput& collected, Chunk&& chunk, std::uint64_t cap, bool& cut) {
  const bool held = engine_->took_held();
  const std::size_t before = collected.raw.size();
  cut = append_capped(engine_->inbox(), collected.raw, std::move(chunk), cap) || cut;
  const std::string_view added = collected.raw.view().substr(before);
  // The renderer keeps an escape or character cut by a chunk's end until
  // the rest comes, so every byte is fed once, as it comes, and no tail is
  // held back from the raw output.
  renderer_.set_columns(columns_.load(std::memory_order_acquire));
  // Once the program draws at rows of the screen (top, `clear`), its lines
  // are the screen's to show and what the line model makes of them is
  // dropped; the lines completed before that move still lead the reply, so
  // the chunk is rendered in two steps at the move.
  if (collected.addressed) {
    renderer_.feed(added);
    (void)renderer_.take(false);
  } else {
    const std::size_t used = renderer_.feed(added, /*stop_at_address=*/true);
    if (renderer_.completed_bytes() != 0) collected.text.append(renderer_.take(false));
    if (used < added.size() || renderer_.moved_to_row()) {
      collected.addressed = true;
      renderer_.feed(added.substr(used));
      (void)renderer_.take(false);
    }
  }
  marks_.feed(added);
  return !held;
}

std::optional<ShownScreen> AgentSession::finish_text(ReadOutput& collected) {
  collected.made = true;
  if (!renderer_.alternate() && !collected.addressed) {
    collected.text.append(renderer_.take(true));
    return std::nullopt;
  }
  // A full-screen program: what it drew, not how. The main screen's lines
  // that came before it took over still lead.
  if (!collected.addressed) collected.text.append(renderer_.take(false));
  const std::optional<ScreenShot> shot = output_->screen();
  if (!shot) return std::nullopt;
  std::size_t rows = shot->lines.size();
  while (rows != 0 && shot->lines[rows - 1].empty()) --rows;
  for (std::size_t r = 0; r < rows; ++r) {
    collected.text.append(shot->lines[r]);
    collected.text.append("\n");
  }
  // Which screen it was, so that a caller can ask what changed since.
  return ShownScreen{shot->version, rows, shot->lines.size(), shot->row, shot->column};
}

std::optional<std::size_t> AgentSession::prompt_at_end(std::string_view collected) const {
  if (prompts_.empty() || collected.empty()) return std::nullopt;
  // An escape or character still being written is no part of what shows.
  collected.remove_suffix(text::incomplete_tail_length(collected));
  // The end is all that matters: a short tail usually shows enough of it;
  // one that is mostly escapes (a full-screen redraw) is looked at whole.
  auto shown_end = [&](std::size_t span) {
    return text::sanitize_for_agent(collected.substr(collected.size() - std::min(span, collected.size())));
  };
  std::string shown = shown_end(PROMPT_TAIL_BYTES);
  // Too little text, and an escape cut at the tail's start could reach the
  // end where a prompt would be.
  if (collected.size() > PROMPT_TAIL_BYTES && shown.size() < longest_prompt_ + PROMPT_TAIL_MARGIN) {
    shown = shown_end(PROMPT_WINDOW_BYTES);
  }
  for (std::size_t i = 0; i < prompts_.size(); ++i) {
    if (shown.ends_with(prompts_[i])) return i;
  }
  return std::nullopt;
}

bool AgentSession::drain(ReadOutput& collected, std::uint64_t cap, Clock::time_point deadline,
                         std::uint64_t cancel_seen, bool after_output, bool& new_output, bool& cut) {
  Receiver& rx = engine_->inbox().receiver();
  // After output just taken: the terminal was found empty after the last
  // chunk, a read that came after that output was written, so nothing
  // written before it is on its way (a reply's usual end, at no cost).
  if (after_output && engine_->output_dry()) return true;
  while (engine_->holds_turn()) {
    // With the turn the drain is ours: reads until one finds the terminal
    // empty.
    if (cancelled_since(cancel_seen)) return false;
    if (collected.raw.size() >= cap) return true;
    Chunk chunk;
    const auto status = engine_->receive(chunk, Clock::now());
    if (status == Inbox::Status::Chunk) {
      if (take(collected, std::move(chunk), cap, cut)) new_output = true;
    } else if (status != Inbox::Status::Poked && engine_->holds_turn()) {
      return true;
    }
  }
  const std::uint64_t generation = engine_->request_sync();
  for (;;) {
    if (cancelled_since(cancel_seen)) return false;
    if (collected.raw.size() >= cap) return true;
    const auto events = rx.events();
    if (events.synced >= generation || events.child_exited) {
      // Everything written before the request is queued: take it.
      Chunk chunk;
      while (collected.raw.size() < cap && engine_->inbox().try_take(chunk) == Inbox::Status::Chunk) {
        if (take(collected, std::move(chunk), cap, cut)) new_output = true;
      }
      return true;
    }
    const auto now = Clock::now();
    if (now >= deadline) return false;
    Chunk chunk;
    const auto status = engine_->inbox().take_within(chunk, std::min<nanoseconds>(deadline - now, READY_CHECK_LONGEST_GAP));
    if (status == Inbox::Status::Chunk) {
      if (take(collected, std::move(chunk), cap, cut)) new_output = true;
    } else if (status == Inbox::Status::Disconnected) {
      return true;
    }
  }
}

AgentReply AgentSession::wait_locked(const AgentWait& args, std::uint64_t cancel_seen) {
  const auto began = Clock::now();
  const auto deadline = deadline_after(began, args.timeout_ms);
  const std::uint64_t cap = args.max_output_bytes;
  Receiver& rx = engine_->inbox().receiver();

  AgentReply reply;
  ReadOutput collected;
  MarkerWatch watch(prompts_);
  bool cut = false;
  ReadyRule rule({began, deadline, args.quiet_ms, !prompts_.empty(), rx.events().child_exited});
  const Engine::Turn turn(*engine_);
  // Whether the program waited for input when this wait began: the last
  // wait ended there. Otherwise a prompt may answer an earlier line.
  const bool trust_prompts = answered_;
  // The prompt that ends the output so far, as last looked at.
  std::optional<std::size_t> shown_prompt;
  // The prompts the shell drew to their end before this wait, or when
  // last looked at: one drawn since, with nothing after it but the input
  // line, is the shell waiting for its next command. Not while input of
  // ours is queued: that prompt comes before an earlier line's answer.
  std::uint64_t shell_prompts = marks_.prompts_drawn();
  auto shell_waits = [&]() {
    if (marks_.prompts_drawn() == shell_prompts) return false;
    shell_prompts = marks_.prompts_drawn();
    return marks_.stage() == ShellMarks::Stage::Input && !engine_->input_queued();
  };

  // Whether the prompt shown ends the output. `just_taken`: the output that
  // shows it was taken this moment, so the reader finding the terminal empty
  // since says nothing newer is on its way. Looked at again later, that
  // finding may predate what the program wrote meanwhile (an answer to input
  // it read since, then a new prompt): then only a drain tells.
  auto prompt_ends_output = [&](bool just_taken) {
    // A prompt shown while input of ours is still queued answers an earlier
    // line, not the last one. And when the last wait did not end ready, the
    // program may have taken our line while busy and not answered it yet:
    // then the kernel decides, where it can.
    if (engine_->input_queued() || (!trust_prompts && engine_->input_wait() == pty::InputWait::Busy)) return false;
    // It ends the output only if nothing written before now is still on
    // its way. Not after a wait that did not end ready, though: then the
    // program may have taken our line, answered and waited again since.
    bool more = false;
    if (!drain(collected, cap, deadline, cancel_seen, just_taken && trust_prompts, more, cut)) return false;
    if (more) shown_prompt = prompt_at_end(collected.raw.view());
    reply.prompt = shown_prompt;
    return shown_prompt.has_value();
  };

  // The kernel's view, asked only once the reader found the terminal empty
  // (a flood would only be slowed by the question). Input first, then the
  // program: input queued now means it is not waiting; none queued and the
  // program then found asleep reading the terminal means it took all of
  // ours and came back for more. (Asked the other way round, the program
  // could take our line in between.)
  auto ask_kernel = [&]() {
    if (!engine_->output_dry()) return ReadyRule::Kernel::Flowing;
    // A query the reader is still reading now is answered before its chunk
    // is queued: counted first, so that the drain below shows it.
    const std::uint64_t answers_before = output_->answers();
    pty::WaitDetail seen;
    const pty::InputWait verdict = engine_->input_queued() ? pty::InputWait::Busy : engine_->input_wait(&seen);
    if (verdict == pty::InputWait::Unknown) return ReadyRule::Kernel::Unknown;
    if (verdict != pty::InputWait::Waiting) return ReadyRule::Kernel::Busy;
    // Asleep reading the terminal: its answer is written, though some of
    // it may still be on its way to the reader. The block may be newer than
    // the reader's last read: always ask it.
    bool more = false;
    if (!drain(collected, cap, deadline, cancel_seen, false, more, cut)) return ReadyRule::Kernel::Interrupted;
    if (collected.raw.size() >= cap) {
      rule.capped();
      return ReadyRule::Kernel::Interrupted;
    }
    // It was asleep reading the answer to a question of its own: the answer
    // is on its way, and the program is not waiting for us.
    if (output_->answers() != answers_before) return ReadyRule::Kernel::Answering;
    reply.prompt = prompt_at_end(collected.raw.view());
    // A program that reads keys with a timer running, and the cursor at the
    // start of an empty line where a prompt would stand: it may be
    // awaiting that timer (node's top-level await) as well as our input.
    if (seen.timed && !reply.prompt && !collected.addressed && renderer_.line_empty() && !renderer_.alternate() &&
        engine_->reads_keys()) {
      return ReadyRule::Kernel::WaitingUnsure;
    }
    return seen.relayed ? ReadyRule::Kernel::WaitingBehindRelay : ReadyRule::Kernel::Waiting;
  };

  // The caller's interruption (Ctrl-C) is asked about at least this often;
  // it ends the wait as a cancel does.
  auto next_interrupt_check = began + INTERRUPT_CHECK_GAP;

  for (;;) {
    if (cancelled_since(cancel_seen)) rule.cancelled();
    if (cap == 0 || collected.raw.size() >= cap) rule.capped();
    if (shell_waits()) {
      // What the shell wrote with its prompt, after the mark (zsh and fish
      // erase the rest of the line there), belongs to that prompt: it is
      // on its way now, so a drain takes it before the reply ends.
      bool more = false;
      (void)drain(collected, cap, deadline, cancel_seen, false, more, cut);
      // Drawn, the prompt still precedes the read: bash sets its line
      // editor up after it, and a Ctrl-C that lands meanwhile leaves it
      // reading without a prompt, losing the next keys typed. The kernel,
      // asked once, says when it reads; where it cannot tell, the prompt
      // does.
      const ReadyRule::Kernel answer = ask_kernel();
      if (answer == ReadyRule::Kernel::Unknown) {
        rule.shell_prompt_drawn();
      } else {
        rule.kernel_said(answer, Clock::now());
      }
    }
    if (args.interrupted && Clock::now() >= next_interrupt_check) {
      if (args.interrupted()) rule.cancelled();
      next_interrupt_check = Clock::now() + INTERRUPT_CHECK_GAP;
    }
    ReadyRule::Next next = rule.next(Clock::now());
    if (args.interrupted) next.until = std::min(next.until, next_interrupt_check);
    switch (next.what) {
      case ReadyRule::Do::End:
        return finish_wait(reply, collected, next.end);
      case ReadyRule::Do::ConfirmPrompt: {
        const bool ends = prompt_ends_output(next.just_taken);
        rule.prompt_checked(ends, shown_prompt.has_value(), Clock::now());
        continue;
      }
      case ReadyRule::Do::AskKernel: {
        const ReadyRule::Kernel answer = ask_kernel();
        rule.kernel_said(answer, Clock::now());
        continue;
      }
      case ReadyRule::Do::Wait:
        break;
    }
    Chunk chunk;
    const auto status = engine_->receive(chunk, next.until);
    switch (status) {
      case Inbox::Status::Chunk:
        // Output an earlier wait held back is no sign of life.
        if (take(collected, std::move(chunk), cap, cut)) {
          // The watch rules out, cheaply, output whose end cannot show a prompt.
          shown_prompt = watch.seen(collected.raw) ? prompt_at_end(collected.raw.view()) : std::nullopt;
          rule.output(Clock::now(), shown_prompt.has_value());
        }
        break;
      case Inbox::Status::Disconnected:
        rule.output_ended();
        break;
      case Inbox::Status::Poked:
        if (rx.events().child_exited) rule.child_ended();
        break;
      case Inbox::Status::Empty:
      case Inbox::Status::TimedOut:
        rule.nothing_came(Clock::now());
        break;
    }
  }
}

AgentReply AgentSession::finish_wait(AgentReply& reply, ReadOutput& collected, WaitEnd end) {
  reply.end = end;
  answered_ = end == WaitEnd::Ready;
  reply.screen = finish_text(collected);
  engine_->record(collected.raw.view());
  Inbox& inbox = engine_->inbox();
  const auto events = inbox.receiver().events();
  // A cap met at the end of a chunk the wait read itself leaves the rest in
  // the terminal, not in the queue: it counts as queued all the same.
  if (end == WaitEnd::Cap) reply.queued_bytes = events.queued_bytes + inbox.returned_bytes() + engine_->unread_on_terminal();
  // The reader flags the child's end; until it has, the program runs (or
  // has only just ended, which the next reply tells).
  if (end == WaitEnd::Exited || events.child_exited) reply.exit = exit_info();
  if (recorder_) reply.warning = recorder_->take_warning();
  if (const ShellMarks::Ended ended = marks_.take_ended(); ended.ended) reply.command_exit_code = ended.status;
  reply.cwd = marks_.cwd();
  reply.running = end != WaitEnd::Ready && end != WaitEnd::Exited && !reply.exit.ended && !closed();
  reply.out = std::move(collected);
  return std::move(reply);
}

}  // namespace morvik::session
