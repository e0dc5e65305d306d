// The output channel: a plain FIFO of output chunks from the reader thread
// (one producer) to the session (one consumer), and the only state the two
// threads share besides the reader's own stop and completion flags. A chunk
// is exactly what one read of the master returned; chunks are never merged
// or split in transit. Whatever the consumer takes but does not hand out
// stays on its side (inbox.h), never back in here.
//
// The queue is bounded in bytes. A host that stops reading must not grow
// without limit while a child floods its terminal, and dropping output is
// never acceptable: a full queue makes the producer wait, the reader stops
// reading, and the kernel then holds the child in its write.
//
// The agent face also carries three events through it, each of which wakes a
// waiting consumer: the reader saw the child end (and had drained the
// terminal by then), the reader finished a drain another thread asked for,
// and a poke from any thread (a cancel, a close). They travel here because
// the consumer already waits on this one condition variable.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace morvik::session {

using Chunk = std::string;

inline constexpr std::size_t CHANNEL_CAPACITY_BYTES = std::size_t{64} << 20;  // 64 MiB

namespace detail {
struct ChannelState {
  std::mutex mutex;
  std::condition_variable ready;
  std::condition_variable space;
  std::deque<Chunk> queue;
  std::size_t queued_bytes = 0;
  std::size_t capacity_bytes = CHANNEL_CAPACITY_BYTES;
  bool sender_alive = true;
  bool receiver_alive = true;
  bool receiver_waiting = false;
  bool sender_blocked = false;
  bool stop_requested = false;
  int sender_failure = 0;  // why the producer stopped, when it failed
  // Agent events; see the file comment.
  std::uint64_t pokes = 0;
  std::uint64_t synced = 0;
  bool child_exited = false;
  // The reader found the terminal empty after the last chunk it queued.
  bool dry = false;
};
}  // namespace detail

class Sender {
 public:
  Sender() = default;
  explicit Sender(std::shared_ptr<detail::ChannelState> s) : state_(std::move(s)) {}
  Sender(Sender&&) noexcept = default;
  Sender& operator=(Sender&&) noexcept;
  ~Sender();

  // Waits while the queue is full. false (and the chunk is dropped) once the
  // receiver is gone or a stop was requested. With `wake` false a waiting
  // receiver is not woken yet: the producer promises a later wake().
  bool send(Chunk chunk, bool wake = true);
  // Waits while the queue is full, so that the next send does not. false
  // once the receiver is gone or a stop was requested.
  bool wait_for_room();
  // Wakes the receiver if it waits.
  void wake();
  // The terminal is empty now: everything it held is queued. Wakes the
  // receiver if it waits for what is queued.
  void mark_dry();
  // Agent events (see the file comment): everything before them is queued.
  void mark_child_exited();
  void acknowledge_sync(std::uint64_t generation);
  // Disconnects, recording why the producer gave up (an error number): the
  // receiver sees Disconnected once it has taken every chunk, and the cause.
  void fail(int err) noexcept;

  // Lets another thread interrupt a send that waits for room, and see
  // whether one does.
  class StopHandle {
   public:
    StopHandle() = default;
    explicit StopHandle(std::shared_ptr<detail::ChannelState> s) : state_(std::move(s)) {}
    void request_stop();
    bool sender_blocked() const;
    // Lets go of the channel without touching it (a forked copy of the host).
    void abandon() noexcept;

   private:
    std::shared_ptr<detail::ChannelState> state_;
  };
  StopHandle stop_handle() const { return StopHandle(state_); }

 private:
  void disconnect() noexcept;
  std::shared_ptr<detail::ChannelState> state_;
};

// What threads other than the receiver's may do with the channel: wake a
// waiting receiver at once (recv_timeout returns Poked to a receiver that
// has not seen this poke yet), and ask whether the child's end was flagged.
class ChannelRemote {
 public:
  ChannelRemote() = default;
  explicit ChannelRemote(std::shared_ptr<detail::ChannelState> s) : state_(std::move(s)) {}
  void poke();
  bool child_exited() const;

 private:
  std::shared_ptr<detail::ChannelState> state_;
};

class Receiver {
 public:
  enum class Status { Chunk, Empty, TimedOut, Disconnected, Poked };

  // What the agent events say now.
  struct Events {
    std::uint64_t synced = 0;
    bool child_exited = false;
    std::size_t queued_bytes = 0;
    bool dry = false;  // nothing queued, and the reader found the terminal empty since
  };

  Receiver() = default;
  explicit Receiver(std::shared_ptr<detail::ChannelState> s) : state_(std::move(s)) {}
  Receiver(Receiver&&) noexcept = default;
  Receiver& operator=(Receiver&&) noexcept;
  ~Receiver();

  // The oldest chunk, else Empty (sender alive) or Disconnected.
  Status try_recv(Chunk& out);
  // The oldest chunk as soon as there is one, else TimedOut once `limit` has
  // passed, or Disconnected. A zero limit never blocks.
  Status recv_timeout(Chunk& out, std::chrono::nanoseconds limit);
  // The error number the producer failed with (Sender::fail), 0 if none.
  int sender_failure() const;
  // Around a fork of the host: the lock is held across it, so the copy finds
  // the queue whole, and the copy frees the chunks queued (their producer
  // does not exist there) before it lets the lock go.
  void lock_for_fork() noexcept;
  void unlock_after_fork(bool in_child) noexcept;
  // Lets go of the channel without locking or destroying it: in a forked
  // copy of the host the reader thread may have held its lock at the fork.
  void abandon() noexcept;

  ChannelRemote remote() const { return ChannelRemote(state_); }
  Events events() const;

 private:
  void disconnect() noexcept;

  std::shared_ptr<detail::ChannelState> state_;
  std::uint64_t pokes_seen_ = 0;
};

std::pair<Sender, Receiver> make_channel(std::size_t capacity_bytes = CHANNEL_CAPACITY_BYTES);

}  // namespace morvik::session
