// The session record: the whole state of one Morvik object, and every
// operation on it. Knows nothing of Python: the binding layer decides where
// the interpreter lock is released (around read_until_ready and nowhere else).
//
// Threading contract. A session is used by one thread at a time: the binding
// lets only the thread that made it call in, and never two calls at once.
// Its own state is therefore plain members, with no lock. The one other
// thread is its reader, which reaches only the channel (channel.h), its own
// stop and completion flags and the turn to read the terminal
// (reader_thread.cpp); those carry their own locks. The host's exit hook
// reaches the process handle (stop_all_programs), under stop_mutex_, the
// lock every stop of the child takes. A member that another
// thread is ever let reach gets a lock of its own, at that member, held for
// one short block (the writer would be one mutex beside writer_ around
// write_bytes), never a lock over the record.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/byte_buffer.h"
#include "fork_policy.h"
#include "pty/pty_process.h"
#include "channel.h"
#include "expected.h"
#include "history.h"
#include "inbox.h"
#include "input_writer.h"
#include "read_output.h"
#include "reader_thread.h"

namespace morvik::session {

inline constexpr std::uint64_t DEFAULT_TIMEOUT_MS = 20000;
inline constexpr std::uint64_t DEFAULT_MAX_OUTPUT_BYTES = 0x200000;  // 2 MiB
inline constexpr std::uint64_t DEFAULT_SETTLE_MS = 200;
inline constexpr std::uint64_t DEFAULT_QUIET_MS = 80;
inline constexpr std::uint64_t DEFAULT_READ_AVAILABLE_BYTES = 65536;
inline constexpr std::uint8_t CTRL_C_BYTE = 0x03;
// How long teardown waits for the reader to see the end of the output by
// itself before telling it to stop.
inline constexpr std::chrono::milliseconds READER_JOIN_GRACE{1000};

using Marker = std::string;  // UTF-8 bytes of the marker text

// The default prompts, in order.
std::vector<Marker> default_ready_markers();

struct WaitArgs {
  std::optional<std::uint64_t> timeout_ms;
  std::optional<std::uint64_t> max_output_bytes;
  std::optional<std::uint64_t> settle_ms;
  std::optional<std::uint64_t> quiet_ms;
};

class Session {
 public:
  // Starts `command` (one program, verbatim) on a new terminal with its
  // reader thread running. Fails with the start-up errors; an unstartable
  // reader thread is an internal failure. Nothing acquired outlives a failure.
  static Expected<std::unique_ptr<Session>> spawn(std::string command, bool interactive,
                                                  std::size_t history_limit = HISTORY_LIMIT);

  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  // Teardown, then the process, the writer, the channel, the thread slot and
  // the rest, in that order.
  ~Session();

  // Draining, history and waiting hand out raw bytes, already recorded in
  // the history and ending on a whole character or escape (held_tail.h).
  // Their text is text::clean_into's or sanitize_for_agent's; the binding
  // cleans them straight into the object it returns.
  ByteBuffer read_available(std::optional<std::uint64_t> max_bytes);
  // The history's bytes, oldest first, as one string.
  std::string history_contents() const { return history_.contents(); }

  // Waiting: run with the interpreter lock released. A long wait cleans
  // what it has while more comes (read_output.h).
  ReadOutput read_until_ready(const WaitArgs& args);

  // Held over a wait, and over the input written just before it: the wait
  // reads the terminal itself (ReaderThread::take_turn), so its answer
  // wakes the waiting thread directly. A wait takes one of its own when
  // none is held.
  class WaitTurn {
   public:
    explicit WaitTurn(Session& s) noexcept;
    ~WaitTurn();
    WaitTurn(const WaitTurn&) = delete;
    WaitTurn& operator=(const WaitTurn&) = delete;

   private:
    Session* held_ = nullptr;  // set when this one took the turn
  };

  // Input and settings.
  Expected<void> write_bytes(std::string_view data);
  Expected<void> send_line(std::string_view input);  // input + "\n" in one write
  Expected<void> send_ctrl_c();
  void set_ready_markers(std::vector<Marker> markers) { ready_markers_ = std::move(markers); }
  bool is_interactive() const noexcept { return interactive_; }
  const std::string& get_initial_command() const noexcept { return command_; }

  // Once everything queued has been read: an error when the reader stopped
  // because it failed (out of memory), not because the output ended.
  Expected<void> reader_health();

  // Liveness and teardown.
  Expected<bool> is_alive();
  void close_inner() noexcept;

  // Starts the same command again; on success `slot` holds the new record,
  // on failure the old one, closed.
  static Expected<void> reset(std::unique_ptr<Session>& slot);

  // At the host's exit: stops the program of every session of this process
  // that still has one, side by side, whichever thread owns it. A session
  // whose owner is a thread the interpreter never lets finish would
  // otherwise leave its program running after the host is gone. The
  // sessions stay otherwise as they are; the process's end takes the rest.
  // Call while no owner thread can ask whether its program runs (with the
  // interpreter lock held).
  static void stop_all_programs() noexcept;

 private:
  Session(std::string command, pty::PtyProcess process, InputWriter writer, Receiver rx,
          ReaderThread reader, std::size_t history_limit, bool interactive);

  bool should_wait_for_markers() const noexcept;
  ReadOutput read_until_ready_inner(std::uint64_t timeout_ms, std::uint64_t max_output_bytes,
                                    std::uint64_t settle_ms);
  ReadOutput read_until_quiet_inner(std::uint64_t timeout_ms, std::uint64_t quiet_ms,
                                    std::uint64_t max_output_bytes);

  // A wait's output while it collects: the raw bytes, and the cleaning of
  // what has settled of them.
  using Collecting = ReadOutput;

  // A session belongs to the process that started its child. In a forked
  // copy of the host it behaves as a closed one: no signal, wait, wake-up or
  // join, no output and no input, and its teardown only closes that copy's
  // descriptors.
  bool in_other_process() const noexcept { return !process_.in_owner_process(); }
  void abandon() noexcept;

  // Inside a fork of the host (fork_policy.h): the copy closes its
  // duplicates of the writer's and the process record's descriptors too.
  static void close_rest_in_forked_child(void* self) noexcept;

  // One receive; a chunk is appended within `cap`. `held`, when given,
  // tells whether the chunk was output an earlier read held back, which is
  // no sign of life from the child.
  Inbox::Status receive_capped(Collecting& collected, std::chrono::nanoseconds limit,
                               std::uint64_t cap, bool& cut, bool* held = nullptr);
  // With the turn, once the inbox is empty: one read of the master straight
  // onto `raw`, within `cap`, waiting until `deadline` for it (Chunk or
  // TimedOut). At the end of the output the turn goes back to the reader,
  // which ends the channel, and the answer is Empty; after TURN_BYTES it
  // goes back too. Either way the wait goes on with the channel.
  Inbox::Status read_with_turn(ByteBuffer& raw, std::chrono::steady_clock::time_point deadline,
                               std::uint64_t cap);
  void give_turn_back() noexcept;
  // finish_read for a wait, and what it hands out.
  ReadOutput finish_wait(Collecting& collected, std::uint64_t cap);
  // The end of a wait: an incomplete character or escape at the end of
  // `collected` goes back to the inbox (see hold_incomplete_tail), the rest
  // into the history.
  void finish_read(ByteBuffer& collected, std::uint64_t cap);

  // Stops the child, as teardown does; a second stop finds it gone.
  void stop_program() noexcept;

  // Field order is release order after teardown (members are destroyed in
  // reverse): process, writer, inbox (the channel), reader_thread, then the
  // rest.
  std::string command_;
  std::size_t history_limit_;
  bool interactive_;
  History history_;
  std::vector<Marker> ready_markers_;
  ReaderThread reader_thread_;
  Inbox inbox_;
  InputWriter writer_;
  pty::PtyProcess process_;
  std::mutex stop_mutex_;  // held by every stop of the child
  bool started_after_exit_ = false;
  bool closed_ = false;  // the terminal and process handle are released
  bool holds_turn_ = false;
  std::size_t turn_bytes_ = 0;  // read under the turn held now
  std::optional<SessionForkPolicy> fork_policy_;  // released first, before teardown
};

}  // namespace morvik::session
