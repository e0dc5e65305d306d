// The agent terminal's input side. Must never let the reader thread block:
// it only tries the descriptor's lock and writes what the non-blocking
// descriptor takes at once.
#include "agent_input.h"

#include <unistd.h>

#include <cerrno>

#include "base/eintr.h"

namespace morvik::session {

Result<void, WriteFailure> AgentInput::write(std::string_view input) {
  Result<void, WriteFailure> done;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // A program's question came before this input: its answer goes first.
    flush_answers_locked();
    done = writer_.write_all(input);
    flush_answers_locked();
  }
  flush_answers_if_free();
  return done;
}

void AgentInput::answer(std::string_view reply) {
  {
    std::lock_guard<std::mutex> lock(answers_mutex_);
    answers_.append(reply);
    ++answers_made_;
  }
  flush_answers_if_free();
}

bool AgentInput::answers_pending() const {
  std::lock_guard<std::mutex> lock(answers_mutex_);
  return !answers_.empty();
}

void AgentInput::close() noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  writer_.close();
  std::lock_guard<std::mutex> answers(answers_mutex_);
  answers_.clear();
}

void AgentInput::flush_answers_locked() {
  std::string out;
  {
    std::lock_guard<std::mutex> lock(answers_mutex_);
    if (answers_.empty()) return;
    out.swap(answers_);
  }
  std::size_t done = 0;
  while (done < out.size() && writer_.fd() >= 0) {
    const ssize_t w = retry_on_eintr([&] { return ::write(writer_.fd(), out.data() + done, out.size() - done); });
    if (w > 0) {
      done += static_cast<std::size_t>(w);
      continue;
    }
    if (w < 0 && errno == EAGAIN) break;  // no room: the next input or answer tries again
    done = out.size();  // the terminal is gone: nobody will read it
  }
  // Once closed nobody will read them: kept, they would pile up for good
  // and read as input still on its way to the program.
  if (done == out.size() || writer_.fd() < 0) return;
  std::lock_guard<std::mutex> lock(answers_mutex_);
  answers_.insert(0, out, done, std::string::npos);
}

void AgentInput::flush_answers_if_free() {
  for (;;) {
    std::uint64_t seen;
    {
      std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
      if (!lock.owns_lock()) return;  // the holder writes them after its input
      {
        std::lock_guard<std::mutex> answers(answers_mutex_);
        seen = answers_made_;
      }
      flush_answers_locked();
    }
    // An answer made while the lock was ours found it taken and was left
    // to us: go round again for it.
    std::lock_guard<std::mutex> answers(answers_mutex_);
    if (answers_made_ == seen || answers_.empty()) return;
  }
}

}  // namespace morvik::session
