// The output channel. The consumer is woken only when it is actually waiting,
// so a flood of small chunks costs one lock round trip per chunk on the
// producer side and no futex wake-ups while the consumer is busy elsewhere.
#include "channel.h"

#include "forget.h"

namespace morvik::session {

std::pair<Sender, Receiver> make_channel(std::size_t capacity_bytes) {
  auto state = std::make_shared<detail::ChannelState>();
  state->capacity_bytes = capacity_bytes;
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

void Sender::fail(int err) noexcept {
  if (!state_) return;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->sender_failure = err;
  }
  disconnect();
}

void Sender::disconnect() noexcept {
  if (!state_) return;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->sender_alive = false;
  }
  state_->ready.notify_all();
  state_.reset();
}

namespace {

// Waits while the queue is full; the caller holds the lock. false once
// the receiver is gone or a stop was requested.
bool wait_for_room_locked(detail::ChannelState& st, std::unique_lock<std::mutex>& lock) {
  while (st.receiver_alive && !st.stop_requested && st.queued_bytes >= st.capacity_bytes) {
    // Whatever was queued without a wake-up must reach the consumer before
    // the producer waits on it.
    if (st.receiver_waiting) st.ready.notify_one();
    st.sender_blocked = true;
    st.space.wait(lock);
    st.sender_blocked = false;
  }
  return st.receiver_alive && !st.stop_requested;
}

}  // namespace

bool Sender::wait_for_room() {
  std::unique_lock<std::mutex> lock(state_->mutex);
  return wait_for_room_locked(*state_, lock);
}

bool Sender::send(Chunk chunk, bool wake_receiver) {
  bool wake;
  {
    std::unique_lock<std::mutex> lock(state_->mutex);
    auto& st = *state_;
    if (!wait_for_room_locked(st, lock)) return false;
    st.queued_bytes += chunk.size();
    st.queue.push_back(std::move(chunk));
    st.dry = false;
    wake = wake_receiver && st.receiver_waiting;
  }
  if (wake) state_->ready.notify_one();
  return true;
}

void Sender::wake() {
  bool wake;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    wake = state_->receiver_waiting && !state_->queue.empty();
  }
  if (wake) state_->ready.notify_one();
}

namespace {

// Counts a poke and wakes the consumer; the caller holds the lock.
void poke_locked(detail::ChannelState& st) { ++st.pokes; }

}  // namespace

void Sender::mark_dry() {
  bool wake;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->dry = true;
    wake = state_->receiver_waiting && !state_->queue.empty();
  }
  if (wake) state_->ready.notify_one();
}

void Sender::mark_child_exited() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->child_exited = true;
    poke_locked(*state_);
  }
  state_->ready.notify_all();
}

void Sender::acknowledge_sync(std::uint64_t generation) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->synced = generation;
    poke_locked(*state_);
  }
  state_->ready.notify_all();
}

bool ChannelRemote::child_exited() const {
  if (!state_) return false;
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->child_exited;
}

void ChannelRemote::poke() {
  if (!state_) return;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    poke_locked(*state_);
  }
  state_->ready.notify_all();
}

void Sender::StopHandle::request_stop() {
  if (!state_) return;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stop_requested = true;
  }
  state_->space.notify_all();
}

void Sender::StopHandle::abandon() noexcept { forget(std::move(state_)); }

bool Sender::StopHandle::sender_blocked() const {
  if (!state_) return false;
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->sender_blocked;
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
    state_->queued_bytes = 0;
  }
  state_->space.notify_all();
  state_.reset();
}

namespace {

// Takes the oldest chunk; the caller holds the lock and has seen one queued.
// Wakes the producer only when it waits for room.
bool pop_front(detail::ChannelState& st, Chunk& out) {
  out = std::move(st.queue.front());
  st.queue.pop_front();
  st.queued_bytes -= out.size();
  return st.sender_blocked && st.queued_bytes < st.capacity_bytes;
}

}  // namespace

Receiver::Status Receiver::try_recv(Chunk& out) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  if (!state_->queue.empty()) {
    const bool wake = pop_front(*state_, out);
    lock.unlock();
    if (wake) state_->space.notify_one();
    return Status::Chunk;
  }
  return state_->sender_alive ? Status::Empty : Status::Disconnected;
}

Receiver::Status Receiver::recv_timeout(Chunk& out, std::chrono::nanoseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::unique_lock<std::mutex> lock(state_->mutex);
  for (;;) {
    if (!state_->queue.empty()) {
      const bool wake = pop_front(*state_, out);
      lock.unlock();
      if (wake) state_->space.notify_one();
      return Status::Chunk;
    }
    if (!state_->sender_alive) return Status::Disconnected;
    if (state_->pokes != pokes_seen_) {
      pokes_seen_ = state_->pokes;
      return Status::Poked;
    }
    state_->receiver_waiting = true;
    const auto woke = state_->ready.wait_until(lock, deadline);
    state_->receiver_waiting = false;
    if (woke == std::cv_status::timeout && state_->queue.empty() && state_->pokes == pokes_seen_) {
      return state_->sender_alive ? Status::TimedOut : Status::Disconnected;
    }
  }
}

int Receiver::sender_failure() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->sender_failure;
}

void Receiver::lock_for_fork() noexcept {
  if (state_) state_->mutex.lock();
}

void Receiver::unlock_after_fork(bool in_child) noexcept {
  if (!state_) return;
  if (in_child) {
    // Chunks are plain strings: freeing them takes nothing but the
    // allocator, which the C library has made usable in the copy by now.
    std::deque<Chunk>().swap(state_->queue);
    state_->queued_bytes = 0;
  }
  state_->mutex.unlock();
}

void Receiver::abandon() noexcept { forget(std::move(state_)); }

Receiver::Events Receiver::events() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return Events{state_->synced, state_->child_exited, state_->queued_bytes,
                state_->dry && state_->queue.empty()};
}

}  // namespace morvik::session
