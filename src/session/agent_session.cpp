// The agent session: start, the wait and how it decides that the program
// waits for input, control from other threads, and close. Must never hold
// one of its locks across a blocking call another thread's control would
// queue behind (the wait blocks holding wait_mutex_ only), never take the
// process lock while holding the writer's or the history's, and never let a
// wait outlive close.
#include "agent_session.h"

#include <fcntl.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "base/eintr.h"
#include "base/errno_code.h"
#include "base/internal_failure.h"
#include "base/kept_texts.h"
#include "forget.h"
#include "held_tail.h"
#include "marker_watch.h"
#include "text/cleaning.h"
#include "text/read_end.h"

namespace morvik::session {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// The input-wait check runs while the output is silent, first this soon
// after the last output, then at gaps that double up to the longest: a
// program that blocks for input is seen within about that gap, and one that
// computes for minutes costs a check per gap.
constexpr std::chrono::microseconds READY_CHECK_FIRST_GAP{250};
constexpr milliseconds READY_CHECK_LONGEST_GAP_MS{12};
// The prompts are looked for in the cleaned end of the output: first in
// this much raw output, and in the whole window (a prompt is never longer)
// when that tail shows too little text.
constexpr std::size_t PROMPT_TAIL_BYTES = 512;
constexpr std::size_t PROMPT_WINDOW_BYTES = MARKER_WINDOW_BYTES;
constexpr std::size_t PROMPT_TAIL_MARGIN = 16;
// How long close waits for the reader to see the end of the output by
// itself once every process of the session has ended.
constexpr milliseconds READER_JOIN_GRACE_MS{1000};
// What an interrupt that drops the queued output keeps of its end.
constexpr std::size_t DISCARD_KEPT_BYTES = 4096;
// What a terminal is announced as when the caller's environment names none.
constexpr char DEFAULT_TERM[] = "xterm-256color";

Clock::time_point deadline_after(Clock::time_point now, std::uint64_t ms) {
  const auto room = std::chrono::duration_cast<milliseconds>(Clock::time_point::max() - now).count();
  if (ms >= static_cast<std::uint64_t>(room)) return Clock::time_point::max();
  return now + milliseconds(static_cast<milliseconds::rep>(ms));
}

Error closed_error() { return runtime_error("the terminal is closed"); }

Error start_failed(const std::string& program, Errno err) {
  return os_error(err.value(), "cannot start " + program + ": " + err.text());
}

// A duplicate of `fd` at 3 or above, close-on-exec, as every descriptor of
// ours: none may land on a standard descriptor of a host started without one.
Result<UniqueFd> high_duplicate(int fd) {
  UniqueFd copy(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
  if (!copy.valid()) return Errno::last();
  return copy;
}

// The TERM an environment gives ("NAME=value" entries), or "" for none.
std::string term_of(const std::optional<std::vector<std::string>>& env) {
  if (!env) return DEFAULT_TERM;
  for (const auto& entry : *env) {
    if (entry.starts_with("TERM=")) return entry.substr(5);
  }
  return "";
}

std::size_t longest(const std::vector<std::string>& texts) {
  std::size_t n = 0;
  for (const auto& t : texts) n = std::max(n, t.size());
  return n;
}

// Whether the terminal holds input its program can read now: a line in
// canonical mode, enough bytes otherwise. A program asleep in a read of the
// terminal with such input queued is about to wake (our input is on its way
// to it), so it does not wait for input. A poll of the subordinate first
// lets the kernel hand over input still in transit from the master, so a
// line written just before is seen.
bool input_pending(int subordinate) {
  pollfd p{subordinate, POLLIN, 0};
  return retry_on_eintr([&] { return ::poll(&p, 1, 0); }) == 1 && (p.revents & POLLIN) != 0;
}

}  // namespace

AgentSession::AgentSession(pty::PtyProcess process, UniqueFd subordinate, std::shared_ptr<AgentInput> input,
                           std::shared_ptr<AgentOutput> output, std::shared_ptr<CastRecorder> recorder, Receiver rx,
                           ReaderThread reader, std::vector<std::string> prompts, std::uint16_t columns)
    : prompts_(std::move(prompts)),
      longest_prompt_(longest(prompts_)),
      pid_(process.pid()),
      owner_pid_(::getpid()),
      columns_(columns),
      channel_(rx.remote()),
      reader_thread_(std::move(reader)),
      inbox_(std::move(rx)),
      renderer_(columns),
      history_(HISTORY_LIMIT),
      input_(std::move(input)),
      output_(std::move(output)),
      recorder_(std::move(recorder)),
      process_(std::move(process)),
      subordinate_(std::move(subordinate)) {
  fork_policy_.emplace(reader_thread_, inbox_, &process_mutex_, &AgentSession::close_rest_in_forked_child, this);
}

void AgentSession::close_rest_in_forked_child(void* self) noexcept {
  AgentSession& s = *static_cast<AgentSession*>(self);
  s.input_->close_in_forked_child();
  if (s.process_) s.process_->close_in_forked_child();
  if (s.subordinate_.valid()) (void)::close(s.subordinate_.release());
  if (s.recorder_) s.recorder_->close_in_forked_child();
}

Expected<std::unique_ptr<AgentSession>> AgentSession::start(AgentStart start) {
  const std::string term = term_of(start.env);
  pty::ProcessDescription description;
  description.argv = std::move(start.argv);
  description.executable = std::move(start.executable);
  description.path = std::move(start.path);
  description.env = std::move(start.env);
  description.cwd = std::move(start.cwd);
  description.size = {start.rows, start.columns};
  const std::string program = description.argv.empty() ? std::string() : description.argv[0];
  auto process = pty::PtyProcess::spawn(std::move(description));
  if (!process) return start_failed(program, process.error());
  // From here on, returning releases the process record, which stops the
  // child's whole session.
  auto reader_fd = high_duplicate(process->master_fd());
  if (!reader_fd) return start_failed(program, reader_fd.error());
  auto writer_fd = high_duplicate(process->master_fd());
  if (!writer_fd) return start_failed(program, writer_fd.error());
  auto child_fd = high_duplicate(process->pidfd());
  if (!child_fd) return start_failed(program, child_fd.error());
  // Non-blocking, for the writer's sake (see input_writer.h) and because
  // the reader reads first and polls when the terminal is dry. The flag
  // belongs to the master's open file description, which all three share.
  const int flags = ::fcntl(process->master_fd(), F_GETFL);
  if (flags < 0 || ::fcntl(process->master_fd(), F_SETFL, flags | O_NONBLOCK) < 0) {
    return start_failed(program, Errno::last());
  }
  // Held for the input question (input_pending), read-only and never our
  // controlling terminal. The reader therefore sees no end of the output
  // while we hold it; it learns of the child's end from the process handle.
  UniqueFd opened(::open(process->subordinate().path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!opened.valid()) return start_failed(program, Errno::last());
  auto subordinate = high_duplicate(opened.get());
  if (!subordinate) return start_failed(program, subordinate.error());
  opened.reset();
  Result<ReaderThread::Descriptors> descriptors = ReaderThread::make_descriptors();
  if (!descriptors) return start_failed(program, descriptors.error());
  auto input = std::make_shared<AgentInput>(InputWriter(std::move(writer_fd).value()));
  std::shared_ptr<CastRecorder> recorder;
  if (start.record.valid()) {
    recorder = std::make_shared<CastRecorder>(std::move(start.record), start.rows, start.columns, term);
  }
  auto output = std::make_shared<AgentOutput>(start.rows, start.columns, start.screen, input, recorder);
  auto [tx, rx] = make_channel();
  ReaderThread::StartError why;
  ReaderThread reader = ReaderThread::start(std::move(reader_fd).value(), std::move(descriptors).value(), std::move(tx),
                                            why, std::move(child_fd).value(), output);
  if (!reader.joinable()) return start_failed(program, Errno::from_raw(why.code));
  return std::unique_ptr<AgentSession>(new AgentSession(
      std::move(process).value(), std::move(subordinate).value(), std::move(input), std::move(output),
      std::move(recorder), std::move(rx), std::move(reader), std::move(start.prompts), start.columns));
}

AgentSession::~AgentSession() {
  fork_policy_.reset();
  close();
}

// ---------------------------------------------------------------- control

Expected<void> AgentSession::write(std::string_view input) {
  if (closed()) return closed_error();
  // Nobody reads it any more, and our hold on the terminal keeps it open:
  // input would only fill the terminal's queue until a write stalls.
  if (channel_.child_exited()) return {};
  if (auto r = input_->write(input); !r) {
    return runtime_error((r.error().flushing ? kept::FLUSH_FAILED : kept::WRITE_FAILED) + r.error().text);
  }
  if (recorder_) recorder_->input(input);
  return {};
}

Expected<std::string> AgentSession::encode_keys(const std::vector<std::string>& keys) const {
  const bool application = application_cursor_.load(std::memory_order_acquire);
  std::string bytes;
  for (const std::string& key : keys) {
    text::EncodedKey encoded = text::encode_key(key, application);
    switch (encoded.kind) {
      case text::EncodedKey::Kind::Key:
        bytes += encoded.bytes;
        break;
      case text::EncodedKey::Kind::Text:
        bytes += key;
        break;
      case text::EncodedKey::Kind::Invalid: {
        const std::string shown = key.size() > text::MAX_KEY_SPEC_BYTES
                                      ? key.substr(0, text::MAX_KEY_SPEC_BYTES) + "..."
                                      : key;
        return value_error("not a key: '" + shown + "' (a key is one of: " + text::describe_keys() +
                           "; text to type as it is goes in text=)");
      }
    }
  }
  return bytes;
}

std::string AgentSession::encode_paste(std::string_view text) const {
  if (!bracketed_paste_.load(std::memory_order_acquire)) return std::string(text);
  // The end mark inside the text would end the paste early and run the rest
  // as typed keys: it is left out, as terminals do.
  std::string inner(text);
  constexpr std::string_view END = "\x1b[201~";
  for (std::size_t at; (at = inner.find(END)) != std::string::npos;) inner.erase(at, END.size());
  return "\x1b[200~" + inner + std::string(END);
}

void AgentSession::cancel() noexcept {
  if (in_forked_copy()) return;
  cancels_.fetch_add(1, std::memory_order_acq_rel);
  channel_.poke();
}

Expected<void> AgentSession::resize(std::uint16_t rows, std::uint16_t columns) {
  if (closed()) return closed_error();
  // As a terminal does: its own grid first, then the program is told.
  // Output read from here on is laid out at the new size.
  output_->resize(rows, columns);
  columns_.store(columns, std::memory_order_release);
  std::lock_guard<std::mutex> lock(process_mutex_);
  if (!process_) return closed_error();
  if (auto r = process_->resize({rows, columns}); !r) return runtime_error("resize failed: " + r.error().text());
  return {};
}

ExitInfo AgentSession::exit_info() {
  // The program is the original's: for a copy it is no program of its own
  // (closed), and how it ended is not the copy's to know.
  if (in_forked_copy()) return {true, std::nullopt, std::nullopt};
  std::lock_guard<std::mutex> lock(process_mutex_);
  return exit_info_locked();
}

ExitInfo AgentSession::exit_info_locked() {
  if (!process_) return final_exit_;
  // The ended child stays uncollected until close: its number is also its
  // session's, which close's stop looks for.
  const auto alive = process_->is_running();
  if (!alive || alive.value()) return {};
  const auto status = process_->exit_status();
  if (!status) return {true, std::nullopt, std::nullopt};
  if (status->signal != 0) return {true, std::nullopt, status->signal};
  return {true, status->code, std::nullopt};
}

std::string AgentSession::history_raw() {
  if (in_forked_copy()) return {};
  std::lock_guard<std::mutex> lock(history_mutex_);
  return history_.contents();
}

std::string AgentSession::history_text() {
  const std::string raw = history_raw();
  text::LineRenderer lines(columns_.load(std::memory_order_acquire));
  lines.feed(raw);
  return std::string(lines.take(true));
}

void AgentSession::close() noexcept {
  closing_.store(true, std::memory_order_release);
  if (in_forked_copy()) {
    abandon();
    return;
  }
  std::lock_guard<std::mutex> closing(close_mutex_);
  if (closed_) return;
  // A running wait ends now, with what it has.
  cancel();
  try {
    {
      std::lock_guard<std::mutex> lock(process_mutex_);
      // Let go first: the stop asks the terminal whether anyone else still
      // holds its other side, which ours would always answer. Once the
      // session's last hold goes too, the reader sees the end of the output.
      subordinate_.reset();
      // Collects the child too, so the record's release finds nothing to stop.
      (void)process_->terminate_session();
      final_exit_ = exit_info_locked();
    }
    {
      std::lock_guard<std::mutex> waiting(wait_mutex_);
      reader_thread_.join_within(READER_JOIN_GRACE_MS);
    }
    input_->close();
    if (recorder_) recorder_->close();
    // The terminal and the process handle go now, not with the object.
    std::lock_guard<std::mutex> lock(process_mutex_);
    process_.reset();
  } catch (const InternalFailure& f) {
    defer_internal_failure(f.message());
  } catch (...) {
    defer_internal_failure("the terminal's close failed");
  }
  closed_ = true;
}

void AgentSession::abandon() noexcept {
  // Once: a second close in the copy finds nothing left to let go.
  if (abandoned_) return;
  abandoned_ = true;
  reader_thread_.abandon();
  inbox_.abandon();
  input_->abandon();
  if (recorder_) recorder_->abandon();
  forget(std::move(recorder_));
  // Closed at the fork; a number the copy still sees may be a file it
  // opened since.
  (void)subordinate_.release();
  // The process record, in a copy, closes its descriptors and nothing else.
  process_.reset();
}

Expected<AgentReply> AgentSession::checked(AgentReply reply) {
  // A reader that stopped because it failed (out of memory), not because
  // the output ended: the caller learns why.
  if (reply.end == WaitEnd::Exited) {
    const int failure = inbox_.reader_failure();
    if (failure != 0) return runtime_error(kept::READER_STOPPED + os_error_text(failure));
  }
  return reply;
}

// ---------------------------------------------------------------- waits

Expected<AgentReply> AgentSession::wait(const AgentWait& args) {
  if (closed()) return closed_error();
  std::lock_guard<std::mutex> lock(wait_mutex_);
  if (closed()) return closed_error();
  return checked(wait_locked(args, cancels_.load(std::memory_order_acquire)));
}

Expected<AgentReply> AgentSession::send_and_wait(std::string_view input, const AgentWait& args) {
  if (closed()) return closed_error();
  // The line goes out once no other wait runs, so its answer is this
  // wait's, never another's.
  std::lock_guard<std::mutex> lock(wait_mutex_);
  if (closed()) return closed_error();
  // Counted before the line goes out: a cancel (or close) that comes once
  // the program may be answering it is this wait's.
  const std::uint64_t cancel_seen = cancels_.load(std::memory_order_acquire);
  if (auto written = write(input); !written) return std::move(written).take_error();
  return checked(wait_locked(args, cancel_seen));
}

Expected<std::optional<AgentReply>> AgentSession::write_then_wait_if_free(std::string_view input,
                                                                         const AgentWait& args, bool discard) {
  const std::uint64_t cancel_seen = cancels_.load(std::memory_order_acquire);
  // Whose wait gets the answer is settled before the keys go out: decided
  // after, a wait that ended on their answer in between would leave this
  // call waiting for an answer already given to that wait.
  std::unique_lock<std::mutex> lock(wait_mutex_, std::try_to_lock);
  if (auto written = write(input); !written) return std::move(written).take_error();
  if (!lock.owns_lock()) return std::optional<AgentReply>();
  if (closed()) return closed_error();
  const std::size_t dropped = discard ? discard_queued() : 0;
  auto reply = checked(wait_locked(args, cancel_seen));
  if (!reply) return std::move(reply).take_error();
  reply.value().dropped_bytes = dropped;
  return std::optional<AgentReply>(std::move(reply).value());
}

std::size_t AgentSession::discard_queued() {
  // Dropped from the replies only: the history keeps them, and the key
  // modes follow them, as the terminal did. The end of what is queued
  // stays, from a line's start: where the program stands now (its prompt,
  // the interrupt's message) is what the reply must show.
  // What is queued now, and no more: a flood that goes on (a program that
  // ignores the interrupt) would otherwise keep this loop taking for good.
  const std::size_t budget = inbox_.receiver().events().queued_bytes + inbox_.returned_bytes();
  std::string queued;
  std::size_t total = 0;
  Chunk chunk;
  while (total < budget && inbox_.try_take(chunk) == Inbox::Status::Chunk) {
    key_mode_.feed(chunk);
    queued.append(chunk);
    total += chunk.size();
    if (queued.size() > 2 * DISCARD_KEPT_BYTES) {
      const std::size_t gone = queued.size() - DISCARD_KEPT_BYTES;
      std::lock_guard<std::mutex> lock(history_mutex_);
      history_.append(std::string_view(queued).substr(0, gone));
      queued.erase(0, gone);
    }
  }
  application_cursor_.store(key_mode_.application(), std::memory_order_release);
  bracketed_paste_.store(key_mode_.bracketed_paste(), std::memory_order_release);
  std::size_t keep = std::min(queued.size(), DISCARD_KEPT_BYTES);
  const std::size_t line = queued.find('\n', queued.size() - keep);
  if (line != std::string::npos && line + 1 < queued.size()) keep = queued.size() - line - 1;
  const std::string_view before_kept = std::string_view(queued).substr(0, queued.size() - keep);
  {
    // The kept end reaches the history with the reply that shows it.
    std::lock_guard<std::mutex> lock(history_mutex_);
    history_.append(before_kept);
  }
  // The line the last reply left unfinished ends in what was dropped: the
  // renderer sees that end, so the kept text starts a line of its own.
  renderer_.set_columns(columns_.load(std::memory_order_acquire));
  renderer_.feed(before_kept);
  (void)renderer_.take(false);
  inbox_.put_back(queued.substr(queued.size() - keep));
  return total - keep;
}

pty::InputWait AgentSession::input_wait() {
  std::lock_guard<std::mutex> lock(process_mutex_);
  if (!process_) return pty::InputWait::Unknown;
  return process_->foreground_input_wait();
}

bool AgentSession::input_queued() {
  if (input_->answers_pending()) return true;
  std::lock_guard<std::mutex> lock(process_mutex_);
  return subordinate_.valid() && input_pending(subordinate_.get());
}

bool AgentSession::take(ReadOutput& collected, Chunk&& chunk, std::uint64_t cap, bool& cut) {
  const bool held = inbox_.took_held();
  const std::size_t before = collected.raw.size();
  cut = append_capped(inbox_, collected.raw, std::move(chunk), cap) || cut;
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
  key_mode_.feed(added);
  application_cursor_.store(key_mode_.application(), std::memory_order_release);
  bracketed_paste_.store(key_mode_.bracketed_paste(), std::memory_order_release);
  return !held;
}

void AgentSession::finish_text(ReadOutput& collected) {
  collected.made = true;
  if (!renderer_.alternate() && !collected.addressed) {
    collected.text.append(renderer_.take(true));
    return;
  }
  // A full-screen program: what it drew, not how. The main screen's lines
  // that came before it took over still lead.
  if (!collected.addressed) collected.text.append(renderer_.take(false));
  const std::optional<ScreenShot> shot = output_->screen();
  if (!shot) return;
  std::size_t rows = shot->lines.size();
  while (rows != 0 && shot->lines[rows - 1].empty()) --rows;
  for (std::size_t r = 0; r < rows; ++r) {
    collected.text.append(shot->lines[r]);
    collected.text.append("\n");
  }
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
  Receiver& rx = inbox_.receiver();
  // After output just taken: the reader found the terminal empty after its
  // last chunk, a read that came after that output was written, so nothing
  // written before it is on its way (a reply's usual end, at no cost).
  if (after_output && rx.events().dry) return true;
  const std::uint64_t generation = reader_thread_.request_sync();
  for (;;) {
    if (cancelled_since(cancel_seen)) return false;
    if (collected.raw.size() >= cap) return true;
    const auto events = rx.events();
    if (events.synced >= generation || events.child_exited) {
      // Everything written before the request is queued: take it.
      Chunk chunk;
      while (collected.raw.size() < cap && inbox_.try_take(chunk) == Inbox::Status::Chunk) {
        if (take(collected, std::move(chunk), cap, cut)) new_output = true;
      }
      return true;
    }
    const auto now = Clock::now();
    if (now >= deadline) return false;
    Chunk chunk;
    const auto status = inbox_.take_within(chunk, std::min<nanoseconds>(deadline - now, READY_CHECK_LONGEST_GAP_MS));
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
  Receiver& rx = inbox_.receiver();

  AgentReply reply;
  ReadOutput collected;
  MarkerWatch watch(prompts_);
  bool cut = false;
  bool output_seen = false;
  auto last_output = began;
  auto gap = nanoseconds(READY_CHECK_FIRST_GAP);
  auto next_check = began + gap;
  bool child_exited = rx.events().child_exited;
  // Cleared for this wait once the kernel will not tell (another user's
  // program, no /proc): the prompts and the quiet wait decide then.
  bool kernel_tells = true;
  // Whether the program waited for input when this wait began: the last
  // wait ended there. Otherwise a prompt may answer an earlier line.
  const bool trust_prompts = answered_;

  // A prompt ends the output so far (looked at again until it is no
  // longer the end, or the wait ends).
  std::optional<std::size_t> shown_prompt;
  // Whether that prompt ends the output: true with reply.prompt set.
  // `just_taken`: the output that shows it was taken this moment, so the
  // reader finding the terminal empty since says nothing newer is on its
  // way. Looked at again later, that finding may predate what the program
  // wrote meanwhile (an answer to input it read since, then a new prompt):
  // then only a drain tells.
  auto prompt_ends_output = [&](bool just_taken) {
    // A prompt shown while input of ours is still queued answers an earlier
    // line, not the last one. And when the last wait did not end ready, the
    // program may have taken our line while busy and not answered it yet:
    // then the kernel decides, where it can.
    if (input_queued() || (!trust_prompts && input_wait() == pty::InputWait::Busy)) return false;
    // It ends the output only if nothing written before now is still on
    // its way.
    // Not after a wait that did not end ready, though: then the program
    // may have taken our line, answered and waited again since.
    bool more = false;
    if (!drain(collected, cap, deadline, cancel_seen, just_taken && trust_prompts, more, cut)) return false;
    if (more) shown_prompt = prompt_at_end(collected.raw.view());
    reply.prompt = shown_prompt;
    return shown_prompt.has_value();
  };

  auto finish = [&](WaitEnd end) {
    reply.end = end;
    answered_ = end == WaitEnd::Ready;
    finish_text(collected);
    {
      std::lock_guard<std::mutex> lock(history_mutex_);
      history_.append(collected.raw.view());
    }
    const auto events = rx.events();
    if (end == WaitEnd::Cap) reply.queued_bytes = events.queued_bytes + inbox_.returned_bytes();
    // The reader flags the child's end; until it has, the program runs (or
    // has only just ended, which the next reply tells).
    if (end == WaitEnd::Exited || events.child_exited) reply.exit = exit_info();
    if (recorder_) reply.warning = recorder_->take_warning();
    reply.running = end != WaitEnd::Ready && end != WaitEnd::Exited && !reply.exit.ended && !closed();
    reply.out = std::move(collected);
    return std::move(reply);
  };

  auto next_interrupt_check = began + INTERRUPT_CHECK_GAP;

  for (;;) {
    if (cancelled_since(cancel_seen)) return finish(WaitEnd::Cancelled);
    if (cap == 0 || collected.raw.size() >= cap) return finish(WaitEnd::Cap);
    const auto now = Clock::now();
    if (now >= deadline) return finish(WaitEnd::Timeout);
    if (args.interrupted && now >= next_interrupt_check) {
      if (args.interrupted()) return finish(WaitEnd::Cancelled);
      next_interrupt_check = Clock::now() + INTERRUPT_CHECK_GAP;
    }
    Clock::time_point until = deadline;
    if (args.interrupted) until = std::min(until, next_interrupt_check);
    if (child_exited) {
      until = now;  // take what is queued, then end
    } else {
      // A quiet gap ends the wait only when the caller asked for one, or
      // when the kernel cannot tell whether the program waits: a program
      // that computes, sleeps or runs another one (gdb's `run`) between
      // two parts of its answer is no program waiting for input.
      const std::optional<std::uint64_t> quiet =
          args.quiet_ms ? args.quiet_ms : kernel_tells ? std::nullopt : std::optional(AGENT_FALLBACK_QUIET_MS);
      if (output_seen && prompts_.empty() && quiet) {
        const auto quiet_end = deadline_after(last_output, *quiet);
        if (now >= quiet_end) return finish(WaitEnd::Quiet);
        until = std::min(until, quiet_end);
      }
      if (kernel_tells || shown_prompt) until = std::min(until, next_check);
    }

    Chunk chunk;
    const auto status = inbox_.take_within(chunk, std::max(nanoseconds::zero(), until - now));
    if (status == Inbox::Status::Chunk) {
      if (take(collected, std::move(chunk), cap, cut)) {
        output_seen = true;
        last_output = Clock::now();
        gap = READY_CHECK_FIRST_GAP;
        next_check = last_output + gap;
        // The watch rules out, cheaply, output whose end cannot show a prompt.
        shown_prompt = watch.seen(collected.raw) ? prompt_at_end(collected.raw.view()) : std::nullopt;
        if (shown_prompt && prompt_ends_output(true)) return finish(WaitEnd::Ready);
      }
      continue;
    }
    // A cancel (a close among them) wins over what it caused.
    if (cancelled_since(cancel_seen)) return finish(WaitEnd::Cancelled);
    if (status == Inbox::Status::Disconnected) return finish(WaitEnd::Exited);
    if (child_exited) return finish(WaitEnd::Exited);
    if (status == Inbox::Status::Poked) {
      child_exited = rx.events().child_exited;
      continue;
    }
    // A slice ended: time to look again at a prompt, and for the
    // input-wait check?
    if (Clock::now() < next_check) continue;
    if (shown_prompt && prompt_ends_output(false)) return finish(WaitEnd::Ready);
    if (!kernel_tells) {
      gap = std::min<nanoseconds>(gap * 2, READY_CHECK_LONGEST_GAP_MS);
      next_check = Clock::now() + gap;
      continue;
    }
    // Output still flowing (the reader has not found the terminal empty
    // since its last chunk): the program is not waiting, and asking the
    // kernel would only cost a flood its pace.
    if (!rx.events().dry) {
      next_check = Clock::now() + gap;
      continue;
    }
    // Input first, then the program: input queued now means it is not
    // waiting; none queued and the program then found asleep reading the
    // terminal means it took all of ours and came back for more. (Asked the
    // other way round, the program could take our line in between.)
    // A query the reader is still reading now is answered before its chunk
    // is queued: counted first, so that the drain below shows it.
    const std::uint64_t answers_before = output_->answers();
    const pty::InputWait verdict = input_queued() ? pty::InputWait::Busy : input_wait();
    if (verdict == pty::InputWait::Unknown) {
      kernel_tells = false;
      continue;
    }
    if (verdict == pty::InputWait::Waiting) {
      // Asleep reading the terminal: its answer is written, though some of
      // it may still be on its way to the reader.
      bool more = false;
      // The block may be newer than the reader's last read: always ask it.
      if (!drain(collected, cap, deadline, cancel_seen, false, more, cut)) continue;
      if (collected.raw.size() >= cap) return finish(WaitEnd::Cap);
      // It was asleep reading the answer to a question of its own: the
      // answer is on its way, and the program is not waiting for us.
      if (output_->answers() != answers_before) {
        gap = READY_CHECK_FIRST_GAP;
        next_check = Clock::now() + gap;
        continue;
      }
      reply.prompt = prompt_at_end(collected.raw.view());
      return finish(WaitEnd::Ready);
    }
    gap = std::min<nanoseconds>(gap * 2, READY_CHECK_LONGEST_GAP_MS);
    next_check = Clock::now() + gap;
  }
}

}  // namespace morvik::session
