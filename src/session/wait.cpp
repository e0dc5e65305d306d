// The two blocking reads: wait for a ready marker (then settle), or wait for
// the output to go quiet. They run with the interpreter lock released, so
// nothing here may touch Python. Every receive blocks in the channel until a
// chunk arrives or its slice ends: no busy polling and no sleeps.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>

#include "text/cleaning.h"
#include "text/utf8.h"
#include "held_tail.h"
#include "session.h"

namespace morvik::session {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

constexpr milliseconds READY_POLL_SLICE_MS{50};
constexpr milliseconds SETTLE_GAP_MS{25};
constexpr milliseconds QUIET_POLL_SLICE_MS{25};
constexpr std::size_t MARKER_WINDOW_BYTES = 8192;

// now + ms, saturating: a caller may ask for any 64-bit number of ms.
Clock::time_point deadline_after(Clock::time_point now, std::uint64_t ms) {
  const auto room = std::chrono::duration_cast<milliseconds>(Clock::time_point::max() - now).count();
  if (ms >= static_cast<std::uint64_t>(room)) return Clock::time_point::max();
  return now + milliseconds(static_cast<milliseconds::rep>(ms));
}

nanoseconds slice_until(Clock::time_point deadline, milliseconds slice) {
  const auto now = Clock::now();
  if (deadline <= now) return nanoseconds::zero();
  return std::min<nanoseconds>(deadline - now, slice);
}

// A marker to look for in the cleaned window, with what a cheap test of the
// raw window needs. Cleaning only drops bytes and inserts U+FFFD, so a marker
// free of U+FFFD can be in the cleaned window only if each of its distinct
// bytes is somewhere in the raw one. That rules out almost every chunk of a
// bulk transfer without cleaning anything, and never rules out a real match.
struct MarkerProbe {
  std::string text;             // the marker as decoded UTF-8
  std::string distinct_bytes;   // empty: no shortcut (empty marker, or one with U+FFFD)
};

MarkerProbe make_probe(std::string_view raw_marker) {
  MarkerProbe p;
  text::append_utf8_with_replacement(raw_marker, p.text);
  if (p.text.find("\xEF\xBF\xBD") != std::string::npos) return p;
  for (char c : p.text) {
    if (p.distinct_bytes.find(c) == std::string::npos) p.distinct_bytes.push_back(c);
  }
  return p;
}

bool may_appear(const MarkerProbe& p, std::string_view raw_window) {
  if (p.distinct_bytes.empty()) return true;
  for (char c : p.distinct_bytes) {
    if (std::memchr(raw_window.data(), c, raw_window.size()) == nullptr) return false;
  }
  return true;
}

bool window_has_marker(const ByteBuffer& collected, const std::vector<MarkerProbe>& markers) {
  const std::size_t n = std::min(collected.size(), MARKER_WINDOW_BYTES);
  const std::string_view raw = collected.view().substr(collected.size() - n);
  bool worth_cleaning = false;
  for (const auto& m : markers) worth_cleaning = worth_cleaning || may_appear(m, raw);
  if (!worth_cleaning) return false;
  const std::string window = text::sanitize_for_agent(raw);
  // A prompt usually ends the window, so test the end before searching.
  for (const auto& probe : markers) {
    const std::string& m = probe.text;
    if (window.size() >= m.size() && window.compare(window.size() - m.size(), m.size(), m) == 0) return true;
    if (window.find(m) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

Inbox::Status Session::receive_capped(ByteBuffer& collected, nanoseconds limit, std::uint64_t cap,
                                      bool& cut, bool* held) {
  Chunk chunk;
  const auto status = inbox_.take_within(chunk, limit);
  if (status == Inbox::Status::Chunk) {
    if (held != nullptr) *held = inbox_.took_held();
    cut = append_capped(inbox_, collected, std::move(chunk), cap);
  }
  return status;
}

bool Session::should_wait_for_markers() const noexcept { return interactive_ && !ready_markers_.empty(); }

ByteBuffer Session::read_until_ready(const WaitArgs& args) {
  // A forked copy's session is closed: its channel is the original's.
  if (in_other_process()) return {};
  const std::uint64_t timeout_ms = args.timeout_ms.value_or(DEFAULT_TIMEOUT_MS);
  const std::uint64_t max_output_bytes = args.max_output_bytes.value_or(DEFAULT_MAX_OUTPUT_BYTES);
  const std::uint64_t settle_ms = args.settle_ms.value_or(DEFAULT_SETTLE_MS);
  const std::uint64_t quiet_ms = args.quiet_ms.value_or(DEFAULT_QUIET_MS);
  return should_wait_for_markers() ? read_until_ready_inner(timeout_ms, max_output_bytes, settle_ms)
                                   : read_until_quiet_inner(timeout_ms, quiet_ms, max_output_bytes);
}

ByteBuffer Session::read_until_ready_inner(std::uint64_t timeout_ms, std::uint64_t max_output_bytes,
                                           std::uint64_t settle_ms) {
  const auto deadline = deadline_after(Clock::now(), timeout_ms);
  std::vector<MarkerProbe> markers;
  markers.reserve(ready_markers_.size());
  // Compared with cleaned text, so each marker is taken as decoded UTF-8.
  for (const auto& m : ready_markers_) markers.push_back(make_probe(m));

  ByteBuffer collected;
  bool seen = false;
  bool cut = false;
  if (max_output_bytes != 0) {
    while (Clock::now() < deadline) {
      const auto status =
          receive_capped(collected, slice_until(deadline, READY_POLL_SLICE_MS), max_output_bytes, cut);
      if (status == Inbox::Status::Disconnected) break;
      if (status != Inbox::Status::Chunk) continue;
      if (!markers.empty() && window_has_marker(collected, markers)) {
        seen = true;
        break;
      }
      if (collected.size() >= max_output_bytes) break;
    }
  }

  if (seen && !cut && collected.size() < max_output_bytes) {
    const auto settle_deadline = deadline_after(Clock::now(), settle_ms);
    while (Clock::now() < settle_deadline) {
      const auto status = receive_capped(collected, SETTLE_GAP_MS, max_output_bytes, cut);
      if (status != Inbox::Status::Chunk) break;
      if (collected.size() >= max_output_bytes) break;
    }
  }

  finish_read(collected, max_output_bytes);
  return collected;
}

ByteBuffer Session::read_until_quiet_inner(std::uint64_t timeout_ms, std::uint64_t quiet_ms,
                                           std::uint64_t max_output_bytes) {
  const auto deadline = deadline_after(Clock::now(), timeout_ms);
  ByteBuffer collected;
  bool received = false;
  Clock::time_point last_chunk{};
  if (max_output_bytes != 0) {
    for (;;) {
      const auto now = Clock::now();
      if (now >= deadline) break;
      if (received && now >= deadline_after(last_chunk, quiet_ms)) break;
      bool cut = false;
      bool held = false;
      const auto status =
          receive_capped(collected, slice_until(deadline, QUIET_POLL_SLICE_MS), max_output_bytes, cut, &held);
      if (status == Inbox::Status::Disconnected) break;
      if (status != Inbox::Status::Chunk) continue;
      // What an earlier read held back is old output: only the child's new
      // output starts the silence that ends the wait.
      if (!held) {
        last_chunk = Clock::now();
        received = true;
      }
      if (collected.size() >= max_output_bytes) break;
    }
  }
  finish_read(collected, max_output_bytes);
  return collected;
}

}  // namespace morvik::session
