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
#pragma once

#include <chrono>
#include <condition_variable>
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
  // Wakes the receiver if it waits.
  void wake();
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

class Receiver {
 public:
  enum class Status { Chunk, Empty, TimedOut, Disconnected };

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

 private:
  void disconnect() noexcept;

  std::shared_ptr<detail::ChannelState> state_;
};

std::pair<Sender, Receiver> make_channel(std::size_t capacity_bytes = CHANNEL_CAPACITY_BYTES);

}  // namespace morvik::session
