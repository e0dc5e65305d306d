// The agent face's session: one program on its own terminal, started with
// an exact argument vector, driven from any thread. A policy over the
// session engine (engine.h), which owns the terminal, the reader, the turn,
// the input, the history, forks and the close, with their locks. What the
// face adds: prompts and the ready rule (ready_rule.h), the line renderer
// that makes the replies' text (under the engine's wait lock, as the waits
// that feed it run), the output side (agent_output.h: the screen model,
// which the reader feeds and anyone may look at, and the modes the keys go
// by), the recording, and a cancel, which is a counter. Locks nest as
// the engine's do, with wait -> output beside them.
//
// A reply's text is what the terminal showed: the lines the line renderer
// (text/line_render.h) makes of the output at the terminal's width, the
// unfinished last one as it stands; while the program uses the alternate
// screen, or once it moved the cursor to a row of the screen during the
// wait (top, `clear`), the screen as the model shows it when the wait ends,
// after the lines that came before.
//
// Control never queues behind a wait: a write, a resize, a look at the
// screen, a status question or a cancel takes only its own lock, held for
// one short block. Nothing here knows of Python; the binding releases the
// interpreter lock around every call that may block.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/byte_buffer.h"
#include "base/unique_fd.h"
#include "agent_output.h"
#include "engine.h"
#include "expected.h"
#include "pty/pty_process.h"
#include "read_output.h"
#include "ready_rule.h"
#include "shell_marks.h"
#include "text/keys.h"
#include "text/line_render.h"

namespace morvik::session {

inline constexpr std::uint64_t AGENT_DEFAULT_MAX_OUTPUT_BYTES = 0x200000;  // 2 MiB

struct AgentStart {
  std::vector<std::string> argv;  // argv[0] as given
  UniqueFd executable;            // exactly this file runs
  // The path it runs by, checked to name that file at the exec; nullopt:
  // run the descriptor itself.
  std::optional<std::string> path;
  std::optional<std::vector<std::string>> env;  // "NAME=value"; nullopt: the host's
  std::optional<std::string> cwd;
  std::uint16_t rows = 24;
  std::uint16_t columns = 80;
  std::vector<std::string> prompts;  // UTF-8
  // Keep the screen model and answer the program's queries (off: a bulk
  // job that wants neither the model's memory nor its scan).
  bool screen = true;
  // An asciicast v2 recording goes to this file when it is open.
  UniqueFd record;
  // The nonce the shell's own marks carry (shell_marks.h); empty: marks
  // count without one (a program that emits them by itself).
  std::string marks_nonce;
};

struct AgentWait {
  std::uint64_t timeout_ms;
  // A quiet gap ends the wait only when given; nullopt: only where the
  // kernel cannot tell, after AGENT_FALLBACK_QUIET_MS.
  std::optional<std::uint64_t> quiet_ms;
  std::uint64_t max_output_bytes = AGENT_DEFAULT_MAX_OUTPUT_BYTES;
  // Asked at least every INTERRUPT_CHECK_GAP while the wait runs; true ends
  // it as a cancel does (the caller was interrupted: Ctrl-C). Called with
  // the wait's locks held: it must not wait on this session.
  std::function<bool()> interrupted;
};

inline constexpr std::chrono::milliseconds INTERRUPT_CHECK_GAP{50};

// How the program ended; `ended` without a code or signal when another
// party collected it.
struct ExitInfo {
  bool ended = false;
  std::optional<int> code;
  std::optional<int> signal;
};

// A wait for the screen (or the line output) to change and settle; see
// AgentSession::wait_for_change.
struct ChangeWait {
  std::uint64_t since;  // the version the change is counted from
  std::uint64_t timeout_ms;
  std::uint64_t quiet_ms;
  std::function<bool()> interrupted;  // as AgentWait's
};

struct ChangeEnd {
  WaitEnd end = WaitEnd::Timeout;  // Quiet (changed, then settled), Timeout, Exited or Cancelled
  std::uint64_t version = 0;       // the output's version when it ended
};

// The screen a reply's text ends with (a full-screen program's): its first
// `shown_rows` rows are the text's last lines, the rest blank.
struct ShownScreen {
  std::uint64_t version = 0;
  std::size_t shown_rows = 0;
  std::size_t rows = 0;
  int row = 0;
  int column = 0;
};

struct AgentReply {
  ReadOutput out;  // the output the wait covers, with its text made
  WaitEnd end = WaitEnd::Timeout;
  std::optional<std::size_t> prompt;  // index of the prompt that ended the output
  std::size_t queued_bytes = 0;       // output still queued (for Cap)
  ExitInfo exit;                      // how the program ended, once it has
  // The wait ended while the program neither waited for input nor had
  // ended: what is sent now goes to a program still at work.
  bool running = false;
  std::size_t dropped_bytes = 0;  // queued output dropped before the wait
  std::optional<std::string> warning;  // something the caller should know (a recording cut off)
  std::optional<ShownScreen> screen;   // when the text ends with the screen
  // The status of the last command the shell reported ended in this
  // wait's output (its D mark); nullopt when none ended, or it gave none.
  std::optional<int> command_exit_code;
  std::optional<std::string> cwd;  // the folder the shell last reported
};

class AgentSession {
 public:
  static Expected<std::unique_ptr<AgentSession>> start(AgentStart start);

  AgentSession(const AgentSession&) = delete;
  AgentSession& operator=(const AgentSession&) = delete;
  ~AgentSession();

  // Waits, one at a time: a second waits for the first to end. An error only
  // for a closed terminal or input the terminal would not take.
  Expected<AgentReply> wait(const AgentWait& args);
  Expected<AgentReply> send_and_wait(std::string_view input, const AgentWait& args);
  // Writes at once, then waits unless another thread's wait runs: that wait
  // returns the program's answer, and this returns nullopt at once.
  // `discard`: the output queued once the input is written is dropped
  // before the wait (a flood an interrupt stopped); the reply counts it.
  Expected<std::optional<AgentReply>> write_then_wait_if_free(std::string_view input, const AgentWait& args,
                                                             bool discard = false);

  // Waits, under the same lock as the waits above, until the output's
  // version (AgentOutput::version) differs from `since` and then stays
  // still for quiet_ms; or the timeout, the program's end, a cancel.
  // Takes nothing from the inbox: the next wait's reply still shows every
  // byte that came meanwhile.
  Expected<ChangeEnd> wait_for_change(const ChangeWait& args);

  // Control, from any thread, at once.
  Expected<void> write(std::string_view input);
  // The bytes of `keys` as the terminal would send them now (the cursor
  // keys follow the program's cursor-key mode); a word without a key's
  // shape is its own text.
  // A ValueError naming the first word with a key's shape that is no key,
  // with the list of keys: such a word is never typed as text.
  Expected<std::string> encode_keys(const std::vector<std::string>& keys) const;
  // `text` as a terminal sends a paste: between the bracketed-paste marks
  // when the program asked for them, else as it is.
  std::string encode_paste(std::string_view text) const;
  void cancel() noexcept;
  // The model's size first, then the terminal's (the program gets
  // SIGWINCH): what it draws for the new size lands in a model of it.
  Expected<void> resize(std::uint16_t rows, std::uint16_t columns);
  // The screen as the program drew it; nullopt without a model.
  std::optional<ScreenShot> screen() {
    // In a forked copy the model's lock may have been held at the fork.
    if (in_forked_copy()) return std::nullopt;
    return output_->screen();
  }
  // The output's version (AgentOutput::version), at once.
  std::uint64_t output_version() const noexcept { return output_->version(); }
  ExitInfo exit_info();
  bool alive() { return !exit_info().ended; }
  pid_t pid() const noexcept { return engine_->pid(); }
  // The kept raw output (the newest 4 MiB), and the lines it shows at the
  // terminal's width (well-formed UTF-8).
  std::string history_raw();
  std::string history_text();
  bool closed() const noexcept { return engine_->closed(); }

  // Ends every process of the terminal's session, cancels a running wait
  // and releases the terminal. Blocks (up to about a second for a program
  // that ignores every signal); a second call waits for the first.
  void close() noexcept;

 private:
  AgentSession(std::unique_ptr<Engine> engine, std::shared_ptr<AgentOutput> output,
               std::shared_ptr<CastRecorder> recorder, std::vector<std::string> prompts, std::uint16_t columns,
               std::string marks_nonce);

  // `cancel_seen`: the cancel count before anything of this wait was sent;
  // a cancel after that ends it.
  AgentReply wait_locked(const AgentWait& args, std::uint64_t cancel_seen);
  // The reply for a wait that ends with `end`: its text made, its output in
  // the history, and what the caller should know beside.
  AgentReply finish_wait(AgentReply& reply, ReadOutput& collected, WaitEnd end);
  Expected<AgentReply> checked(AgentReply reply);
  bool in_forked_copy() const noexcept { return engine_->in_forked_copy(); }
  ExitInfo exit_info_of(pty::PtyProcess* process);
  // Takes every chunk queued before now, asking the reader to drain the
  // terminal first; `after_output`: called right after taking output, when
  // the reader's own finding that the terminal was dry is enough. False
  // when the wait must stop (cancel, deadline).
  bool drain(ReadOutput& collected, std::uint64_t cap, std::chrono::steady_clock::time_point deadline,
             std::uint64_t cancel_seen, bool after_output, bool& new_output, bool& cut);
  bool take(ReadOutput& collected, Chunk&& chunk, std::uint64_t cap, bool& cut);
  // Drops the output queued now; how many bytes.
  std::size_t discard_queued();
  // The reply's text: the lines rendered since the last reply, then the
  // unfinished one, or the alternate screen while it is in use.
  std::optional<ShownScreen> finish_text(ReadOutput& collected);
  std::optional<std::size_t> prompt_at_end(std::string_view collected) const;
  bool cancelled_since(std::uint64_t seen) const noexcept {
    return cancels_.load(std::memory_order_acquire) != seen;
  }

  std::vector<std::string> prompts_;
  std::size_t longest_prompt_;
  std::atomic<std::uint64_t> cancels_{0};
  std::atomic<std::uint16_t> columns_;  // the terminal's width, for the renderer

  std::shared_ptr<AgentOutput> output_;     // the reader's observer
  std::shared_ptr<CastRecorder> recorder_;  // null when not recording
  // Under the engine's wait lock: whether the last wait ended ready, and
  // the renderer.
  bool answered_ = true;
  text::LineRenderer renderer_;
  // The shell's marks, fed every byte the replies take or drop, in order.
  ShellMarks marks_;
  // How the program ended, as close found it (under the engine's process
  // lock; read once the engine released the record).
  ExitInfo final_exit_;
  std::unique_ptr<Engine> engine_;  // first to go: its close joins the reader, which uses the rest
};

}  // namespace morvik::session
