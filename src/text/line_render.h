// The lines a terminal showed, from the raw bytes a program wrote: within a
// line, carriage return, backspace, TAB, the cursor moves along the line,
// erase-in-line and character insert and delete act as a terminal's do, and
// every other escape and control byte is dropped exactly as the cleaner
// drops it (the same grammar, through the same scanner). It is a line model,
// not a screen: LF ends a line and the next one starts at the left margin.
// Given the terminal's width, a line longer than it wraps as on the
// terminal, and the moves and erasures then act on its last row (a shell
// redrawing a long command line returns to that row's start, not the
// line's); the line is still handed out whole, unwrapped.
//
// Text drawn in the DEC special graphics set (ESC ( 0, or ESC ) 0 and SO)
// comes out as the Unicode characters the screen model shows for it: box
// lines, not the letters that select them.
//
// It keeps state between calls (the line being written, an escape cut by
// the end of a read), so one renderer serves one output stream, on one
// thread at a time. It must stay on the cleaner's fast path: plain runs are
// copied in bulk and a byte is looked at once unless an edit brings it back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "text/cleaning.h"
#include "text/terminal_modes.h"

namespace morvik::text {

class LineRenderer {
 public:
  // `columns` 0: no width, nothing wraps.
  explicit LineRenderer(std::size_t columns = 0);

  // The terminal's new width; the line being written keeps its rows.
  void set_columns(std::size_t columns) noexcept { columns_ = columns; }
  LineRenderer(const LineRenderer&) = delete;
  LineRenderer& operator=(const LineRenderer&) = delete;

  // Renders `bytes`. The lines they complete, each ending in LF, join the
  // text that take() hands out. While the alternate screen is in use the
  // bytes draw nothing here (that is the screen model's business); the line
  // that was being written on the main screen is kept for when it returns.
  // Returns how many bytes were rendered: all of them, unless
  // `stop_at_address` and a move to a row of the main screen (CSI H, f or
  // d) came first, in which case it stops just past that move, so the
  // caller can take the lines that came before it and feed the rest.
  std::size_t feed(std::string_view bytes, bool stop_at_address = false);

  // True when the last feed moved the cursor to a row of the main screen
  // (top, watch and `clear` draw so): a line model cannot show that.
  bool moved_to_row() const noexcept { return moved_to_row_; }

  // Hands out the lines completed since the last take, as UTF-8 with each
  // ill-formed subsequence replaced by U+FFFD. With `unfinished`, the line
  // being written follows as it stands (without a character still missing
  // bytes), and is remembered: if the program later rewrites it, the next
  // text begins with the whole line in its new state; if it only adds to
  // it, the next text holds what was added. The view stays valid until the
  // next call of feed or take.
  std::string_view take(bool unfinished = false);

  // How many bytes of completed lines the next take hands out at least.
  std::size_t completed_bytes() const noexcept { return line_start_ - taken_; }

  // True while the alternate screen is in use.
  bool alternate() const noexcept { return modes_.alternate; }

  // True while nothing is written on the line the cursor is on.
  bool line_empty() const noexcept;

 private:
  // One cell of a line being edited. `ch` is the character, BLANK for a
  // cell nothing was drawn in, WIDE_TAIL for the right half of a wide
  // character; `marks` is 1 + the index in marks_ of the combining
  // characters drawn over it (UTF-8), 0 for none.
  struct Cell {
    char32_t ch;
    std::uint32_t marks;
  };

  std::size_t feed_escape(const unsigned char* in, std::size_t i, std::size_t n);
  std::size_t resume_escape(const unsigned char* in, std::size_t n);
  void control_sequence(const unsigned char* body, std::size_t len);
  void edit(unsigned char final_byte, unsigned n);

  void print_run(const unsigned char* p, std::size_t len);
  void print_graphics(const unsigned char* p, std::size_t len);
  void designate(unsigned char set, unsigned char final_byte) noexcept;
  bool graphics() const noexcept { return shifted_ ? g1_graphics_ : g0_graphics_; }
  void append_bytes(const unsigned char* p, std::size_t len);
  void print_cells(const unsigned char* p, std::size_t len);
  void put_cell(char32_t ch, int width);
  void attach_mark(char32_t ch);
  void settle_utf8();
  void carriage_return();
  void backspace();
  void tab();
  void end_line();

  void append_lines(const unsigned char* p, std::size_t len);
  void clear_line();
  void to_cells();
  std::size_t line_columns();
  std::size_t render_cells(std::size_t at);
  void blank_halves(std::size_t from, std::size_t to);
  bool one_row(std::size_t cursor_columns);
  std::size_t row_end() const noexcept;
  std::size_t hand_out_unfinished();

  void compact();
  void reserve(std::size_t more);
  void validate(std::size_t upto);

  // Output: buf_[0, line_start_) holds completed lines not yet handed out,
  // buf_[line_start_, len_) the line being written while it is only
  // appended to. Never zero-filled: only what was written is read.
  std::unique_ptr<char[]> buf_;
  std::size_t cap_ = 0;
  std::size_t len_ = 0;
  std::size_t line_start_ = 0;
  std::size_t validated_ = 0;  // buf_[0, validated_) is well-formed UTF-8
  std::size_t taken_ = 0;      // handed out by the last take

  // The line being written, while it is only appended to: the cursor is at
  // its end plus `pad_` blank cells, or at the left margin after a carriage
  // return (`at_margin_`), the text still there.
  std::size_t pad_ = 0;
  bool at_margin_ = false;
  // Columns of the line up to buf_[line_start_ + counted_bytes_], so that
  // TAB counts each byte once; counted_cols_ < 0 means not known.
  std::size_t counted_bytes_ = 0;
  long counted_cols_ = 0;

  // The line being written, once an edit needs cells.
  bool cells_mode_ = false;
  std::vector<Cell> cells_;
  std::vector<std::string> marks_;
  std::size_t col_ = 0;
  // With a width: where the cursor's row begins in the line, and whether
  // the cursor waits at the last column for the next character to wrap.
  std::size_t row_start_ = 0;
  bool pending_wrap_ = false;
  unsigned char utf8_[4] = {};  // a character's first bytes, waiting for the rest
  std::size_t utf8_len_ = 0;

  // What the last take(true) handed out of the line being written. While
  // `handed_live_`, the line is that text followed by buf_[line_start_,
  // len_); otherwise the line is compared with it when it is handed out.
  std::string handed_;
  bool handed_live_ = false;

  std::size_t columns_;
  grammar::Rest pending_ = grammar::Rest::None;  // an escape cut by the end of a feed
  std::string escape_;  // a cut control sequence's bytes so far, bounded
  bool escape_too_long_ = false;
  unsigned char escape_introducer_ = 0;  // the byte after ESC of an escape cut by the end of a feed
  // The character sets: whether G0 and G1 hold the DEC special graphics,
  // and whether G1 is shifted in (SO).
  bool g0_graphics_ = false;
  bool g1_graphics_ = false;
  bool shifted_ = false;
  std::string graphics_;  // a run of graphics, as Unicode
  TerminalModes modes_;  // of them only the alternate screen matters here
  bool moved_to_row_ = false;
  bool stop_at_address_ = false;
  bool stopped_ = false;
};

}  // namespace morvik::text
