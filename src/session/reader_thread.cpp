// The reader thread. It owns the reader handle, the sending end and its read
// buffer, and nothing else: no session field, no session lock, no Python.
#include "reader_thread.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

namespace morvik::session {

struct ReaderThread::Shared {
  std::mutex mutex;
  std::condition_variable finished_cv;
  bool finished = false;
  pty::UniqueFd wake;  // eventfd: readable once teardown asks the thread to stop
};

namespace {

constexpr std::size_t WAKE_BATCH_BYTES = 32768;

void run_reader(pty::UniqueFd master, Sender tx, std::shared_ptr<ReaderThread::Shared> shared) {
  pthread_setname_np(pthread_self(), "morvik_reader");
  {
    std::vector<char> buf(READ_CHUNK_BYTES, 0);
    pollfd fds[2] = {{master.get(), POLLIN, 0}, {shared->wake.get(), POLLIN, 0}};
    // Bytes sent since the consumer was last woken. While the child keeps
    // the terminal busy, chunks are queued without waking the consumer for
    // each one: it is woken when the terminal runs dry or a batch has built
    // up. A flood then costs a wake-up per batch instead of per chunk, and an
    // answer followed by silence is handed over as soon as the read finds
    // nothing more.
    std::size_t unannounced = 0;
    for (;;) {
      // The master is non-blocking: read first, and wait in poll only when
      // nothing is there. The wait can still be ended by a stop request when
      // some process keeps the terminal's other side open.
      const ssize_t got = ::read(master.get(), buf.data(), buf.size());
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
        if (unannounced != 0) {
          tx.wake();
          unannounced = 0;
        }
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
        if (fds[1].revents != 0) break;
        continue;
      }
      // End of file, or any failure (EIO once the child's side is gone).
      if (got <= 0) break;
      unannounced += static_cast<std::size_t>(got);
      const bool wake = unannounced >= WAKE_BATCH_BYTES;
      if (wake) unannounced = 0;
      if (!tx.send(Chunk(buf.data(), static_cast<std::size_t>(got)), wake)) break;
    }
  }
  master.reset();
  {
    // Disconnect before reporting completion, so whoever waits for the end
    // sees every chunk already queued and then the disconnection.
    Sender gone = std::move(tx);
  }
  {
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->finished = true;
  }
  shared->finished_cv.notify_all();
}

}  // namespace

ReaderThread ReaderThread::start(pty::UniqueFd master, Sender tx, std::string& error) {
  ReaderThread rt;
  rt.shared_ = std::make_shared<Shared>();
  const int efd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (efd < 0) {
    error = "Os { code: " + std::to_string(errno) + ", description: \"" + std::strerror(errno) + "\" }";
    return ReaderThread{};
  }
  rt.shared_->wake.reset(efd);
  rt.channel_stop_ = tx.stop_handle();
  try {
    rt.thread_ = std::thread(run_reader, std::move(master), std::move(tx), rt.shared_);
  } catch (const std::system_error& e) {
    error = "Os { code: " + std::to_string(e.code().value()) + ", description: \"" + e.code().message() +
            "\" }";
    return ReaderThread{};
  }
  return rt;
}

void ReaderThread::request_stop() noexcept {
  const std::uint64_t one = 1;
  // Harmless when the thread already ended; otherwise it leaves its poll or
  // its wait for room now.
  (void)!::write(shared_->wake.get(), &one, sizeof one);
  channel_stop_.request_stop();
}

void ReaderThread::join_within(std::chrono::milliseconds grace) {
  if (!thread_.joinable()) return;
  constexpr std::chrono::milliseconds step{10};
  const auto until = std::chrono::steady_clock::now() + grace;
  {
    std::unique_lock<std::mutex> lock(shared_->mutex);
    while (!shared_->finished && std::chrono::steady_clock::now() < until) {
      if (channel_stop_.sender_blocked()) break;
      shared_->finished_cv.wait_for(lock, step);
    }
  }
  request_stop();
  thread_.join();
}

ReaderThread::~ReaderThread() {
  if (thread_.joinable()) {
    request_stop();
    thread_.detach();
  }
}

}  // namespace morvik::session
