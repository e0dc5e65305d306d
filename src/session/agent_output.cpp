// The agent face's look at the output on the reader thread. Must stay cheap
// per chunk (the model is fed only when looked at, or when too much is
// held), and must count an answer only once it has been handed to the
// input side, before the chunk that asked is queued.
#include "agent_output.h"

namespace morvik::session {

AgentOutput::AgentOutput(int rows, int columns, bool keep_screen, std::shared_ptr<AgentInput> input,
                         std::shared_ptr<CastRecorder> recorder)
    : input_(std::move(input)), recorder_(std::move(recorder)) {
  if (keep_screen) model_.emplace(rows, columns);
}

void AgentOutput::observe(std::string_view chunk) {
  if (recorder_) recorder_->output(chunk);
  std::string replies;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (model_) {
      model_->append(chunk);
      replies = model_->take_replies();
      modes_.store(model_->modes(), std::memory_order_release);
    } else {
      mode_scan_.feed(chunk);
      modes_.store(mode_scan_.modes(), std::memory_order_release);
    }
    version_.fetch_add(1, std::memory_order_acq_rel);
  }
  changed();
  if (replies.empty()) return;
  input_->answer(replies);
  answers_.fetch_add(1, std::memory_order_acq_rel);
}

std::optional<ScreenShot> AgentOutput::screen() {
  if (!model_) return std::nullopt;
  std::lock_guard<std::mutex> lock(mutex_);
  const screen::Screen& s = model_->screen();
  const screen::Cursor c = s.cursor();
  return ScreenShot{s.lines(), c.row, c.column, s.alternate(), version_.load(std::memory_order_acquire)};
}

void AgentOutput::resize(int rows, int columns) {
  if (recorder_) recorder_->resize(rows, columns);
  if (!model_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    model_->resize(rows, columns);
    version_.fetch_add(1, std::memory_order_acq_rel);
  }
  changed();
}

void AgentOutput::changed() {
  // Taken empty, only so that a sleeper between its check and its sleep
  // cannot miss this bump.
  { std::lock_guard<std::mutex> lock(change_mutex_); }
  change_.notify_all();
}

void AgentOutput::poke() {
  {
    std::lock_guard<std::mutex> lock(change_mutex_);
    ++pokes_;
  }
  change_.notify_all();
}

std::uint64_t AgentOutput::wait_version(std::uint64_t seen, std::chrono::steady_clock::time_point until) {
  std::unique_lock<std::mutex> lock(change_mutex_);
  const std::uint64_t pokes = pokes_;
  change_.wait_until(lock, until, [&] { return version() != seen || pokes_ != pokes; });
  return version();
}

}  // namespace morvik::session
