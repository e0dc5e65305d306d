// The session engine under both faces: one program on its own terminal,
// with everything a face needs to talk to it and nothing of what the face
// makes of it. It owns the start-up, the reader thread and the hand-over of
// the terminal to a waiting thread (the turn), the input side, the history,
// the fork handling and the close. `Session` (the `Morvik` face) and
// `AgentSession` (the agent face) are policies over it: which texts they
// hand out, how they clean them, when a wait ends.
//
// Threading contract. Any thread may call in; each member another thread
// reaches has its own lock, held for one short block:
// - wait_mutex(): the face's waits run one at a time under it; the inbox,
//   the turn and the reader's drain requests belong to whoever holds it;
// - the input side (agent_input.h): one input at a time reaches the terminal
//   whole, and the reader's answers to queries never wait for it;
// - process_mutex_: the process record (with_process) and its release;
// - history_mutex_: the history ring;
// - wake_mutex_: the wake-up descriptor, written from any thread, released
//   by close.
// Locks nest only as wait -> process, wait -> history, wait -> input and
// close -> (process, then wait, then input, then process), never the other
// way. The reader thread takes none of them: it reaches the channel, its
// own flags, the borrowed descriptors and the observer.
//
// Descriptors: the process record's master and process handle (the reader
// borrows both, see ReaderThread::Borrowed), one eventfd that wakes the
// reader and ends a wait's poll on a cancel, and the reader's epoll set:
// four for an idle terminal. The terminal's other side is opened only for
// the moment of a question about queued input.
//
// A forked copy of the host holds a closed engine: its descriptors are
// closed inside fork(), while their numbers are certainly ours, and it
// never signals, reaps, writes to or waits for the original's program.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "agent_input.h"
#include "base/errno_code.h"
#include "base/result.h"
#include "base/unique_fd.h"
#include "fork_policy.h"
#include "history.h"
#include "inbox.h"
#include "pty/pty_process.h"
#include "reader_thread.h"

namespace morvik::session {

// How long close waits for the reader to see the end of the output by
// itself before telling it to stop.
inline constexpr std::chrono::milliseconds READER_JOIN_GRACE{1000};

struct EngineStart {
  pty::ProcessDescription description;
  std::size_t history_limit = HISTORY_LIMIT;
  // The reader watches the child's process handle and tells of its end in
  // the channel, after every byte written before it.
  bool watch_child = false;
  // Given the input side, makes what sees each chunk first (it may answer
  // the program's queries there); none when empty or when it returns null.
  std::function<std::shared_ptr<ChunkObserver>(const std::shared_ptr<AgentInput>&)> make_observer;
  // What else the face closes inside a fork of the host: numbers only, no
  // lock, no allocation.
  std::function<void()> close_in_forked_child;
};

// Where a start failed, so that each face can say it in its own words.
struct StartFailure {
  enum class Step {
    Spawn,         // the program could not be started (`error` is the PTY layer's)
    Terminal,      // the master's flags could not be set
    Reader,        // the reader's descriptors could not be made
    ReaderThread,  // the reader thread could not be started
  };
  Step step;
  Errno error;
  std::string text;  // for ReaderThread: the diagnostic of its failure
};

// How close ends the program.
enum class StopHow {
  Child,    // the child only, with the forced stop sequence (pty::PtyProcess::exit)
  Session,  // every process of the terminal's session (terminate_session)
};

class Engine {
 public:
  static Result<std::unique_ptr<Engine>, StartFailure> start(EngineStart start);

  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;
  // Closes as `Child` if the face did not close it.
  ~Engine();

  pid_t pid() const noexcept { return pid_; }
  bool in_forked_copy() const noexcept { return ::getpid() != owner_pid_; }
  bool closed() const noexcept { return closing_.load(std::memory_order_acquire) || in_forked_copy(); }
  // From here on closed() holds: a wait that has not begun never begins.
  void mark_closing() noexcept { closing_.store(true, std::memory_order_release); }

  // ---- waits, under wait_mutex()
  std::mutex& wait_mutex() noexcept { return wait_mutex_; }
  Inbox& inbox() noexcept { return inbox_; }

  // Held over a wait, and over the input written just before it: the wait
  // reads the terminal itself (ReaderThread::take_turn), so the program's
  // answer wakes the waiting thread directly, not the reader first and then
  // the waiter. Taken under wait_mutex() only.
  class Turn {
   public:
    explicit Turn(Engine& e) noexcept;
    ~Turn();
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;

   private:
    Engine& engine_;
    Engine* held_ = nullptr;  // set when this one took the turn
  };
  bool holds_turn() const noexcept { return holds_turn_; }
  // Gives the turn back; the reader is asked for a drain when `nudge`, or
  // when the child has ended meanwhile: the reader tells of that end only
  // after a read of its own finds the terminal empty.
  void give_turn_back(bool nudge) noexcept;
  // One chunk of output, waiting until `until`: from the inbox, else, with
  // the turn, read from the terminal here (and shown to the observer first,
  // as the reader does), else from the channel. Poked: a cancel came, or
  // the child ended.
  Inbox::Status receive(Chunk& chunk, std::chrono::steady_clock::time_point until);
  // Whether the chunk received last was output an earlier read held back:
  // no sign of life from the program.
  bool took_held() const noexcept { return !took_directly_ && inbox_.took_held(); }
  // Nothing is queued, and the terminal was found empty since the last
  // output taken.
  bool output_dry();
  // Asks the reader for a drain (ReaderThread::request_sync).
  std::uint64_t request_sync() noexcept { return reader_thread_.request_sync(); }

  // ---- from any thread
  // Ends a wait that polls the terminal itself, and one on the channel.
  void poke() noexcept;
  bool child_exited() const { return channel_.child_exited(); }
  // One input, whole (see AgentInput).
  Result<void, WriteFailure> write(std::string_view input) { return input_->write(input); }
  AgentInput& input() noexcept { return *input_; }
  // Whether input the program can read now is queued on the terminal (an
  // answer to a query not yet written counts). Under wait_mutex(), within
  // a Turn: the terminal's other side, opened for the question, stays open
  // until the Turn ends.
  bool input_queued();
  // What the program wrote that the terminal holds and nobody read yet.
  std::size_t unread_on_terminal();
  // Whether the program reads keys rather than lines (canonical mode off).
  bool reads_keys();
  // The kernel's view: whether the program waits for input.
  pty::InputWait input_wait(pty::WaitDetail* detail = nullptr);
  // `f(pty::PtyProcess*)` under the process lock; null once closed (or in a
  // forked copy, where the record is not the copy's).
  template <class F>
  auto with_process(F&& f) {
    std::lock_guard<std::mutex> lock(process_mutex_);
    return f(in_forked_copy() ? nullptr : process_.get());
  }

  // ---- the history (the newest `history_limit` bytes of raw output)
  void record(std::string_view output);
  std::string history() const;

  // Ends the program as `how` says, cancels a running wait, joins the reader
  // (up to READER_JOIN_GRACE for the output's own end) and releases the
  // terminal. `after_stop`, when given, runs under the process lock right
  // after the stop, with the record. A second call finds it done. In a
  // forked copy it only forgets what the copy holds.
  void close(StopHow how, const std::function<void(pty::PtyProcess&)>& after_stop = {}) noexcept;
  // Stops the program as `how` says, under the process lock; nothing else.
  void stop(StopHow how) noexcept;

 private:
  Engine(std::shared_ptr<pty::PtyProcess> process, std::shared_ptr<UniqueFd> wake, std::shared_ptr<AgentInput> input,
         std::shared_ptr<ChunkObserver> observer, Receiver rx, ReaderThread reader, bool watch_child,
         std::size_t history_limit, std::function<void()> close_in_forked_child);

  // With the turn: waits until the terminal has output (Chunk), a cancel
  // came or the child ended (Poked), or `until` (TimedOut); Empty when the
  // turn had to go back.
  Inbox::Status wait_for_terminal(std::chrono::steady_clock::time_point until);
  void stop_locked(StopHow how);
  void close_other_side() noexcept;
  void abandon() noexcept;
  static void close_rest_in_forked_child(void* self) noexcept;

  pid_t pid_;
  // The process that started the program. In a forked copy of the host the
  // terminal is closed: no lock is taken there (a thread of the original may
  // have held one at the fork), no signal sent, no reader joined.
  pid_t owner_pid_;
  bool abandoned_ = false;  // only ever touched in a copy
  std::atomic<bool> closing_{false};
  ChannelRemote channel_;

  std::mutex close_mutex_;
  bool closed_ = false;  // under close_mutex_

  std::mutex wait_mutex_;
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
  bool took_directly_ = false;
  std::unique_ptr<char[]> read_buffer_;  // for reads under the turn, made on the first
  // The terminal's other side while a wait asks about queued input (see
  // input_queued); -1 otherwise. Opened and closed under process_mutex_.
  int other_side_ = -1;
  bool watch_child_;
  Inbox inbox_;

  mutable std::mutex history_mutex_;
  History history_;

  std::shared_ptr<AgentInput> input_;         // shared with the observer, which answers queries
  std::shared_ptr<ChunkObserver> observer_;  // null without one

  std::mutex process_mutex_;
  // Shared with the reader thread, which uses its master and process handle
  // (ReaderThread::Borrowed): they close when the last of the two lets go.
  std::shared_ptr<pty::PtyProcess> process_;
  // Readable once a cancel came: it ends a wait that polls the terminal
  // itself. Also the reader thread's wake-up (edge-triggered there, so one
  // left readable for a wait never spins the reader). Written from any
  // thread and released by close, so only under wake_mutex_: a number
  // written after its close could be another file's.
  std::mutex wake_mutex_;
  std::shared_ptr<UniqueFd> wake_;

  std::function<void()> face_close_in_forked_child_;
  // Inside a fork of the host (fork_policy.h): the process lock is held
  // across it, and the copy closes its duplicates of the process record's
  // master and handle (which the input side and the reader only borrow),
  // the wake-up, the reader's wait set and what the face adds.
  std::optional<SessionForkPolicy> fork_policy_;  // released first, before teardown
};

}  // namespace morvik::session
