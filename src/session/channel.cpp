// The output channel. The consumer is woken only when it is actually waiting,
// so a flood of small chunks costs one lock round trip per chunk on the
// producer side and no futex wake-ups while the consumer is busy elsewhere.
#include "channel.h"

namespace morvik::session {

std::pair<Sender, Receiver> make_channel() {
  auto state = std::make_shared<detail::ChannelState>();
  return {Sender(state), Receiver(state)};
}

Sender& Sender::operator=(Sender&& other) noexcept {
  if (this != &other) {
    disconnect();
    state_ = std::move(other.state_);
  }
  return *this;
}

Sender::~Sender() { disconnect(); }

void Sender::disconnect() noexcept {
  if (!state_) return;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->sender_alive = false;
  }
  state_->ready.notify_all();
  state_.reset();
}

bool Sender::send(Chunk chunk) {
  bool wake;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (!state_->receiver_alive) return false;
    state_->queue.push_back(std::move(chunk));
    wake = state_->receiver_waiting;
  }
  if (wake) state_->ready.notify_one();
  return true;
}

Receiver& Receiver::operator=(Receiver&& other) noexcept {
  if (this != &other) {
    disconnect();
    state_ = std::move(other.state_);
  }
  return *this;
}

Receiver::~Receiver() { disconnect(); }

void Receiver::disconnect() noexcept {
  if (!state_) return;
  std::deque<Chunk> dropped;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->receiver_alive = false;
    // Freed outside the lock: a large backlog must not stall the producer.
    dropped.swap(state_->queue);
  }
  state_.reset();
}

Receiver::Status Receiver::try_recv(Chunk& out) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (!state_->queue.empty()) {
    out = std::move(state_->queue.front());
    state_->queue.pop_front();
    return Status::Chunk;
  }
  return state_->sender_alive ? Status::Empty : Status::Disconnected;
}

Receiver::Status Receiver::recv_timeout(Chunk& out, std::chrono::nanoseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::unique_lock<std::mutex> lock(state_->mutex);
  for (;;) {
    if (!state_->queue.empty()) {
      out = std::move(state_->queue.front());
      state_->queue.pop_front();
      return Status::Chunk;
    }
    if (!state_->sender_alive) return Status::Disconnected;
    state_->receiver_waiting = true;
    const auto woke = state_->ready.wait_until(lock, deadline);
    state_->receiver_waiting = false;
    if (woke == std::cv_status::timeout && state_->queue.empty()) {
      return state_->sender_alive ? Status::TimedOut : Status::Disconnected;
    }
  }
}

void Receiver::unreceive(Chunk rest) {
  if (rest.empty()) return;
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->queue.push_front(std::move(rest));
}

}  // namespace morvik::session
