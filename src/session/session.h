// The `Morvik` face: one Morvik object's policy over the session engine
// (engine.h): a command started verbatim, ready markers, settle and quiet
// ends, output cleaned into str. Knows nothing of Python: the binding layer
// decides where the interpreter lock is released (around read_until_ready,
// close and reset).
//
// Threading contract. A session is used by one thread at a time: the binding
// lets only the thread that made it call in, and never two calls at once.
// Its own state is therefore plain members, with no lock. The engine guards
// what its reader thread and the host's exit hook reach (stop_all_programs
// stops the program under the engine's process lock, the lock every stop of
// the child takes).
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
#include "engine.h"
#include "expected.h"
#include "history.h"
#include "read_output.h"

namespace morvik::session {

inline constexpr std::uint64_t DEFAULT_TIMEOUT_MS = 20000;
inline constexpr std::uint64_t DEFAULT_MAX_OUTPUT_BYTES = 0x200000;  // 2 MiB
inline constexpr std::uint64_t DEFAULT_SETTLE_MS = 200;
inline constexpr std::uint64_t DEFAULT_QUIET_MS = 80;
inline constexpr std::uint64_t DEFAULT_READ_AVAILABLE_BYTES = 65536;
inline constexpr std::uint8_t CTRL_C_BYTE = 0x03;

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
  std::string history_contents() const { return engine_->history(); }

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
    Session* held_ = nullptr;  // set when this one is the session's wait
    std::optional<std::unique_lock<std::mutex>> lock_;
    std::optional<Engine::Turn> turn_;
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
  Session(std::string command, std::unique_ptr<Engine> engine, std::size_t history_limit, bool interactive);

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
  // join, no output and no input, and its teardown only forgets what the
  // copy holds (the engine closed its descriptors at the fork).
  bool in_other_process() const noexcept { return engine_->in_forked_copy(); }

  // One receive; a chunk is appended within `cap`. `held`, when given,
  // tells whether the chunk was output an earlier read held back, which is
  // no sign of life from the child.
  Inbox::Status receive_capped(Collecting& collected, std::chrono::nanoseconds limit,
                               std::uint64_t cap, bool& cut, bool* held = nullptr);
  // finish_read for a wait, and what it hands out.
  ReadOutput finish_wait(Collecting& collected, std::uint64_t cap);
  // The end of a wait: an incomplete character or escape at the end of
  // `collected` goes back to the inbox (see hold_incomplete_tail), the rest
  // into the history.
  void finish_read(ByteBuffer& collected, std::uint64_t cap);

  // Stops the child, as teardown does; a second stop finds it gone.
  void stop_program() noexcept;

  std::string command_;
  std::size_t history_limit_;
  bool interactive_;
  std::vector<Marker> ready_markers_;
  std::unique_ptr<Engine> engine_;
  bool started_after_exit_ = false;
  bool closed_ = false;  // the terminal and process handle are released
  bool waiting_ = false;  // a WaitTurn holds the engine's wait lock
};

}  // namespace morvik::session
