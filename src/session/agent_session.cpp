// The agent session: start, the wait and how it decides that the program
// waits for input, control from other threads, and close. Must never hold
// one of its locks across a blocking call another thread's control would
// queue behind (the wait blocks holding wait_mutex_ only), never take the
// process lock while holding the writer's or the history's, and never let a
// wait outlive close.
#include "agent_session.h"

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

// What a terminal is announced as when the caller's environment names none.
constexpr char DEFAULT_TERM[] = "xterm-256color";

Error closed_error() { return runtime_error("the terminal is closed"); }

Error start_failed(const std::string& program, Errno err) {
  return os_error(err.value(), "cannot start " + program + ": " + err.text());
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

}  // namespace

AgentSession::AgentSession(std::unique_ptr<Engine> engine, std::shared_ptr<AgentOutput> output,
                           std::shared_ptr<CastRecorder> recorder, std::vector<std::string> prompts,
                           std::uint16_t columns, std::string marks_nonce)
    : prompts_(std::move(prompts)),
      longest_prompt_(longest(prompts_)),
      columns_(columns),
      output_(std::move(output)),
      recorder_(std::move(recorder)),
      renderer_(columns),
      marks_(std::move(marks_nonce)),
      engine_(std::move(engine)) {}

Expected<std::unique_ptr<AgentSession>> AgentSession::start(AgentStart start) {
  const std::string term = term_of(start.env);
  EngineStart engine_start;
  pty::ProcessDescription& description = engine_start.description;
  description.argv = std::move(start.argv);
  description.executable = std::move(start.executable);
  description.path = std::move(start.path);
  description.env = std::move(start.env);
  description.cwd = std::move(start.cwd);
  description.size = {start.rows, start.columns};
  const std::string program = description.argv.empty() ? std::string() : description.argv[0];
  std::shared_ptr<CastRecorder> recorder;
  if (start.record.valid()) {
    recorder = std::make_shared<CastRecorder>(std::move(start.record), start.rows, start.columns, term);
    // Its file is the copy's to close inside a fork, as the terminal is.
    engine_start.close_in_forked_child = [r = recorder.get()] { r->close_in_forked_child(); };
  }
  // The reader tells of the child's end after its output: a reply says how
  // the program ended once everything it wrote is in.
  engine_start.watch_child = true;
  std::shared_ptr<AgentOutput> output;
  engine_start.make_observer = [&](const std::shared_ptr<AgentInput>& input) {
    output = std::make_shared<AgentOutput>(start.rows, start.columns, start.screen, input, recorder);
    return std::static_pointer_cast<ChunkObserver>(output);
  };
  auto engine = Engine::start(std::move(engine_start));
  if (!engine) return start_failed(program, engine.error().error);
  return std::unique_ptr<AgentSession>(new AgentSession(std::move(engine).value(), std::move(output),
                                                        std::move(recorder), std::move(start.prompts),
                                                        start.columns, std::move(start.marks_nonce)));
}

AgentSession::~AgentSession() { close(); }

// ---------------------------------------------------------------- control

Expected<void> AgentSession::write(std::string_view input) {
  if (closed()) return closed_error();
  // Nobody reads it any more: input would only fill the terminal's queue
  // (held open by a background job) until a write stalls.
  if (engine_->child_exited()) return {};
  if (auto r = engine_->write(input); !r) {
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
  engine_->poke();
  output_->poke();
}

Expected<void> AgentSession::resize(std::uint16_t rows, std::uint16_t columns) {
  if (closed()) return closed_error();
  // As a terminal does: its own grid first, then the program is told.
  // Output read from here on is laid out at the new size.
  output_->resize(rows, columns);
  columns_.store(columns, std::memory_order_release);
  return engine_->with_process([&](pty::PtyProcess* p) -> Expected<void> {
    if (p == nullptr) return closed_error();
    if (auto r = p->resize({rows, columns}); !r) return runtime_error("resize failed: " + r.error().text());
    return {};
  });
}

ExitInfo AgentSession::exit_info() {
  // The program is the original's: for a copy it is no program of its own
  // (closed), and how it ended is not the copy's to know.
  if (in_forked_copy()) return {true, std::nullopt, std::nullopt};
  return engine_->with_process([&](pty::PtyProcess* p) { return exit_info_of(p); });
}

ExitInfo AgentSession::exit_info_of(pty::PtyProcess* process) {
  if (process == nullptr) return final_exit_;
  // The ended child stays uncollected until close: its number is also its
  // session's, which close's stop looks for.
  const auto alive = process->is_running();
  if (!alive || alive.value()) return {};
  const auto status = process->exit_status();
  if (!status) return {true, std::nullopt, std::nullopt};
  if (status->signal != 0) return {true, std::nullopt, status->signal};
  return {true, status->code, std::nullopt};
}

std::string AgentSession::history_raw() { return engine_->history(); }

std::string AgentSession::history_text() {
  const std::string raw = history_raw();
  text::LineRenderer lines(columns_.load(std::memory_order_acquire));
  lines.feed(raw);
  return std::string(lines.take(true));
}

void AgentSession::close() noexcept {
  if (in_forked_copy()) {
    // The recording's file went at the fork; its writer thread is not the
    // copy's to wake or join.
    if (recorder_) {
      recorder_->abandon();
      forget(std::move(recorder_));
    }
    engine_->close(StopHow::Session);
    return;
  }
  // A running wait ends now, with what it has, and none starts.
  engine_->mark_closing();
  cancel();
  // Every process of the terminal's session ends; how the child ended is
  // kept for the replies that ask after the record is gone.
  engine_->close(StopHow::Session, [this](pty::PtyProcess& p) { final_exit_ = exit_info_of(&p); });
  if (recorder_) recorder_->close();
}

Expected<AgentReply> AgentSession::checked(AgentReply reply) {
  // A reader that stopped because it failed (out of memory), not because
  // the output ended: the caller learns why.
  if (reply.end == WaitEnd::Exited) {
    const int failure = engine_->inbox().reader_failure();
    if (failure != 0) return runtime_error(kept::READER_STOPPED + os_error_text(failure));
  }
  return reply;
}


// ---------------------------------------------------------------- waits

Expected<AgentReply> AgentSession::wait(const AgentWait& args) {
  if (closed()) return closed_error();
  std::lock_guard<std::mutex> lock(engine_->wait_mutex());
  if (closed()) return closed_error();
  return checked(wait_locked(args, cancels_.load(std::memory_order_acquire)));
}

Expected<AgentReply> AgentSession::send_and_wait(std::string_view input, const AgentWait& args) {
  if (closed()) return closed_error();
  // The line goes out once no other wait runs, so its answer is this
  // wait's, never another's.
  std::lock_guard<std::mutex> lock(engine_->wait_mutex());
  if (closed()) return closed_error();
  // Counted before the line goes out: a cancel (or close) that comes once
  // the program may be answering it is this wait's.
  const std::uint64_t cancel_seen = cancels_.load(std::memory_order_acquire);
  const Engine::Turn turn(*engine_);
  if (auto written = write(input); !written) return std::move(written).take_error();
  return checked(wait_locked(args, cancel_seen));
}

Expected<std::optional<AgentReply>> AgentSession::write_then_wait_if_free(std::string_view input,
                                                                         const AgentWait& args, bool discard) {
  const std::uint64_t cancel_seen = cancels_.load(std::memory_order_acquire);
  // Whose wait gets the answer is settled before the keys go out: decided
  // after, a wait that ended on their answer in between would leave this
  // call waiting for an answer already given to that wait.
  std::unique_lock<std::mutex> lock(engine_->wait_mutex(), std::try_to_lock);
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
