// The engine: start-up, the turn and the reads a wait makes itself, the
// kernel's questions, the history, the fork handling and the close. Must
// never hold one of its locks across a blocking call another thread's
// control would queue behind (a wait blocks holding wait_mutex_ only), never
// take the process lock while holding the input's or the history's, and
// never let a wait outlive close.
#include "engine.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "base/eintr.h"
#include "base/internal_failure.h"
#include "forget.h"
#include "terminal_poll.h"

namespace morvik::session {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::nanoseconds;

// What the reader thread keeps open while it runs: the process record's
// master and process handle, and the wake-up.
struct KeptOpen {
  std::shared_ptr<pty::PtyProcess> process;
  std::shared_ptr<UniqueFd> wake;
};

// Whether the terminal holds input its program can read now: a line in
// canonical mode, enough bytes otherwise. A program asleep in a read of the
// terminal with such input queued is about to wake (our input is on its way
// to it), so it does not wait for input. A poll of the other side first
// lets the kernel hand over input still in transit from the master, so a
// line written just before is seen. The other side is opened through the
// master for the question only: an idle terminal holds no descriptor for it.
bool input_pending(int other_side) {
  pollfd p{other_side, POLLIN, 0};
  return retry_on_eintr([&] { return ::poll(&p, 1, 0); }) == 1 && (p.revents & POLLIN) != 0;
}

}  // namespace

Engine::Engine(std::shared_ptr<pty::PtyProcess> process, std::shared_ptr<UniqueFd> wake,
               std::shared_ptr<AgentInput> input, std::shared_ptr<ChunkObserver> observer, Receiver rx,
               ReaderThread reader, bool watch_child, std::size_t history_limit,
               std::function<void()> close_in_forked_child)
    : pid_(process->pid()),
      owner_pid_(::getpid()),
      channel_(rx.remote()),
      reader_thread_(std::move(reader)),
      watch_child_(watch_child),
      inbox_(std::move(rx)),
      history_(history_limit),
      input_(std::move(input)),
      observer_(std::move(observer)),
      process_(std::move(process)),
      wake_(std::move(wake)),
      face_close_in_forked_child_(std::move(close_in_forked_child)) {
  fork_policy_.emplace(reader_thread_, inbox_, &process_mutex_, &Engine::close_rest_in_forked_child, this);
}

void Engine::close_rest_in_forked_child(void* self) noexcept {
  Engine& e = *static_cast<Engine*>(self);
  e.input_->close_in_forked_child();
  if (e.other_side_ >= 0) (void)::close(e.other_side_);
  e.other_side_ = -1;
  if (e.process_) e.process_->close_in_forked_child();
  if (e.wake_ && e.wake_->valid()) (void)::close(e.wake_->release());
  if (e.face_close_in_forked_child_) e.face_close_in_forked_child_();
}

Result<std::unique_ptr<Engine>, StartFailure> Engine::start(EngineStart start) {
  using Step = StartFailure::Step;
  auto process = pty::PtyProcess::spawn(std::move(start.description));
  if (!process) return StartFailure{Step::Spawn, process.error(), {}};
  // From here on, returning releases the process record, which stops the
  // child. The record's master and process handle are the only ones: the
  // reader thread, the input side and a wait that holds the turn all use
  // them, and the record, shared with the reader thread, is released only
  // once neither the engine nor the thread uses them.
  auto held = std::make_shared<pty::PtyProcess>(std::move(process).value());
  // Non-blocking, for the writer's sake (see input_writer.h: a program that
  // stops reading could otherwise hold a write, and close, for good) and
  // because the reader reads first and polls when the terminal is dry. The
  // child's side is another open file and stays blocking.
  const int flags = ::fcntl(held->master_fd(), F_GETFL);
  if (flags < 0 || ::fcntl(held->master_fd(), F_SETFL, flags | O_NONBLOCK) < 0) {
    return StartFailure{Step::Terminal, Errno::last(), {}};
  }
  // One wake-up for the reader thread and for a wait that reads the
  // terminal itself (a cancel); see ReaderThread::Borrowed.
  auto wake = std::make_shared<UniqueFd>(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake->valid()) return StartFailure{Step::Reader, Errno::last(), {}};
  if (auto moved = keep_above_stdio(*wake); !moved) return StartFailure{Step::Reader, moved.error(), {}};
  auto wait_set = ReaderThread::make_wait_set();
  if (!wait_set) return StartFailure{Step::Reader, wait_set.error(), {}};
  auto input = std::make_shared<AgentInput>(InputWriter::borrowing(held->master_fd()));
  std::shared_ptr<ChunkObserver> observer = start.make_observer ? start.make_observer(input) : nullptr;
  auto [tx, rx] = make_channel();
  ReaderThread::StartError why;
  const int child = start.watch_child ? held->pidfd() : -1;
  ReaderThread::Borrowed terminal{held->master_fd(), child, wake->get(),
                                  std::make_shared<const KeptOpen>(KeptOpen{held, wake})};
  ReaderThread reader =
      ReaderThread::start(std::move(terminal), std::move(wait_set).value(), std::move(tx), why, observer);
  if (!reader.joinable()) return StartFailure{Step::ReaderThread, Errno::from_raw(why.code), std::move(why.text)};
  std::unique_ptr<Engine> engine(new Engine(std::move(held), std::move(wake), std::move(input), std::move(observer),
                                            std::move(rx), std::move(reader), start.watch_child, start.history_limit,
                                            std::move(start.close_in_forked_child)));
  return engine;
}

Engine::~Engine() {
  fork_policy_.reset();
  close(StopHow::Child);
}

// ---------------------------------------------------------------- the turn

Engine::Turn::Turn(Engine& e) noexcept : engine_(e) {
  if (e.holds_turn_ || e.in_forked_copy()) return;
  {
    std::lock_guard<std::mutex> lock(e.process_mutex_);
    if (!e.process_) return;
    e.turn_master_ = e.process_->master_fd();
    e.turn_child_ = e.watch_child_ ? e.process_->pidfd() : -1;
  }
  if (!e.reader_thread_.take_turn()) return;
  e.holds_turn_ = true;
  e.turn_bytes_ = 0;
  e.turn_dry_ = false;
  held_ = &e;
}

Engine::Turn::~Turn() {
  if (held_ != nullptr && held_->holds_turn_) held_->give_turn_back(false);
  engine_.close_other_side();
}

void Engine::close_other_side() noexcept {
  if (other_side_ < 0) return;
  // Under the process lock, as it was opened: a fork in between would leave
  // the copy a number it does not know it holds.
  std::lock_guard<std::mutex> lock(process_mutex_);
  if (other_side_ >= 0 && !in_forked_copy()) (void)::close(other_side_);
  other_side_ = -1;
}

void Engine::give_turn_back(bool nudge) noexcept {
  holds_turn_ = false;
  reader_thread_.give_turn();
  if (nudge) (void)reader_thread_.request_sync();
}

bool Engine::output_dry() {
  if (holds_turn_) return turn_dry_ && inbox_.returned_bytes() == 0;
  return inbox_.receiver().events().dry;
}

Inbox::Status Engine::receive(Chunk& chunk, Clock::time_point until) {
  took_directly_ = false;
  auto from_channel = [&] {
    return inbox_.take_within(chunk, std::max(nanoseconds::zero(), nanoseconds(until - Clock::now())));
  };
  if (!holds_turn_) return from_channel();
  // What the reader queued before the turn came first.
  if (const auto status = inbox_.try_take(chunk); status != Inbox::Status::Empty) return status;
  // Waited for first when the wait may block: right after input or output
  // the rest is rarely there yet, and the wait costs no more than the read
  // that would find nothing. A wait that may not block reads at once: its
  // caller wants to know whether the terminal is empty now.
  bool poll_first = until > Clock::now();
  for (;;) {
    if (poll_first) {
      poll_first = false;
      const Inbox::Status waited = wait_for_terminal(until);
      // Nothing came: whether the terminal is empty is known, or one read
      // tells (and the wait below ends at once).
      if (waited == Inbox::Status::Poked || (waited == Inbox::Status::TimedOut && turn_dry_)) return waited;
      if (waited == Inbox::Status::Empty) return from_channel();
    }
    // Into a buffer kept for the turn, then a chunk of exactly the size
    // read: no 8 KiB to clear and shrink for each few bytes of an answer.
    if (!read_buffer_) read_buffer_ = std::make_unique<char[]>(READ_CHUNK_BYTES);
    const ssize_t got = ::read(turn_master_, read_buffer_.get(), READ_CHUNK_BYTES);
    if (got > 0) {
      chunk.assign(read_buffer_.get(), static_cast<std::size_t>(got));
      turn_dry_ = false;
      took_directly_ = true;
      // The observer sees it before anyone takes it, as from the reader.
      if (observer_) observer_->observe(chunk);
      turn_bytes_ += chunk.size();
      // A flood goes back to the reader: then the reading and the cleaning
      // or rendering of it run side by side, on two processors.
      if (turn_bytes_ >= TURN_BYTES) give_turn_back(false);
      return Inbox::Status::Chunk;
    }
    chunk.clear();
    if (got < 0 && errno == EINTR) continue;
    if (!(got < 0 && errno == EAGAIN)) {
      // The end of the output: the reader finds the same end, and tells it
      // after what it queued.
      give_turn_back(true);
      return from_channel();
    }
    // A read that finds the terminal empty has had the kernel hand over
    // what was still on its way: everything written before is taken.
    turn_dry_ = true;
    const Inbox::Status waited = wait_for_terminal(until);
    if (waited == Inbox::Status::TimedOut || waited == Inbox::Status::Poked) return waited;
    if (waited != Inbox::Status::Chunk) return from_channel();
  }
}

Inbox::Status Engine::wait_for_terminal(Clock::time_point until) {
  pollfd p[3] = {{turn_master_, POLLIN, 0}, {wake_->get(), POLLIN, 0}, {turn_child_, POLLIN, 0}};
  const int ready = poll_until(p, turn_child_ >= 0 ? 3 : 2, until);
  if (ready == 0) return Inbox::Status::TimedOut;
  if (ready < 0) {
    give_turn_back(true);
    return Inbox::Status::Empty;
  }
  if ((p[1].revents & POLLIN) != 0) {
    std::uint64_t count = 0;
    (void)!::read(wake_->get(), &count, sizeof count);
    return Inbox::Status::Poked;
  }
  if (turn_child_ >= 0 && p[2].revents != 0) {
    // The child ended: the reader reads the terminal empty and then tells
    // of the end, after every byte written before it.
    give_turn_back(true);
    return Inbox::Status::Poked;
  }
  // Output, or a hang-up the next read reports.
  return Inbox::Status::Chunk;
}

// ---------------------------------------------------------------- control

void Engine::poke() noexcept {
  if (in_forked_copy()) return;
  channel_.poke();
  std::lock_guard<std::mutex> lock(wake_mutex_);
  if (wake_) {
    const std::uint64_t one = 1;
    (void)!::write(wake_->get(), &one, sizeof one);
  }
}

bool Engine::input_queued() {
  if (input_->answers_pending()) return true;
  std::lock_guard<std::mutex> lock(process_mutex_);
  if (!process_ || in_forked_copy()) return false;
  if (other_side_ < 0) {
    // Opened through the master (no path to look up or swap), read-only and
    // never our controlling terminal, for the rest of this wait: an idle
    // terminal holds no descriptor of it, and asked again in the same wait
    // it costs one poll.
    other_side_ = ::ioctl(process_->master_fd(), TIOCGPTPEER, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (other_side_ < 0) return false;
    if (other_side_ < 3) {
      // A host started without its standard descriptors: never hold one.
      const int high = ::fcntl(other_side_, F_DUPFD_CLOEXEC, 3);
      (void)::close(other_side_);
      other_side_ = high;
      if (other_side_ < 0) return false;
    }
  }
  return input_pending(other_side_);
}

std::size_t Engine::unread_on_terminal() {
  return with_process([](pty::PtyProcess* p) -> std::size_t {
    int unread = 0;
    if (p == nullptr || ::ioctl(p->master_fd(), FIONREAD, &unread) != 0 || unread < 0) return 0;
    return static_cast<std::size_t>(unread);
  });
}

bool Engine::reads_keys() {
  return with_process([](pty::PtyProcess* p) {
    termios modes{};
    return p != nullptr && ::tcgetattr(p->master_fd(), &modes) == 0 && (modes.c_lflag & ICANON) == 0;
  });
}

pty::InputWait Engine::input_wait(pty::WaitDetail* detail) {
  return with_process([&](pty::PtyProcess* p) {
    return p == nullptr ? pty::InputWait::Unknown : p->foreground_input_wait(detail);
  });
}

void Engine::record(std::string_view output) {
  if (output.empty()) return;
  std::lock_guard<std::mutex> lock(history_mutex_);
  history_.append(output);
}

std::string Engine::history() const {
  if (in_forked_copy()) return {};
  std::lock_guard<std::mutex> lock(history_mutex_);
  return history_.contents();
}

// ---------------------------------------------------------------- the end

void Engine::stop_locked(StopHow how) {
  if (!process_) return;
  if (how == StopHow::Session) {
    (void)process_->terminate_session();
  } else {
    (void)process_->exit(true);
  }
}

void Engine::stop(StopHow how) noexcept {
  if (in_forked_copy()) return;
  try {
    std::lock_guard<std::mutex> lock(process_mutex_);
    stop_locked(how);
  } catch (const InternalFailure& f) {
    defer_internal_failure(f.message());
  } catch (...) {
    defer_internal_failure("teardown failed while stopping the child");
  }
}

void Engine::close(StopHow how, const std::function<void(pty::PtyProcess&)>& after_stop) noexcept {
  closing_.store(true, std::memory_order_release);
  if (in_forked_copy()) {
    abandon();
    return;
  }
  std::lock_guard<std::mutex> closing(close_mutex_);
  if (closed_) return;
  // A running wait ends now, with what it has.
  poke();
  try {
    {
      std::lock_guard<std::mutex> lock(process_mutex_);
      stop_locked(how);
      if (after_stop && process_) after_stop(*process_);
    }
    {
      // Bounded: a background process that keeps the terminal open, or a
      // child that cannot be signalled, would otherwise hold the reader
      // forever.
      std::lock_guard<std::mutex> waiting(wait_mutex_);
      reader_thread_.join_within(READER_JOIN_GRACE);
    }
    input_->close();
    // The terminal and the process handle go now, not with the object
    // (later, with a reader thread left to end on its own): a closed
    // terminal kept for its history holds no descriptor.
    std::lock_guard<std::mutex> lock(process_mutex_);
    process_.reset();
    // No wait runs now, and none starts: nothing polls it any more. Under
    // the process lock too, which a fork holds: the copy never sees it
    // half released.
    std::lock_guard<std::mutex> wake_lock(wake_mutex_);
    wake_.reset();
  } catch (const InternalFailure& f) {
    defer_internal_failure(f.message());
  } catch (...) {
    defer_internal_failure("teardown failed while releasing the terminal");
  }
  closed_ = true;
}

void Engine::abandon() noexcept {
  // Once: a second close in the copy finds nothing left to let go.
  if (abandoned_) return;
  abandoned_ = true;
  // The channel's and the reader's locks are not ours to take in a copy:
  // the reader thread may have held them at the fork.
  reader_thread_.abandon();
  inbox_.abandon();
  input_->abandon();
  // Closed at the fork; a number the copy still sees may be a file it
  // opened since.
  if (wake_) (void)wake_->release();
  // The process record, in a copy, closes its descriptors and nothing else.
  forget(std::move(process_));
}

}  // namespace morvik::session
