// The output channel: an unbounded FIFO of output chunks from the reader
// thread (one producer) to the session (one consumer). A chunk is exactly
// what one read of the master returned; chunks are never merged or split in
// transit. The consumer may hand back the unread tail of a chunk it had to
// cut, which then comes out first, so a byte budget never loses output.
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

namespace detail {
struct ChannelState {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<Chunk> queue;
  bool sender_alive = true;
  bool receiver_alive = true;
  bool receiver_waiting = false;
};
}  // namespace detail

class Sender {
 public:
  Sender() = default;
  explicit Sender(std::shared_ptr<detail::ChannelState> s) : state_(std::move(s)) {}
  Sender(Sender&&) noexcept = default;
  Sender& operator=(Sender&&) noexcept;
  ~Sender();

  // Never blocks. false (and the chunk is dropped) once the receiver is gone.
  bool send(Chunk chunk);

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
  // Puts the unread tail of a chunk back at the head of the queue.
  void unreceive(Chunk rest);

 private:
  void disconnect() noexcept;
  std::shared_ptr<detail::ChannelState> state_;
};

std::pair<Sender, Receiver> make_channel();

}  // namespace morvik::session
