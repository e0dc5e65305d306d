// What the agent face does with the output as the reader thread reads it,
// before the chunk is queued: the screen model (screen/lazy_screen.h: the
// bytes are kept with one cheap scan and fed to libvterm only when someone
// looks), the answers to the queries a program sends (cursor position,
// device attributes), written at once, and the recording.
//
// Why on the reader thread: a program that asks the terminal blocks until
// it is answered, also while nobody waits on the terminal; and a wait that
// takes the chunk that asked finds the answer written already, so the
// kernel's input-wait check never sees the program blocked reading an
// answer it was not given (the wait compares answers() around the check
// for a chunk still being read then).
//
// It also follows the terminal's modes (text/terminal_modes.h) for the
// keys: as of the newest output read, whoever reads next, so that a key
// sent while no wait has taken that output still goes in the program's
// mode. With a model they come from its scan; without one, from a light
// scan of their own.
//
// screen() and resize() come from any thread. One lock guards the model
// (or the light scan), held for one append or one look; never across a
// write to the terminal. modes() takes no lock.
//
// Versions: a count of the changes the model took (chunks appended, size
// changes), bumped under the model's lock, so a look and its version always
// agree. It is all a caller needs to tell whether the screen may have moved
// without feeding the model; wait_version() sleeps on it (its own lock and
// condition, never the model's, so the reader's notify stays short).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "agent_input.h"
#include "cast_recorder.h"
#include "reader_thread.h"
#include "screen/lazy_screen.h"
#include "text/terminal_modes.h"

namespace morvik::session {

struct ScreenShot {
  std::vector<std::string> lines;  // exactly rows, trailing blanks stripped
  int row = 0;
  int column = 0;
  bool alternate = false;
  std::uint64_t version = 0;  // the changes counted when this was taken
};

class AgentOutput final : public ChunkObserver {
 public:
  // `keep_screen` false: no model, no answers (a bulk job that wants
  // neither); `recorder` may be null.
  AgentOutput(int rows, int columns, bool keep_screen, std::shared_ptr<AgentInput> input,
              std::shared_ptr<CastRecorder> recorder);

  void observe(std::string_view chunk) override;

  // The screen as the program drew it so far; nullopt without a model.
  std::optional<ScreenShot> screen();
  // The model's new size (the caller then tells the program).
  void resize(int rows, int columns);
  // The modes as of the newest output observed.
  text::TerminalModes modes() const noexcept { return modes_.load(std::memory_order_acquire); }
  // The changes counted so far (see the file comment); also without a model.
  std::uint64_t version() const noexcept { return version_.load(std::memory_order_acquire); }
  // Blocks until the version is no longer `seen`, a poke() comes, or
  // `until` passes; returns the version then.
  std::uint64_t wait_version(std::uint64_t seen, std::chrono::steady_clock::time_point until);
  // Wakes every wait_version() (a cancel).
  void poke();
  // How many answers the terminal has given so far.
  std::uint64_t answers() const noexcept { return answers_.load(std::memory_order_acquire); }

 private:
  std::mutex mutex_;
  std::optional<screen::LazyScreen> model_;  // under mutex_
  text::ModeScan mode_scan_;                 // under mutex_, used only without a model
  std::atomic<text::TerminalModes> modes_{};
  static_assert(std::atomic<text::TerminalModes>::is_always_lock_free);
  std::shared_ptr<AgentInput> input_;
  std::shared_ptr<CastRecorder> recorder_;
  std::atomic<std::uint64_t> answers_{0};
  void changed();
  std::atomic<std::uint64_t> version_{0};
  std::mutex change_mutex_;  // orders a bump against a sleeper's check
  std::condition_variable change_;
  std::uint64_t pokes_ = 0;  // under change_mutex_
};

}  // namespace morvik::session
