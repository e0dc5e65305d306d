// A recording of one agent terminal as an asciicast v2 file, for a person to
// replay what the agent did: a header line with the terminal's size, then
// one JSON line per event, timed in seconds from the start: output ("o",
// stamped on the reader thread when it was read), input the agent sent
// ("i") and size changes ("r"). Any thread may record; one lock keeps each
// event's line whole.
//
// The hazard it owns: the file may stall (a FIFO nobody reads, a slow
// mount), and the reader thread records every chunk it reads. So events are
// only queued under the lock, and a writer thread of the recorder's own
// hands them to the file, never holding the lock across a write, waiting
// for room with a poll it can be woken from. A recording whose file falls
// too far behind (see below) is cut off: the queue is dropped, a marker
// event ("m") says so, and take_warning() tells the terminal's next reply.
// One that cannot be written (a full disk) stops the same way.
//
// Events carry text, while output is bytes: a character cut by the end of a
// read waits for the rest in the next event, and bytes that are no UTF-8
// become U+FFFD.
#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "base/unique_fd.h"

namespace morvik::session {

// How far the file may fall behind the terminal before the recording is cut:
// a pipe, socket or terminal may take nothing for good; a regular file only
// lags (its writer starved on a busy machine, a slow mount), and is given
// far more room before the recording is given up.
inline constexpr std::size_t RECORDING_BACKLOG_BYTES = std::size_t{1} << 20;
inline constexpr std::size_t RECORDING_FILE_BACKLOG_BYTES = std::size_t{64} << 20;
// How long close waits for a file that takes nothing to take the rest.
inline constexpr std::chrono::milliseconds RECORDING_CLOSE_GRACE{500};

class CastRecorder {
 public:
  // Queues the header for `file` at once. `term`: the TERM the program was
  // given, for the header's env ("" leaves it out).
  CastRecorder(UniqueFd file, int rows, int columns, std::string_view term);
  CastRecorder(const CastRecorder&) = delete;
  CastRecorder& operator=(const CastRecorder&) = delete;
  ~CastRecorder();

  // Never block on the file.
  void output(std::string_view bytes);
  void input(std::string_view bytes);
  void resize(int rows, int columns);
  // Queues what is still held of a cut character, lets the writer hand the
  // file what it takes within RECORDING_CLOSE_GRACE, and lets the file go.
  void close() noexcept;
  // Why the recording stopped early, once; nullopt when it did not (or
  // this was told already).
  std::optional<std::string> take_warning();
  // In a forked copy of the host, where the writer thread does not exist:
  // nothing is written, locked or joined from here on (its owner then
  // forgets it: see forget.h).
  void abandon() noexcept { abandoned_ = true; }
  // In a forked copy of the host, inside fork(): closes the copy's
  // duplicates of the file and the wake-up while the numbers are ours.
  void close_in_forked_child() noexcept {
    if (file_.valid()) (void)::close(file_.release());
    if (wake_.valid()) (void)::close(wake_.release());
  }

 private:
  // One event line of `carry` and then `bytes`; a character cut at the end
  // goes to `cut` (the same string as `carry`), or with none is replaced.
  void event(char code, std::string_view bytes, std::string* cut, std::string& carry);
  // Under mutex_: queues a line, or cuts the recording off.
  void queue_line(std::string line);
  void stop_locked(std::string marker, std::string warning);
  std::string stamp() const;
  void write_queued() noexcept;  // the writer thread
  // Hands `batch` to the file; false when it failed or close gave up on it.
  bool write_batch(std::string_view batch) noexcept;

  std::mutex mutex_;
  std::condition_variable queued_cv_;
  std::string queued_;           // under mutex_
  std::size_t header_bytes_ = 0;  // under mutex_: the header, while queued_ still starts with it
  bool stopped_ = false;         // under mutex_: no more events are queued
  bool closing_ = false;         // under mutex_
  std::chrono::steady_clock::time_point give_up_at_;  // under mutex_, once closing_
  std::optional<std::string> warning_;  // under mutex_
  std::string output_carry_;     // under mutex_
  std::string input_carry_;      // under mutex_
  const std::chrono::steady_clock::time_point start_;
  UniqueFd file_;  // the writer thread's
  UniqueFd wake_;  // an eventfd that ends the writer's poll
  bool piece_by_piece_ = true;  // not a regular file: at most PIPE_BUF after a poll
  std::size_t backlog_limit_ = RECORDING_BACKLOG_BYTES;
  std::atomic<bool> abandoned_{false};
  std::thread writer_;
};

// `bytes` as the inside of a JSON string: well-formed UTF-8 kept, each
// ill-formed subsequence as U+FFFD, control characters, quote and backslash
// escaped. With `cut`, a character cut by the end is left out and its bytes
// are returned there; without, it is replaced like any ill-formed bytes.
void append_json_text(std::string& out, std::string_view bytes, std::string* cut);

}  // namespace morvik::session
