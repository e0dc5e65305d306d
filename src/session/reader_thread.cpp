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
  // The eventfd that wakes the thread: readable once teardown asks to stop,
  // a drain is wanted, or (borrowed) a cancel came for a wait that holds
  // the turn. Owned here only when the thread was given its own.
  UniqueFd own_wake;
  int wake = -1;
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> sync_wanted{0};
  // The reader's own descriptor while the thread may still hold it open
  // (never set when borrowed). The thread clears it before it closes the
  // descriptor, so a forked copy that still sees a number knows the number
  // was ours at the fork.
  std::atomic<int> owned_master{-1};
  // Keeps borrowed descriptors open until both the thread and the handle
  // are done with them.
  std::shared_ptr<const void> keeper;
  int master = -1;  // the number read, owned or borrowed
  // With a descriptor of its own, the thread waits on this epoll set: the
  // master while the thread is the one that reads it, and the wake-up. A
  // turn then moves the master out of the set and back without waking the
  // thread, which a round trip would otherwise pay for. Borrowed, the
  // thread has no descriptor to spare for it: it waits in ppoll.
  UniqueFd wait_set;
  // The turn to read the master (ReaderThread::take_turn). Whoever reads it
  // holds this lock over the read and the queueing of what it read, so the
  // output keeps its order whoever reads.
  std::mutex turn_mutex;
  // Signalled when the turn comes back, and on a stop: the thread sleeps
  // on it while a wait holds the turn.
  std::condition_variable turn_cv;
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
  UniqueFd owned_master;  // invalid when borrowed
  int master;
  int child;
  Sender tx;
  std::shared_ptr<ReaderThread::Shared> shared;
  std::shared_ptr<ChunkObserver> observer;
};

enum : std::uint32_t { MASTER_EVENT, WAKE_EVENT };

bool watch(int wait_set, int fd, std::uint32_t what) {
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u32 = what;
  return ::epoll_ctl(wait_set, EPOLL_CTL_ADD, fd, &ev) == 0;
}

void unwatch(int wait_set, int fd) { (void)::epoll_ctl(wait_set, EPOLL_CTL_DEL, fd, nullptr); }

void drain_wake(int wake) {
  std::uint64_t count = 0;
  (void)!::read(wake, &count, sizeof count);
}

// Sleeps until the master (while `master_open`), the wake-up or the child
// (while `watching_child`) is ready; false when the wait failed. Sets
// `child_ready` when the child's handle is.
bool sleep_in_poll(int master, bool master_open, int child, bool watching_child, ReaderThread::Shared& shared,
                   bool& child_ready) {
  // A fixed set. A wait that takes the turn while the thread sleeps here
  // wakes it at most once (its output is seen here too); the thread then
  // finds the turn taken and sleeps on the condition.
  pollfd set[3];
  nfds_t count = 0;
  const nfds_t at_master = master_open ? count++ : 3;
  if (at_master < 3) set[at_master] = {master, POLLIN, 0};
  const nfds_t at_wake = count++;
  set[at_wake] = {shared.wake, POLLIN, 0};
  const nfds_t at_child = watching_child ? count++ : 3;
  if (at_child < 3) set[at_child] = {child, POLLIN, 0};
  const int n = retry_on_eintr([&] { return ::ppoll(set, count, nullptr, nullptr); });
  if (n < 0) return false;
  if ((set[at_wake].revents & POLLIN) != 0) {
    // Left readable for a wait that holds the turn: the wake-up may be its
    // cancel. Decided under the turn's lock, so a wait that takes the turn
    // later finds the cancel in its count, not in the eventfd.
    std::lock_guard<std::mutex> turn(shared.turn_mutex);
    if (!shared.waiter_reads) drain_wake(shared.wake);
  }
  child_ready = at_child < 3 && set[at_child].revents != 0;
  return true;
}

// The same on the wait set: the wake-up is the thread's alone there.
bool sleep_in_wait_set(ReaderThread::Shared& shared) {
  epoll_event events[2];
  const int n = retry_on_eintr([&] { return ::epoll_wait(shared.wait_set.get(), events, 2, -1); });
  if (n < 0) return false;
  for (int i = 0; i < n; ++i) {
    if (events[i].data.u32 == WAKE_EVENT) drain_wake(shared.wake);
  }
  return true;
}

void read_loop(int master, Sender& tx, int child, ReaderThread::Shared& shared, ChunkObserver* observer) {
  {
    std::vector<char> buf(READ_CHUNK_BYTES, 0);
    const int wait_set = shared.wait_set.get();  // -1: ppoll
    bool master_open = true;
    bool watching_child = child >= 0;
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
        if (shared.waiter_reads && wait_set < 0) {
          // The wait reads the master, polls the child and takes the
          // wake-ups: nothing here until it gives the turn back. It gives
          // it back when the child ends, so the end is seen after the turn.
          shared.turn_cv.wait(turn, [&] {
            return !shared.waiter_reads || shared.stop.load(std::memory_order_acquire);
          });
          if (shared.stop.load(std::memory_order_acquire)) break;
          continue;
        }
        // With a wait set, while a wait holds the turn the master is out
        // of the set and the thread sleeps below on the rest.
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
            if (wait_set >= 0) unwatch(wait_set, master);
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
      const bool slept = wait_set >= 0 ? sleep_in_wait_set(shared)
                                       : sleep_in_poll(master, master_open, child, watching_child, shared, child_ready);
      if (!slept) break;
      if (child_ready) {
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
void run_reader(UniqueFd owned_master, int master, Sender tx, int child, ReaderThread::Shared& shared,
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
    read_loop(master, tx, child, shared, observer.get());
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
  shared.owned_master.store(-1);
  owned_master.reset();
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
  run_reader(std::move(start->owned_master), start->master, std::move(start->tx), start->child, *shared,
             std::move(start->observer));
  return nullptr;
}

std::string os_diagnostic(int errnum) { return kept::os_diagnostic(errnum, os_message(errnum)); }

}  // namespace

Result<ReaderThread::Descriptors> ReaderThread::make_descriptors() noexcept {
  // Both at 3 or above like every other descriptor of a session: a host
  // started with its standard descriptors closed would otherwise get one as
  // 0, and when it later puts a file there (dup2 of /dev/null, a daemon's
  // usual step) the reader would see it readable and stop, and teardown
  // would write into the host's file and close it.
  Descriptors d{UniqueFd{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)}, UniqueFd{::epoll_create1(EPOLL_CLOEXEC)}};
  for (UniqueFd* fd : {&d.wake, &d.wait_set}) {
    if (!fd->valid()) return Errno::last();
    if (auto moved = keep_above_stdio(*fd); !moved) return std::move(moved).take_error();
  }
  if (!watch(d.wait_set.get(), d.wake.get(), WAKE_EVENT)) return Errno::last();
  return d;
}

ReaderThread ReaderThread::start(UniqueFd master, Descriptors descriptors, Sender tx, StartError& error) {
  if (!watch(descriptors.wait_set.get(), master.get(), MASTER_EVENT)) {
    error.code = errno;
    error.text = os_diagnostic(error.code);
    return ReaderThread{};
  }
  auto shared = std::make_shared<Shared>();
  shared->own_wake = std::move(descriptors.wake);
  shared->wake = shared->own_wake.get();
  shared->wait_set = std::move(descriptors.wait_set);
  shared->master = master.get();
  shared->owned_master.store(master.get());
  const int number = master.get();
  return launch(std::move(shared), std::move(master), number, -1, std::move(tx), nullptr, error);
}

ReaderThread ReaderThread::start(Borrowed terminal, Sender tx, StartError& error,
                                 std::shared_ptr<ChunkObserver> observer) {
  auto shared = std::make_shared<Shared>();
  shared->wake = terminal.wake;
  shared->master = terminal.master;
  shared->keeper = std::move(terminal.keeper);
  return launch(std::move(shared), UniqueFd(), terminal.master, terminal.child, std::move(tx), std::move(observer),
                error);
}

ReaderThread ReaderThread::launch(std::shared_ptr<Shared> shared, UniqueFd owned_master, int master, int child,
                                  Sender tx, std::shared_ptr<ChunkObserver> observer, StartError& error) {
  ReaderThread rt;
  rt.shared_ = shared;
  rt.channel_stop_ = tx.stop_handle();
  auto start = std::make_unique<Start>(
      Start{std::move(owned_master), master, child, std::move(tx), std::move(shared), std::move(observer)});

  int rc = 0;
  {
    const QuietThreadMask quiet;
    rc = ::pthread_create(&rt.thread_, nullptr, reader_main, start.get());
  }
  if (rc != 0) {
    error.code = rc;
    error.text = os_diagnostic(rc);
    // `start` still owns the descriptor and the sender; the handle lets go
    // of the shared state without waking anyone.
    rt.shared_->owned_master.store(-1);
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
  if (shared_->wait_set.valid()) {
    // Out of the thread's wait set, so that output for the wait wakes only
    // the waiting thread; the thread, asleep, is not disturbed.
    if (shared_->master_to_watch) {
      shared_->master_to_watch = false;
    } else if (::epoll_ctl(shared_->wait_set.get(), EPOLL_CTL_DEL, shared_->master, nullptr) != 0) {
      return false;
    }
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
    if (shared_->wait_set.valid() && !shared_->master_done) {
      // Output that came after the wait wakes the thread at once: the
      // master is ready when it rejoins the set. Left to the thread, which
      // is woken for it and fails the channel if it cannot either, when
      // that fails: it must never stop reading unseen.
      wake = !watch(shared_->wait_set.get(), shared_->master, MASTER_EVENT);
      shared_->master_to_watch = wake;
    }
  }
  // Without a wait set, the thread asleep on the condition reads at once:
  // output that came after the wait, or the end of a child that ended
  // during it.
  shared_->turn_cv.notify_one();
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
  {
    // Under the turn's lock: a thread about to sleep on the condition
    // either sees the stop or is asleep when told.
    std::lock_guard<std::mutex> turn(shared_->turn_mutex);
    shared_->stop.store(true, std::memory_order_release);
  }
  shared_->turn_cv.notify_one();
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
  const int fd = shared_->owned_master.exchange(-1);
  if (fd >= 0) (void)::close(fd);
  if (shared_->own_wake.valid()) (void)::close(shared_->own_wake.release());
  if (shared_->wait_set.valid()) (void)::close(shared_->wait_set.release());
}

void ReaderThread::abandon() noexcept {
  if (!shared_) return;
  (void)shared_->own_wake.release();
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
