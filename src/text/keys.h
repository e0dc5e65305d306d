// What a terminal sends for a key, and the pieces of the program's state
// that change what it sends: the cursor-key mode (DECCKM), which a program
// sets with ESC [ ? 1 h and clears with ESC [ ? 1 l, and bracketed paste
// (ESC [ ? 2004 h), which asks for pasted text between ESC [ 200 ~ and
// ESC [ 201 ~. Pure: the tracker is a value its
// owner keeps and feeds; nothing here locks, blocks or remembers.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace morvik::text {

// The bytes of one key: a name (Enter, Tab, Escape, Backspace, Up, Down,
// Left, Right, Home, End, PageUp, PageDown, Insert, Delete, Space, S-Tab,
// F1 to F12), `C-x` for a control character, `M-` before any key for meta
// (ESC first). nullopt when `spec` names no key: the caller sends it as text.
// In application mode the cursor keys (and Home, End) send ESC O instead of
// ESC [, as a terminal does.
std::optional<std::string> encode_key(std::string_view spec, bool application_cursor);

// Follows the cursor-key mode through the output, chunk by chunk: a
// sequence cut between two chunks is kept (at most a few bytes) until the
// next one completes it. A full reset (ESC c) and a soft reset (CSI ! p)
// clear the mode. Bracketed paste is followed alongside (only a full reset
// clears it).
class CursorKeyMode {
 public:
  void feed(std::string_view output);
  bool application() const noexcept { return application_; }
  bool bracketed_paste() const noexcept { return bracketed_paste_; }

 private:
  // Returns how many bytes of `s` (which starts at an ESC) the sequence
  // takes, or 0 when `s` ends before the sequence does.
  std::size_t apply(std::string_view s);

  bool application_ = false;
  bool bracketed_paste_ = false;
  std::string partial_;
};

}  // namespace morvik::text
