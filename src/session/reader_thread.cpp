// The reader thread. It owns the reader handle, the sending end and its read
// buffer, and nothing else: no session field, no session lock, no Python.
// An observer it is given (the agent face's screen) is the observer's
// business: the thread only calls it.
#include "reader_thread.h"

#include <signal.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <exception>
#include <new>
#include <vector>

#include "base/eintr.h"
#include "base/quiet_thread_mask.h"
#include "base/errno_code.h"
#include "base/internal_failure.h"
#include "base/kept_texts.h"
#include "forget.h"

namespace morvik::session {

struct ReaderThread::Shared {
  std::mutex mutex;
  std::condition_variable finished_cv;
  bool finished = false;
  // The eventfd that wakes the thread (borrowed): written once teardown
  // asks to stop, a drain is wanted, or a cancel came for a wait that holds
  // the turn.
  int wake = -1;
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> sync_wanted{0};
  // Keeps the borrowed descriptors open until both the thread and the
  // handle are done with them.
  std::shared_ptr<const void> keeper;
  int master = -1;  // the number read (borrowed)
  // The thread waits on this epoll set: the master while the thread is the
  // one that reads it, the wake-up and the child's handle. A turn moves the
  // master out of the set and back without waking the thread, which a
  // round trip would otherwise pay for. The wake-up and the child's handle
  // are edge-triggered: a wake-up left readable for a wait that holds the
  // turn (its cancel), or a child's end the thread has taken note of, must
  // not keep waking it.
  UniqueFd wait_set;
  // The turn to read the master (ReaderThread::take_turn). Whoever reads it
  // holds this lock over the read and the queueing of what it read, so the
  // output keeps its order whoever reads.
  std::mutex turn_mutex;
  bool waiter_reads = false;  // under turn_mutex
  // Under turn_mutex: the thread reads the master no more (it found the end
  // of the output, or it ended), so the turn is not to be had.
  bool master_done = false;
  // give_turn could not put the master back in the wait set: the thread
  // does it when woken (under turn_mutex).
  bool master_to_watch = false;
};

namespace {

constexpr std::size_t WAKE_BATCH_BYTES = 32768;

struct Start {
  int master;
  int child;
  Sender tx;
  std::shared_ptr<ReaderThread::Shared> shared;
  std::shared_ptr<ChunkObserver> observer;
};

enum : std::uint32_t { MASTER_EVENT, WAKE_EVENT, CHILD_EVENT };

bool watch(int wait_set, int fd, std::uint32_t what, std::uint32_t flags = 0) {
  epoll_event ev{};
  ev.events = EPOLLIN | flags;
  ev.data.u32 = what;
  return ::epoll_ctl(wait_set, EPOLL_CTL_ADD, fd, &ev) == 0;
}

void unwatch(int wait_set, int fd) { (void)::epoll_ctl(wait_set, EPOLL_CTL_DEL, fd, nullptr); }

// Sleeps until the master (while in the set), the wake-up or the child is
// ready; false when the wait failed. Sets `child_ready` when the child's
// handle is.
bool sleep_in_wait_set(ReaderThread::Shared& shared, bool& child_ready) {
  epoll_event events[3];
  const int n = retry_on_eintr([&] { return ::epoll_wait(shared.wait_set.get(), events, 3, -1); });
  if (n < 0) return false;
  for (int i = 0; i < n; ++i) {
    if (events[i].data.u32 == WAKE_EVENT) {
      // Left readable for a wait that holds the turn: the wake-up may be
      // its cancel. Decided under the turn's lock, so a wait that takes the
      // turn later finds the cancel in its count, not in the eventfd.
      std::lock_guard<std::mutex> turn(shared.turn_mutex);
      if (!shared.waiter_reads) {
        std::uint64_t count = 0;
        (void)!::read(shared.wake, &count, sizeof count);
      }
    } else if (events[i].data.u32 == CHILD_EVENT) {
      child_ready = true;
    }
  }
  return true;
}

void read_loop(int master, Sender& tx, bool watch_child, ReaderThread::Shared& shared, ChunkObserver* observer) {
  {
    std::vector<char> buf(READ_CHUNK_BYTES, 0);
    const int wait_set = shared.wait_set.get();
    bool master_open = true;
    bool watching_child = watch_child;
    bool exit_to_announce = false;
    std::uint64_t acknowledged = 0;
    // Bytes sent since the consumer was last woken. While the child keeps
    // the terminal busy, chunks are queued without waking the consumer for
    // each one: it is woken when the terminal runs dry or a batch has built
    // up. A flood then costs a wake-up per batch instead of per chunk, and an
    // answer followed by silence is handed over as soon as the read finds
    // nothing more.
    std::size_t unannounced = 0;
    for (;;) {
      // Read before the read that may find the terminal dry: a request made
      // after that read must wait for the next one.
      const std::uint64_t wanted = shared.sync_wanted.load(std::memory_order_acquire);
      // The master is non-blocking: read first, and wait only when nothing
      // is there. The wait can still be ended by a stop request when some
      // process keeps the terminal's other side open.
      bool found_dry = !master_open;
      if (master_open) {
        // Room first, outside the turn: a wait that takes the turn must
        // never wait behind a full queue it is about to drain.
        if (!tx.wait_for_room()) break;
        std::unique_lock<std::mutex> turn(shared.turn_mutex);
        if (shared.master_to_watch) {
          if (!watch(wait_set, master, MASTER_EVENT)) throw std::bad_alloc();
          shared.master_to_watch = false;
        }
        // While a wait holds the turn the master is out of the set and the
        // thread sleeps below on the rest.
        if (!shared.waiter_reads) {
          const ssize_t got = retry_on_eintr([&] { return ::read(master, buf.data(), buf.size()); });
          if (got > 0) {
            unannounced += static_cast<std::size_t>(got);
            const bool wake = unannounced >= WAKE_BATCH_BYTES;
            if (wake) unannounced = 0;
            if (observer != nullptr) observer->observe(std::string_view(buf.data(), static_cast<std::size_t>(got)));
            if (!tx.send(Chunk(buf.data(), static_cast<std::size_t>(got)), wake)) break;
            continue;
          }
          // End of file, or any failure (EIO once the child's side is
          // gone): out of the set, where a hang-up would stay ready.
          if (!(got < 0 && errno == EAGAIN)) {
            master_open = false;
            shared.master_done = true;
            unwatch(wait_set, master);
          }
          found_dry = true;
        }
      }
      if (found_dry) {
        // The terminal is dry: a read that finds it empty first waits for
        // the kernel's hand-over of output still in transit, so everything
        // written before this point is queued now.
        tx.mark_dry();
        unannounced = 0;
        if (exit_to_announce) {
          tx.mark_child_exited();
          exit_to_announce = false;
        }
        if (wanted > acknowledged) {
          tx.acknowledge_sync(wanted);
          acknowledged = wanted;
        }
        if (!master_open && !watching_child) break;
      }
      if (shared.stop.load(std::memory_order_acquire)) break;
      bool child_ready = false;
      if (!sleep_in_wait_set(shared, child_ready)) break;
      if (child_ready && watching_child) {
        // Announced after the next read finds the terminal dry.
        watching_child = false;
        exit_to_announce = true;
      }
      if (shared.stop.load(std::memory_order_acquire)) break;
    }
  }
}

// Nothing may leave this thread as an exception: one that did would end the
// whole host through std::terminate. Running out of memory (an address-space
// limit on the host, say) stops this session's reading instead, and the
// session says why on its next read.
void run_reader(int master, Sender tx, bool watch_child, ReaderThread::Shared& shared,
                std::shared_ptr<ChunkObserver> observer) noexcept {
  pthread_setname_np(pthread_self(), "morvik_reader");
  // The first exception a thread throws sets up state of its own (the C++
  // runtime's thread-local block, which a library loaded after start-up, as
  // this module is in an interpreter, gets from the heap on first use; the
  // dynamic loader ends the process when that fails). So one is thrown now,
  // while memory is there, not first when memory has run out.
  try {
    throw std::bad_alloc();
  } catch (const std::bad_alloc&) {
  }
  (void)take_deferred_internal_failure();  // this module's own, likewise
  int failure = 0;
  try {
    read_loop(master, tx, watch_child, shared, observer.get());
  } catch (const std::bad_alloc&) {
    failure = ENOMEM;
  } catch (...) {
    failure = EIO;
  }
  observer.reset();
  {
    // A wait that holds the turn learns here that the thread reads no more.
    std::lock_guard<std::mutex> turn(shared.turn_mutex);
    shared.master_done = true;
  }
  {
    // Disconnect before reporting completion, so whoever waits for the end
    // sees every chunk already queued and then the disconnection.
    Sender gone = std::move(tx);
    if (failure != 0) gone.fail(failure);
  }
  {
    std::lock_guard<std::mutex> lock(shared.mutex);
    shared.finished = true;
  }
  shared.finished_cv.notify_all();
}

void* reader_main(void* arg) {
  std::unique_ptr<Start> start(static_cast<Start*>(arg));
  // Keeps the shared state alive for the thread's last notify, whatever the
  // handle does meanwhile.
  const std::shared_ptr<ReaderThread::Shared> shared = std::move(start->shared);
  run_reader(start->master, std::move(start->tx), start->child >= 0, *shared, std::move(start->observer));
  return nullptr;
}

std::string os_diagnostic(int errnum) { return kept::os_diagnostic(errnum, os_message(errnum)); }

}  // namespace

Result<UniqueFd> ReaderThread::make_wait_set() noexcept {
  // At 3 or above like every other descriptor of a session: a host started
  // with its standard descriptors closed would otherwise get one as 0, and
  // when it later puts a file there (dup2 of /dev/null, a daemon's usual
  // step) teardown would close the host's file.
  UniqueFd set(::epoll_create1(EPOLL_CLOEXEC));
  if (!set.valid()) return Errno::last();
  if (auto moved = keep_above_stdio(set); !moved) return std::move(moved).take_error();
  return set;
}

ReaderThread ReaderThread::start(Borrowed terminal, UniqueFd wait_set, Sender tx, StartError& error,
                                 std::shared_ptr<ChunkObserver> observer) {
  const int set = wait_set.get();
  if (!watch(set, terminal.master, MASTER_EVENT) || !watch(set, terminal.wake, WAKE_EVENT, EPOLLET) ||
      (terminal.child >= 0 && !watch(set, terminal.child, CHILD_EVENT, EPOLLET))) {
    error.code = errno;
    error.text = os_diagnostic(error.code);
    return ReaderThread{};
  }
  auto shared = std::make_shared<Shared>();
  shared->wake = terminal.wake;
  shared->master = terminal.master;
  shared->keeper = std::move(terminal.keeper);
  shared->wait_set = std::move(wait_set);
  ReaderThread rt;
  rt.shared_ = shared;
  rt.channel_stop_ = tx.stop_handle();
  auto start = std::make_unique<Start>(
      Start{terminal.master, terminal.child, std::move(tx), std::move(shared), std::move(observer)});

  int rc = 0;
  {
    const QuietThreadMask quiet;
    rc = ::pthread_create(&rt.thread_, nullptr, reader_main, start.get());
  }
  if (rc != 0) {
    error.code = rc;
    error.text = os_diagnostic(rc);
    // `start` still owns the sender; the handle lets go of the shared state
    // without waking anyone.
    rt.shared_.reset();
    rt.channel_stop_ = Sender::StopHandle{};
    return rt;
  }
  (void)start.release();  // the thread's now
  rt.running_ = true;
  return rt;
}

bool ReaderThread::take_turn() noexcept {
  if (!shared_) return false;
  std::lock_guard<std::mutex> turn(shared_->turn_mutex);
  if (shared_->master_done || shared_->waiter_reads) return false;
  // Out of the thread's wait set, so that output for the wait wakes only
  // the waiting thread; the thread, asleep, is not disturbed.
  if (shared_->master_to_watch) {
    shared_->master_to_watch = false;
  } else if (::epoll_ctl(shared_->wait_set.get(), EPOLL_CTL_DEL, shared_->master, nullptr) != 0) {
    return false;
  }
  shared_->waiter_reads = true;
  return true;
}

void ReaderThread::give_turn() noexcept {
  if (!shared_) return;
  bool wake = false;
  {
    std::lock_guard<std::mutex> turn(shared_->turn_mutex);
    shared_->waiter_reads = false;
    if (!shared_->master_done) {
      // Output that came after the wait wakes the thread at once: the
      // master is ready when it rejoins the set. Left to the thread, which
      // is woken for it and fails the channel if it cannot either, when
      // that fails: it must never stop reading unseen.
      wake = !watch(shared_->wait_set.get(), shared_->master, MASTER_EVENT);
      shared_->master_to_watch = wake;
    }
  }
  if (wake) {
    const std::uint64_t one = 1;
    (void)!::write(shared_->wake, &one, sizeof one);
  }
}

std::uint64_t ReaderThread::request_sync() noexcept {
  const std::uint64_t generation = shared_->sync_wanted.fetch_add(1, std::memory_order_acq_rel) + 1;
  const std::uint64_t one = 1;
  (void)!::write(shared_->wake, &one, sizeof one);
  return generation;
}

void ReaderThread::request_stop() noexcept {
  shared_->stop.store(true, std::memory_order_release);
  const std::uint64_t one = 1;
  // Harmless when the thread already ended; otherwise it leaves its poll or
  // its wait for room now.
  (void)!::write(shared_->wake, &one, sizeof one);
  channel_stop_.request_stop();
}

void ReaderThread::join_within(std::chrono::milliseconds grace) {
  if (!running_.get()) return;
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
  bool finished;
  {
    // Bounded: the wake-up may not arrive (a host that put another file on
    // its number), and nothing else ends a poll on a terminal that some
    // background process keeps open.
    std::unique_lock<std::mutex> lock(shared_->mutex);
    finished = shared_->finished_cv.wait_for(lock, STOP_GRACE, [&] { return shared_->finished; });
  }
  if (finished) {
    ::pthread_join(thread_, nullptr);
  } else {
    ::pthread_detach(thread_);
  }
  running_ = false;
  // The thread is gone: its wake-up descriptor and its hold on the channel
  // go now, not when the session record is released.
  shared_.reset();
  channel_stop_ = Sender::StopHandle{};
}

void ReaderThread::close_in_forked_child() noexcept {
  if (!shared_) return;
  if (shared_->wait_set.valid()) (void)::close(shared_->wait_set.release());
}

void ReaderThread::abandon() noexcept {
  if (!shared_) return;
  (void)shared_->wait_set.release();
  // The shared state and the channel's stop handle hold locks the copied
  // thread may have held at the fork.
  forget(std::move(shared_));
  channel_stop_.abandon();
  running_ = false;
}

void ReaderThread::let_go() noexcept {
  if (running_.get()) {
    request_stop();
    ::pthread_detach(thread_);
    running_ = false;
  }
}

ReaderThread::~ReaderThread() { let_go(); }

}  // namespace morvik::session
