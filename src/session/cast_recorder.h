// A recording of one agent terminal as an asciicast v2 file, for a person to
// replay what the agent did: a header line with the terminal's size, then
// one JSON line per event, timed in seconds from the start: output ("o",
// stamped on the reader thread when it was read), input the agent sent
// ("i") and size changes ("r"). Any thread may record; one lock keeps each
// event's line whole.
//
// Events carry text, while output is bytes: a character cut by the end of a
// read waits for the rest in the next event, and bytes that are no UTF-8
// become U+FFFD. A recording that cannot be written (a full disk) stops
// quietly: the terminal goes on.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "base/unique_fd.h"

namespace morvik::session {

class CastRecorder {
 public:
  // Writes the header to `file` at once. `term`: the TERM the program was
  // given, for the header's env ("" leaves it out).
  CastRecorder(UniqueFd file, int rows, int columns, std::string_view term);
  CastRecorder(const CastRecorder&) = delete;
  CastRecorder& operator=(const CastRecorder&) = delete;

  void output(std::string_view bytes);
  void input(std::string_view bytes);
  void resize(int rows, int columns);
  // Writes what is still held of a cut character, and lets the file go.
  void close() noexcept;

 private:
  // One event line of `carry` and then `bytes`; a character cut at the end
  // goes to `cut` (the same string as `carry`), or with none is replaced.
  void event(char code, std::string_view bytes, std::string* cut, std::string& carry);
  void write_line(const std::string& line);

  std::mutex mutex_;
  UniqueFd file_;
  std::chrono::steady_clock::time_point start_;
  std::string output_carry_;
  std::string input_carry_;
};

// `bytes` as the inside of a JSON string: well-formed UTF-8 kept, each
// ill-formed subsequence as U+FFFD, control characters, quote and backslash
// escaped. With `cut`, a character cut by the end is left out and its bytes
// are returned there; without, it is replaced like any ill-formed bytes.
void append_json_text(std::string& out, std::string_view bytes, std::string* cut);

}  // namespace morvik::session
