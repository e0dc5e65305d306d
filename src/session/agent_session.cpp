// The agent session: start, the wait and how it decides that the program
// waits for input, control from other threads, and close. Must never hold
// one of its locks across a blocking call another thread's control would
// queue behind (the wait blocks holding wait_mutex_ only), never take the
// process lock while holding the writer's or the history's, and never let a
// wait outlive close.
#include "agent_session.h"

#include <fcntl.h>
#include <sys/eventfd.h>

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

using std::chrono::milliseconds;

// How long close waits for the reader to see the end of the output by
// itself once every process of the session has ended.
constexpr milliseconds READER_JOIN_GRACE_MS{1000};
// What a terminal is announced as when the caller's environment names none.
constexpr char DEFAULT_TERM[] = "xterm-256color";

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

// What the reader thread keeps open while it runs: the process record's
// master and process handle, and the wake-up.
struct KeptOpen {
  std::shared_ptr<pty::PtyProcess> process;
  std::shared_ptr<UniqueFd> wake;
};

std::size_t longest(const std::vector<std::string>& texts) {
  std::size_t n = 0;
  for (const auto& t : texts) n = std::max(n, t.size());
  return n;
}

}  // namespace

AgentSession::AgentSession(std::shared_ptr<pty::PtyProcess> process, UniqueFd subordinate,
                           std::shared_ptr<UniqueFd> wake, std::shared_ptr<AgentInput> input,
                           std::shared_ptr<AgentOutput> output, std::shared_ptr<CastRecorder> recorder, Receiver rx,
                           ReaderThread reader, std::vector<std::string> prompts, std::uint16_t columns)
    : prompts_(std::move(prompts)),
      longest_prompt_(longest(prompts_)),
      pid_(process->pid()),
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
      subordinate_(std::move(subordinate)),
      wake_(std::move(wake)) {
  fork_policy_.emplace(reader_thread_, inbox_, &process_mutex_, &AgentSession::close_rest_in_forked_child, this);
}

void AgentSession::close_rest_in_forked_child(void* self) noexcept {
  AgentSession& s = *static_cast<AgentSession*>(self);
  s.input_->close_in_forked_child();
  if (s.process_) s.process_->close_in_forked_child();
  if (s.subordinate_.valid()) (void)::close(s.subordinate_.release());
  if (s.wake_ && s.wake_->valid()) (void)::close(s.wake_->release());
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
  // child's whole session. The record's master and process handle are the
  // only ones: the reader thread, the input side and a wait that holds the
  // turn all use them, and the record, shared with the reader thread, is
  // released only once neither the session nor the thread uses them.
  auto held = std::make_shared<pty::PtyProcess>(std::move(process).value());
  // Non-blocking, for the writer's sake (see input_writer.h) and because
  // the reader reads first and polls when the terminal is dry.
  const int flags = ::fcntl(held->master_fd(), F_GETFL);
  if (flags < 0 || ::fcntl(held->master_fd(), F_SETFL, flags | O_NONBLOCK) < 0) {
    return start_failed(program, Errno::last());
  }
  // Held for the input question (input_pending), read-only and never our
  // controlling terminal. The reader therefore sees no end of the output
  // while we hold it; it learns of the child's end from the process handle.
  UniqueFd opened(::open(held->subordinate().path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!opened.valid()) return start_failed(program, Errno::last());
  auto subordinate = high_duplicate(opened.get());
  if (!subordinate) return start_failed(program, subordinate.error());
  opened.reset();
  // One wake-up for the reader thread and for a wait that reads the
  // terminal itself (a cancel); see ReaderThread::Borrowed.
  auto wake = std::make_shared<UniqueFd>(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake->valid()) return start_failed(program, Errno::last());
  if (auto moved = keep_above_stdio(*wake); !moved) return start_failed(program, moved.error());
  auto input = std::make_shared<AgentInput>(InputWriter::borrowing(held->master_fd()));
  std::shared_ptr<CastRecorder> recorder;
  if (start.record.valid()) {
    recorder = std::make_shared<CastRecorder>(std::move(start.record), start.rows, start.columns, term);
  }
  auto output = std::make_shared<AgentOutput>(start.rows, start.columns, start.screen, input, recorder);
  auto [tx, rx] = make_channel();
  ReaderThread::StartError why;
  ReaderThread::Borrowed terminal{held->master_fd(), held->pidfd(), wake->get(),
                                  std::make_shared<const KeptOpen>(KeptOpen{held, wake})};
  ReaderThread reader = ReaderThread::start(std::move(terminal), std::move(tx), why, output);
  if (!reader.joinable()) return start_failed(program, Errno::from_raw(why.code));
  return std::unique_ptr<AgentSession>(new AgentSession(
      std::move(held), std::move(subordinate).value(), std::move(wake), std::move(input),
      std::move(output),
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
  const bool application = output_->modes().application_cursor;
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
        const std::string shown = key.size() > text::MAX_KEY_WORD_BYTES
                                      ? key.substr(0, text::MAX_KEY_WORD_BYTES) + "..."
                                      : key;
        return value_error("not a key: '" + shown + "' (a key is one of: " + text::describe_keys() +
                           "; text to type as it is goes in text=)");
      }
    }
  }
  return bytes;
}

std::string AgentSession::encode_paste(std::string_view text) const {
  if (!output_->modes().bracketed_paste) return std::string(text);
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
  std::lock_guard<std::mutex> lock(wake_mutex_);
  if (wake_) {
    const std::uint64_t one = 1;
    (void)!::write(wake_->get(), &one, sizeof one);
  }
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

    // The terminal and the process handle go now, not with the object
    // (later, with a reader thread left to end on its own).
    std::lock_guard<std::mutex> lock(process_mutex_);
    process_.reset();
    // No wait runs now, and none starts: nothing polls it any more. Under
    // the process lock too, which a fork holds: the copy never sees it
    // half released.
    std::lock_guard<std::mutex> wake_lock(wake_mutex_);
    wake_.reset();
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
  if (wake_) (void)wake_->release();
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
  const Turn turn(*this);
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

}  // namespace morvik::session
