// Whether a ready marker shows in the cleaned tail of a wait's output, asked
// after every chunk. The answer is the exact one (the last
// MARKER_WINDOW_BYTES raw bytes cleaned, each marker searched as a
// substring); what this owns is not paying for it per chunk: a test of the
// raw bytes, each judged once, rules out the windows that cannot hold a
// marker (see marker_watch.cpp for why it never rules out a real one).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "base/byte_buffer.h"

namespace morvik::session {

// How many raw bytes at the end of the collected output are cleaned and
// searched for markers.
inline constexpr std::size_t MARKER_WINDOW_BYTES = 8192;

class MarkerWatch {
 public:
  // `markers`: each marker's UTF-8 bytes, in the order they are tried.
  explicit MarkerWatch(const std::vector<std::string>& markers);

  bool empty() const noexcept { return probes_.empty(); }

  // Whether a marker shows in the cleaned last MARKER_WINDOW_BYTES of
  // `collected`. One watch follows one wait's output, which only grows
  // between calls.
  bool seen(const ByteBuffer& collected);

 private:
  struct Probe {
    std::string text;                // the marker as decoded UTF-8
    std::vector<std::size_t> border;  // border[j]: the longest proper border of text[0, j)
    std::size_t next = 0;            // the first byte not read yet
    std::size_t matched = 0;         // how much of text ends the bytes read
  };
  void judge_new_starts(Probe& p, std::string_view all);

  std::vector<Probe> probes_;
  bool always_clean_ = false;
  std::optional<std::size_t> last_candidate_;  // the latest candidate start of any marker
};

}  // namespace morvik::session
