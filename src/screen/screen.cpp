// The libvterm wrapper. libvterm calls back into State (replies and the
// alternate-screen switch), so State lives on the heap at a fixed address
// for as long as the VTerm does, and the callbacks never throw: a reply that
// cannot be stored is dropped, which a program sees as a terminal that did
// not answer rather than as a crash.

#include "screen/screen.h"

#include <vterm.h>

#include <algorithm>
#include <new>
#include <string>
#include <utility>

#include "screen/feed_guard.h"
#include "text/utf8.h"

namespace morvik::screen {

Size fit_size(int rows, int columns) noexcept {
  const long c = std::clamp<long>(columns, MIN_COLUMNS, MAX_CELLS);
  const long r = std::clamp<long>(rows, 1, MAX_CELLS / c);
  return {static_cast<int>(r), static_cast<int>(c)};
}

struct Screen::State {
  VTerm* vt = nullptr;
  VTermScreen* screen = nullptr;
  bool alternate = false;
  std::string replies;
  VTermScreenCallbacks callbacks{};
  FeedGuard guard;
  std::string guarded;  // the guard's output, reused between feeds

  State(Size size) : guard(size.rows, size.columns) {
    vt = vterm_new(size.rows, size.columns);
    if (vt == nullptr) throw std::bad_alloc();
    vterm_set_utf8(vt, 1);
    vterm_output_set_callback(vt, &State::on_output, this);
    screen = vterm_obtain_screen(vt);
    callbacks.settermprop = &State::on_termprop;
    vterm_screen_set_callbacks(screen, &callbacks, this);
    vterm_screen_enable_altscreen(screen, 1);
    vterm_screen_reset(screen, 1);
  }
  ~State() { vterm_free(vt); }
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  static void on_output(const char* s, size_t len, void* user) {
    try {
      static_cast<State*>(user)->replies.append(s, len);
    } catch (...) {
      // Out of memory inside a C callback: nothing may unwind through C.
    }
  }

  static int on_termprop(VTermProp prop, VTermValue* val, void* user) {
    if (prop == VTERM_PROP_ALTSCREEN) static_cast<State*>(user)->alternate = val->boolean != 0;
    return 1;
  }
};

Screen::Screen(int rows, int columns) : state_(std::make_unique<State>(fit_size(rows, columns))) {}
Screen::~Screen() = default;
Screen::Screen(Screen&&) noexcept = default;
Screen& Screen::operator=(Screen&&) noexcept = default;

void Screen::feed(std::string_view bytes) {
  if (bytes.empty()) return;
  std::string& out = state_->guarded;
  out.clear();
  state_->guard.filter(bytes, out);
  // libvterm keeps the saved cursor as it was across a resize, so a
  // restore after a shrink puts the cursor outside the screen, where the
  // next character would be written. Each restore goes in on its own and
  // the cursor is brought back onto the screen before anything else is read.
  std::size_t from = 0;
  for (const std::size_t end : state_->guard.restores()) {
    vterm_input_write(state_->vt, out.data() + from, end - from);
    from = end;
    keep_cursor_on_screen();
  }
  if (from < out.size()) vterm_input_write(state_->vt, out.data() + from, out.size() - from);
}

// A relative move by exactly the overshoot lands on the nearest cell (and
// libvterm clamps the other coordinate on any move), whatever the origin
// mode and margins restored with it.
void Screen::keep_cursor_on_screen() {
  const Cursor c = cursor();
  const int rows = this->rows();
  const int columns = this->columns();
  std::string move;
  if (c.row >= rows) {
    move = "\x1b[" + std::to_string(c.row - (rows - 1)) + "A";
  } else if (c.column >= columns) {
    move = "\x1b[" + std::to_string(c.column - (columns - 1)) + "D";
  } else {
    return;
  }
  vterm_input_write(state_->vt, move.data(), move.size());
}

std::vector<std::string> Screen::lines() const {
  const int rows = this->rows();
  const int columns = this->columns();
  std::vector<std::string> out(static_cast<std::size_t>(rows));
  VTermScreenCell cell;
  for (int r = 0; r < rows; ++r) {
    std::string& line = out[static_cast<std::size_t>(r)];
    std::size_t kept = 0;  // the length up to the last cell that is not blank
    for (int c = 0; c < columns;) {
      vterm_screen_get_cell(state_->screen, VTermPos{r, c}, &cell);
      if (cell.chars[0] == 0) {
        line.push_back(' ');
      } else {
        for (int k = 0; k < VTERM_MAX_CHARS_PER_CELL && cell.chars[k] != 0; ++k) {
          if (cell.chars[k] <= 0x10FFFF) text::append_utf8(line, cell.chars[k]);
        }
        if (cell.chars[0] != ' ') kept = line.size();
      }
      c += std::max<int>(cell.width, 1);
    }
    line.resize(kept);
  }
  return out;
}

Cursor Screen::cursor() const {
  VTermPos pos;
  vterm_state_get_cursorpos(vterm_obtain_state(state_->vt), &pos);
  return {pos.row, pos.col};
}

bool Screen::alternate() const noexcept { return state_->alternate; }

int Screen::rows() const noexcept {
  int rows = 0;
  int columns = 0;
  vterm_get_size(state_->vt, &rows, &columns);
  return rows;
}

int Screen::columns() const noexcept {
  int rows = 0;
  int columns = 0;
  vterm_get_size(state_->vt, &rows, &columns);
  return columns;
}

void Screen::resize(int rows, int columns) {
  const Size size = fit_size(rows, columns);
  vterm_set_size(state_->vt, size.rows, size.columns);
  state_->guard.resize(size.rows, size.columns);
  // libvterm keeps the scroll region and the left and right margins across
  // a resize: one past the new edges makes its next scroll or alignment
  // pattern move a negative count of cells. A terminal resets both on a
  // resize, and so does this (with mode 69 on for the margins' reset, and
  // back as it was).
  // Shrunk below rows that hold text while the cursor is above them,
  // libvterm also moves the cursor up past the top, where the next
  // character would be written outside the screen. The resets home the
  // cursor; an absolute move then puts it where libvterm left it, or on
  // the screen's nearest cell.
  const Cursor c = cursor();
  std::string fix = state_->guard.left_right_margins() ? "\x1b[r\x1b[s" : "\x1b[r\x1b[?69h\x1b[s\x1b[?69l";
  fix += "\x1b[" + std::to_string(std::clamp(c.row, 0, size.rows - 1) + 1) + ";" +
         std::to_string(std::clamp(c.column, 0, size.columns - 1) + 1) + "H";
  vterm_input_write(state_->vt, fix.data(), fix.size());
}

std::string Screen::take_replies() { return std::exchange(state_->replies, std::string()); }

}  // namespace morvik::screen
