// The agent terminal's input side: what the agent sends, each input whole,
// and the answers the terminal gives to the queries a program sends (cursor
// position, device attributes), on the one descriptor. Shared by the
// session's threads, which write inputs, and the reader thread, which
// answers queries as it reads them.
//
// The hazard it owns: the reader must never wait behind an input. An input
// may stall while the program is itself stalled writing output that only
// the reader would take; a reader that waited for the input's lock would
// then hold both forever. So the reader only ever tries the lock: an answer
// that finds it taken is left for the holder, which writes it right after
// its input, and an answer the terminal has no room for waits for the next
// input or answer. Answers go out in the order they were made.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "input_writer.h"

namespace morvik::session {

class AgentInput {
 public:
  explicit AgentInput(InputWriter writer) noexcept : writer_(std::move(writer)) {}
  AgentInput(const AgentInput&) = delete;
  AgentInput& operator=(const AgentInput&) = delete;

  // One input, whole, after any answer still pending (see InputWriter).
  Result<void, WriteFailure> write(std::string_view input);
  // An answer of the terminal: written now if no input is being written and
  // the terminal takes it, else as soon as one of those holds. Never blocks.
  void answer(std::string_view reply);
  // Whether an answer waits to be written: the program has not got it yet.
  bool answers_pending() const;
  // Lets go of the descriptor (closes one of its own); later inputs fail
  // and answers are dropped.
  void close() noexcept;
  // In a forked copy of the host, inside fork(): closes the copy's
  // duplicate of a descriptor of its own while its number is certainly
  // ours (a borrowed one is its owner's to close), taking no lock.
  void close_in_forked_child() noexcept { writer_.close_in_forked_child(); }
  // Later in the copy: lets the descriptor go without closing a number the
  // copy may have reused, or taking a lock another thread held at the fork.
  void abandon() noexcept { writer_.forget_descriptor(); }

 private:
  // With mutex_ held: writes what the terminal takes of the pending
  // answers now, keeping the rest.
  void flush_answers_locked();
  // Flushes the pending answers unless an input holds the descriptor, and
  // again for answers made meanwhile by a thread that found it held.
  void flush_answers_if_free();

  std::mutex mutex_;  // the descriptor: one input or flush at a time
  InputWriter writer_;
  mutable std::mutex answers_mutex_;  // never held across a write
  std::string answers_;
  std::uint64_t answers_made_ = 0;  // under answers_mutex_
};

}  // namespace morvik::session
