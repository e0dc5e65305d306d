// The output reader thread "morvik_reader": reads the master in reads of up
// to 8192 bytes and sends each read as one chunk. It never touches the
// session record, takes no session lock and never enters the interpreter.
//
// Teardown must not hang when some process keeps the terminal's other side
// open (a background job that ignores SIGHUP, or a child that cannot be
// signalled): the thread waits in poll on the master and on a wake-up
// descriptor, so it can be told to stop once teardown stops waiting for the
// natural end of the output.
#pragma once

#include <chrono>
#include <memory>
#include <thread>

#include "../pty/unique_fd.h"
#include "channel.h"

namespace morvik::session {

inline constexpr std::size_t READ_CHUNK_BYTES = 8192;

class ReaderThread {
 public:
  struct Shared;  // completion flag and the wake-up descriptor

  // Starts the thread; it owns `master` and `tx` from now on. On failure
  // returns an empty handle and sets `error` to a diagnostic text; `master`
  // and `tx` are released.
  static ReaderThread start(pty::UniqueFd master, Sender tx, std::string& error);

  ReaderThread() = default;
  ReaderThread(ReaderThread&&) noexcept = default;
  ReaderThread& operator=(ReaderThread&&) noexcept = default;
  // Detaches a thread that was never joined after telling it to stop.
  ~ReaderThread();

  bool joinable() const noexcept { return thread_.joinable(); }
  // Waits up to `grace` for the thread to end by itself (end of file or a
  // failed read), then tells it to stop, and joins it. A thread that waits
  // for room in a full channel cannot end by itself: it is stopped at once.
  void join_within(std::chrono::milliseconds grace);

 private:
  void request_stop() noexcept;

  std::thread thread_;
  std::shared_ptr<Shared> shared_;
  Sender::StopHandle channel_stop_;
};

}  // namespace morvik::session
