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

class Screen {
 public:
  // Sizes below 1 count as 1. Throws std::bad_alloc when libvterm cannot
  // allocate.
  Screen(int rows, int columns);
  ~Screen();
  Screen(Screen&&) noexcept;
  Screen& operator=(Screen&&) noexcept;

  void feed(std::string_view bytes);

  // Exactly rows() lines of UTF-8, trailing blanks stripped. A wide
  // character takes two cells and appears once; combining characters follow
  // their base.
  std::vector<std::string> lines() const;
  Cursor cursor() const;
  bool alternate() const noexcept;
  int rows() const noexcept;
  int columns() const noexcept;

  // A new size; the program is told through the terminal, not here.
  void resize(int rows, int columns);

  // What the terminal answered since the last call (cursor position
  // reports, device attributes, mode reports), to be written back to the
  // program in this order.
  std::string take_replies();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace morvik::screen
