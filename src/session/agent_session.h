// The agent face's session: one program on its own terminal, started with
// an exact argument vector, driven from any thread. Built from the same
// parts as the Morvik face's Session (the reader thread and its channel, the
// inbox, the history, the input writer), with a lock at each place another
// thread reaches:
//
// - wait_mutex_: waits run one at a time; the inbox, the line renderer
//   that makes the replies' text and the reader's drain requests belong to
//   whoever holds it;
// - the input side (agent_input.h): one input at a time reaches the
//   terminal whole, and the reader's answers to queries never wait for it;
// - the output side (agent_output.h): the screen model, which the reader
//   feeds and anyone may look at, and the modes the keys go by;
// - process_mutex_: the process record and our descriptor of the terminal's
//   other side (exit status, resize, the input-wait question, the stop);
// - history_mutex_: the history ring.
// The channel has its own lock (channel.h), and a cancel is a counter.
// Locks nest only as wait -> process, wait -> history, wait -> input,
// wait -> output and close -> (process, then wait, then input, then
// process), never the other way.
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
#include "expected.h"
#include "fork_policy.h"
#include "history.h"
#include "inbox.h"
#include "agent_input.h"
#include "agent_output.h"
#include "input_writer.h"
#include "pty/pty_process.h"
#include "read_output.h"
#include "reader_thread.h"
#include "ready_rule.h"
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

  // Control, from any thread, at once.
  Expected<void> write(std::string_view input);
  // The bytes of `keys` as the terminal would send them now (the cursor
  // keys follow the mode of the newest output read); a word without a key's
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
  ExitInfo exit_info();
  bool alive() { return !exit_info().ended; }
  pid_t pid() const noexcept { return pid_; }
  // The kept raw output (the newest 4 MiB), and the lines it shows at the
  // terminal's width (well-formed UTF-8).
  std::string history_raw();
  std::string history_text();
  bool closed() const noexcept { return closing_.load(std::memory_order_acquire) || in_forked_copy(); }

  // Ends every process of the terminal's session, cancels a running wait
  // and releases the terminal. Blocks (up to about a second for a program
  // that ignores every signal); a second call waits for the first.
  void close() noexcept;

 private:
  AgentSession(std::shared_ptr<pty::PtyProcess> process, UniqueFd subordinate, std::shared_ptr<UniqueFd> wake,
               std::shared_ptr<AgentInput> input,
               std::shared_ptr<AgentOutput> output, std::shared_ptr<CastRecorder> recorder, Receiver rx,
               ReaderThread reader, std::vector<std::string> prompts, std::uint16_t columns);

  // Held over a wait, and over the input written just before it: the wait
  // reads the terminal itself (ReaderThread::take_turn), so the program's
  // answer wakes the waiting thread directly, not the reader first and
  // then the waiter. Taken under wait_mutex_ only.
  class Turn {
   public:
    explicit Turn(AgentSession& s) noexcept;
    ~Turn();
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;

   private:
    AgentSession* held_ = nullptr;  // set when this one took the turn
  };
  // Gives the turn back; the reader is asked for a drain when `nudge`, or
  // when the child has ended meanwhile: the reader tells of that end only
  // after a read of its own finds the terminal empty.
  void give_turn_back(bool nudge) noexcept;
  // One chunk of output, waiting until `until`: from the inbox, else, with
  // the turn, read from the terminal here (and shown to the observer
  // first, as the reader does), else from the channel.
  Inbox::Status receive(Chunk& chunk, std::chrono::steady_clock::time_point until);
  // With the turn: waits until the terminal has output (Chunk), a cancel
  // came or the child ended (Poked), or `until` (TimedOut); Empty when the
  // turn had to go back.
  Inbox::Status wait_for_terminal(std::chrono::steady_clock::time_point until);
  // Nothing is queued, and the terminal was found empty since the last
  // output taken.
  bool output_dry();

  // `cancel_seen`: the cancel count before anything of this wait was sent;
  // a cancel after that ends it.
  AgentReply wait_locked(const AgentWait& args, std::uint64_t cancel_seen);
  // The reply for a wait that ends with `end`: its text made, its output in
  // the history, and what the caller should know beside.
  AgentReply finish_wait(AgentReply& reply, ReadOutput& collected, WaitEnd end);
  Expected<AgentReply> checked(AgentReply reply);
  bool in_forked_copy() const noexcept { return ::getpid() != owner_pid_; }
  void abandon() noexcept;
  ExitInfo exit_info_locked();
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
  void finish_text(ReadOutput& collected);
  std::optional<std::size_t> prompt_at_end(std::string_view collected) const;
  // Whether input the program can read now is queued on the terminal (an
  // answer to a query not yet written counts).
  bool input_queued();
  // The kernel's view: whether the program waits for input (`detail`:
  // see pty::WaitDetail).
  pty::InputWait input_wait(pty::WaitDetail* detail = nullptr);
  // Whether the program reads keys rather than lines (canonical mode off).
  bool reads_keys();
  // What the program wrote that the terminal holds and nobody read yet.
  std::size_t unread_on_terminal();
  bool cancelled_since(std::uint64_t seen) const noexcept {
    return cancels_.load(std::memory_order_acquire) != seen;
  }

  std::vector<std::string> prompts_;
  std::size_t longest_prompt_;
  pid_t pid_;
  // The process that started the program. In a forked copy of the host the
  // terminal is closed: no lock is taken there (a thread of the original may
  // have held one at the fork), no signal sent, no reader joined.
  pid_t owner_pid_;
  bool abandoned_ = false;  // only ever touched in a copy
  std::atomic<std::uint64_t> cancels_{0};
  std::atomic<bool> closing_{false};
  std::atomic<std::uint16_t> columns_;  // the terminal's width, for the renderer
  ChannelRemote channel_;

  std::mutex close_mutex_;
  bool closed_ = false;  // under close_mutex_

  std::mutex wait_mutex_;
  bool answered_ = true;  // under wait_mutex_: the last wait ended ready
  ReaderThread reader_thread_;  // its sync requests and its turn under wait_mutex_
  // Under wait_mutex_, while the turn is held: the terminal's master and the
  // child's handle as the process record has them (released only by close,
  // after it took wait_mutex_), what was read under the turn, and whether
  // the last read found the terminal empty.
  bool holds_turn_ = false;
  int turn_master_ = -1;
  int turn_child_ = -1;
  std::size_t turn_bytes_ = 0;
  bool turn_dry_ = false;
  Inbox inbox_;                 // under wait_mutex_
  text::LineRenderer renderer_;  // under wait_mutex_

  std::mutex history_mutex_;
  History history_;

  std::shared_ptr<AgentInput> input_;     // shared with the reader, which answers queries
  std::shared_ptr<AgentOutput> output_;   // the reader's observer
  std::shared_ptr<CastRecorder> recorder_;  // null when not recording

  std::mutex process_mutex_;
  // Released by close, which leaves how the program ended in final_exit_.
  // Shared with the reader thread, which uses its master and process handle
  // (ReaderThread::Borrowed): they close when the last of the two lets go.
  std::shared_ptr<pty::PtyProcess> process_;
  ExitInfo final_exit_;
  UniqueFd subordinate_;  // the terminal's other side, for the input question
  // Readable once a cancel came: it ends a wait that polls the terminal
  // itself. Also the reader thread's wake-up, which leaves it readable
  // while a wait holds the turn. Written from any thread and released by
  // close, so only under wake_mutex_: a number written after its close
  // could be another file's.
  std::mutex wake_mutex_;
  std::shared_ptr<UniqueFd> wake_;

  // Inside a fork of the host (fork_policy.h): the process lock is held
  // across it, and the copy closes its duplicates of the process record's
  // master and handle (which the input side and the reader only borrow),
  // the other side, the wake-up and the recording.
  static void close_rest_in_forked_child(void* self) noexcept;
  std::optional<SessionForkPolicy> fork_policy_;  // released first, before teardown
};

}  // namespace morvik::session
