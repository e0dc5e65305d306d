// The screen a terminal shows, kept by libvterm: what full-screen programs
// draw, with the cursor, the alternate screen and the answers a terminal
// gives to queries. One Screen serves one terminal, on one thread at a time.
// This layer must never include Python.h or touch descriptors: it is bytes
// in, lines out.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace morvik::screen {

struct Cursor {
  int row;
  int column;
  bool operator==(const Cursor&) const = default;
};

// The sizes the model handles. libvterm corrupts memory with a wide
// character on a one-column screen, and its memory and time grow with the
// cells; callers refuse sizes outside these, and the model fits any it is
// still given into them.
inline constexpr int MIN_COLUMNS = 2;
inline constexpr long MAX_CELLS = 1000L * 1000L;

struct Size {
  int rows;
  int columns;
  bool operator==(const Size&) const = default;
};

// The size the model takes for the one asked: columns at least MIN_COLUMNS,
// rows at least 1, and no more than MAX_CELLS cells (rows give way first).
Size fit_size(int rows, int columns) noexcept;

class Screen {
 public:
  // Takes fit_size(rows, columns). Throws std::bad_alloc when libvterm
  // cannot allocate.
  Screen(int rows, int columns);
  ~Screen();
  Screen(Screen&&) noexcept;
  Screen& operator=(Screen&&) noexcept;

  // Every byte goes through the model's guard (feed_guard.h) first.
  void feed(std::string_view bytes);

  // Exactly rows() lines of UTF-8, trailing blanks stripped. A wide
  // character takes two cells and appears once; combining characters follow
  // their base.
  std::vector<std::string> lines() const;
  Cursor cursor() const;
  bool alternate() const noexcept;
  int rows() const noexcept;
  int columns() const noexcept;

  // A new size, fitted as the constructor does; the program is told
  // through the terminal, not here.
  void resize(int rows, int columns);

  // What the terminal answered since the last call (cursor position
  // reports, device attributes, mode reports), to be written back to the
  // program in this order.
  std::string take_replies();

 private:
  void keep_cursor_on_screen();

  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace morvik::screen
