// The output reader thread "morvik_reader": reads the master in reads of up
// to 8192 bytes and sends each read as one chunk. It never touches the
// session record, takes no session lock and never enters the interpreter.
// While a wait holds the turn (take_turn) the wait reads the master instead,
// and the thread leaves it alone.
//
// Teardown must not hang when some process keeps the terminal's other side
// open (a background job that ignores SIGHUP, or a child that cannot be
// signalled): the thread waits on the master and on a wake-up descriptor,
// so it can be told to stop once teardown stops waiting for the natural end
// of the output. It borrows the master, the wake-up and the child's handle
// from their owner (a host may hold a thousand terminals: it has no
// descriptor to spare for copies) and waits on an epoll set of its own.
// While a wait holds the turn it leaves the shared wake-up to the wait: a
// cancel the thread drained would never reach it.
//
// Given the child's process handle (the agent face), the thread also watches
// it: once the child has ended it reads the terminal dry and then marks the
// exit in the channel, so a wait sees the exit after every byte written
// before it; and it ends only when both the output and the child have ended.
// It also drains on request (request_sync): a read that finds the terminal
// empty makes the kernel hand over whatever output it still carries, so the
// acknowledgement in the channel means "everything written before the
// request is queued".
//
// Given an observer (the agent face), the thread hands it each chunk just
// before queueing it: the observer keeps the screen and answers the
// queries a program sends while nobody waits on the terminal, and before
// anyone can take the chunk that asked. The observer must never block on
// anything another thread holds across a blocking call.
//
// The thread is started with every asynchronous signal blocked, for its whole
// life: a host that blocks a signal in its own threads to wait for it (or to
// keep its default action away) must not have it delivered here instead.
#pragma once

#include <pthread.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/exchange_on_move.h"
#include "base/result.h"
#include "base/unique_fd.h"
#include "channel.h"

namespace morvik::session {

inline constexpr std::size_t READ_CHUNK_BYTES = 8192;
// How much a wait that holds the turn reads itself before it gives the turn
// back: a flood is then read and cleaned or rendered side by side, on two
// processors.
inline constexpr std::size_t TURN_BYTES = 65536;

// What sees each chunk on the reader thread before it is queued. It may
// throw std::bad_alloc, which stops the reading as the thread's own does.
class ChunkObserver {
 public:
  virtual ~ChunkObserver() = default;
  virtual void observe(std::string_view chunk) = 0;
};
// How long a thread told to stop has before teardown leaves it to itself.
inline constexpr std::chrono::milliseconds STOP_GRACE{1000};

class ReaderThread {
 public:
  struct Shared;  // completion flag, the wake-up descriptor, the reader's descriptor

  // The thread's epoll set, close-on-exec, at 3 or above. Made before
  // start, so that running out of descriptors is an ordinary start-up
  // failure.
  static Result<UniqueFd> make_wait_set() noexcept;

  // The terminal as its owner holds it, for a thread that owns none of its
  // descriptors: the master, the child's process handle and a wake-up
  // eventfd (all non-blocking, at 3 or above), which the owner also uses;
  // `child` -1 when the thread is not to watch the child.
  // `keeper` keeps all three open; the thread lets go of it only once it
  // uses none of them, so a thread that teardown leaves to end on its own
  // never reads a number that has meanwhile been given to another file.
  // The owner closes them in a forked copy of the host, not the thread.
  struct Borrowed {
    int master = -1;
    int child = -1;
    int wake = -1;
    std::shared_ptr<const void> keeper;
  };

  // Starts the thread; it owns `wait_set` and `tx` from now on. On failure
  // returns an empty handle and sets `error` to the failure's number and a
  // diagnostic text; everything given is released. A thread that runs out
  // of memory stops reading and fails the channel with ENOMEM
  // (Sender::fail). `observer` may be null.
  struct StartError {
    int code = 0;
    std::string text;
  };
  static ReaderThread start(Borrowed terminal, UniqueFd wait_set, Sender tx, StartError& error,
                            std::shared_ptr<ChunkObserver> observer);

  ReaderThread() = default;
  ReaderThread(ReaderThread&& other) noexcept = default;
  ReaderThread& operator=(ReaderThread&& other) = delete;
  // Detaches a thread that was never joined after telling it to stop.
  ~ReaderThread();

  bool joinable() const noexcept { return running_.get(); }
  // The turn to read the master. A wait that holds it reads the master
  // itself (the borrowed master, or a descriptor of its own of the same open
  // file), so the output it waits for wakes the waiting thread directly, not
  // the reader first and then the waiter: on a machine whose idle
  // processors sleep, each such hand-over costs the wake-up of a sleeping
  // processor. The thread reads no more until the turn is given back;
  // whatever it queued before comes first; the master leaves its wait set
  // meanwhile, so it is not woken. false when the thread reads no more (the output
  // ended, or it stopped): the caller then waits on the channel as usual.
  // One thread at a time may hold the turn.
  bool take_turn() noexcept;
  void give_turn() noexcept;
  // Asks for a drain; the channel's sync acknowledgement reaches the
  // returned generation once it is done.
  std::uint64_t request_sync() noexcept;
  // Waits up to `grace` for the thread to end by itself (end of file or a
  // failed read), then tells it to stop, and joins it. A thread that waits
  // for room in a full channel cannot end by itself: it is stopped at once.
  // A thread that does not end within STOP_GRACE of being told (its wake-up
  // could not be delivered) is left to end on its own. Releases everything
  // the handle held for the thread.
  void join_within(std::chrono::milliseconds grace);

  // In a forked copy of the host, inside fork(): closes the copy's
  // duplicate of the thread's wait set while its number is certainly ours.
  void close_in_forked_child() noexcept;
  // For a forked copy of the host, in which the thread does not exist and
  // its lock may have been copied mid-use: forgets the thread without
  // waking, joining, locking or closing anything (the copy may have reused
  // the numbers).
  void abandon() noexcept;

 private:
  void request_stop() noexcept;
  // Tells a thread that was never joined to stop, and detaches it.
  void let_go() noexcept;
  pthread_t thread_{};
  ExchangeOnMove<bool, false> running_;
  std::shared_ptr<Shared> shared_;
  Sender::StopHandle channel_stop_;
};

}  // namespace morvik::session
