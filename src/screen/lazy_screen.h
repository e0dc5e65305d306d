// The screen model kept off the text's hot path. libvterm reads a coloured
// log at about 10 MB/s, a hundred times slower than the text is rendered, so
// the terminal's bytes are only kept here, with one cheap scan, and fed to
// the model when someone looks at the screen. The scan finds the places
// where earlier bytes stop mattering, and the model starts afresh there:
//
// - a full reset (ESC c);
// - a full clear next to an absolute cursor move (CSI H with CSI 2J, in
//   either order, or CSI H then CSI J from the home position);
// - a CR LF in a main-screen tail of line-local output (text, CR, LF, BS,
//   TAB, colours, erase in line, moves along the line) with the cursor on
//   the bottom row before it and at least rows - 1 rows moved down after it
//   (LFs and wraps): every earlier row has scrolled away, and a new model
//   fed from there never scrolls, so a flood costs the same per byte on a
//   tall screen as on a small one.
//
// Each only while the modes that persist and change where text lands are at
// their defaults (scroll region, auto-wrap, insert, origin, character sets,
// tab stops, line feed mode) and the main screen is in use; the scan
// follows those modes through the whole stream. A saved cursor outlives
// every restart, so a save is read off the model when it happens and given
// to each new model.
// Queries (cursor position, device attributes, mode reports) are answered at
// once, by feeding the model up to them, since a program waits for the
// answer; the default colours, which libvterm does not answer, here. At
// most `max_held` bytes, or two a cell if more, wait unfed: past that the
// model is fed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "screen/screen.h"
#include "text/cleaning.h"
#include "text/terminal_modes.h"

namespace morvik::screen {

class LazyScreen {
 public:
  static constexpr std::size_t DEFAULT_MAX_HELD = std::size_t{1} << 20;

  LazyScreen(int rows, int columns, std::size_t max_held = DEFAULT_MAX_HELD);

  // Takes bytes the terminal received, in order.
  void append(std::string_view bytes);

  // The model, fed with everything appended (an escape cut by the end of
  // the bytes so far waits for its end, as on a terminal).
  const Screen& screen();

  // The terminal's answers to the queries appended so far, in order.
  std::string take_replies();

  void resize(int rows, int columns);

  // Whether the alternate screen is in use, from the scan alone.
  bool alternate() const noexcept { return modes_.alternate; }
  // The terminal's modes as the scan has followed them so far.
  text::TerminalModes modes() const noexcept { return modes_; }
  // Bytes kept and not yet fed.
  std::size_t held_bytes() const noexcept { return held_.size(); }
  // How often the model has started afresh.
  std::uint64_t restarts() const noexcept { return restarts_; }
  // Bytes fed to the model so far: the work the model did.
  std::uint64_t fed_bytes() const noexcept { return fed_bytes_; }

 private:
  enum class Adjacent : std::uint8_t { None, CursorMove, HomeCursorMove, FullClear };

  void scan();
  std::size_t continue_cut(std::size_t i, std::size_t n);
  void escape(const unsigned char* p, std::size_t len, std::uint64_t start, std::uint64_t end);
  void answer_colour_query(const unsigned char* p, std::size_t len, std::uint64_t end);
  void control_sequence(const unsigned char* body, std::size_t len, std::uint64_t start, std::uint64_t end);
  void set_mode(bool private_mode, unsigned mode, bool on, std::uint64_t end);
  void save_cursor(std::uint64_t end);
  bool modes_clean() const noexcept;
  void line_feed_after_return(std::uint64_t at);
  void plain_run(const unsigned char* p, std::size_t len) noexcept;
  void end_cells() noexcept;
  std::size_t held_bound() const noexcept;
  void break_tail();
  void restart_from(std::uint64_t at);
  void feed_to(std::size_t upto);
  void drop_fed();
  void answer_upto(std::uint64_t end);
  bool clean() const noexcept;

  int rows_;
  int columns_;
  std::size_t max_held_;
  // Made when first fed or looked at: libvterm's grid is most of a
  // terminal's memory, and most terminals never show their screen.
  std::optional<Screen> model_;
  std::string replies_;

  // held_[0, scanned_) has been scanned; held_ starts at stream offset
  // base_. The model has read everything before held_[start_], unless
  // `fresh_`: then it is to be replaced by a new one fed from held_[start_].
  std::string held_;
  std::uint64_t base_ = 0;
  std::size_t scanned_ = 0;
  std::size_t start_ = 0;
  bool fresh_ = false;
  std::uint64_t restarts_ = 0;
  std::uint64_t fed_bytes_ = 0;

  // An escape cut at the end of the bytes scanned, continued by the next:
  // its kind, its first bytes and where it began.
  text::grammar::Rest cut_ = text::grammar::Rest::None;
  std::string cut_bytes_;
  std::uint64_t cut_start_ = 0;
  bool return_at_end_ = false;  // the last byte scanned was a CR

  // The modes that persist, and the other settings that do.
  text::TerminalModes modes_;
  bool scroll_region_ = false;
  bool g0_special_ = false;
  bool shifted_ = false;
  bool sticky_ = false;  // tab stops, column mode, a mode not known to be harmless: until ESC c
  // The saved cursor, which no reset clears: where it points, and whether
  // it was saved with modes that a new model would not have.
  Cursor slot_{0, 0};
  bool slot_set_ = false;
  bool slot_dirty_ = false;

  // Where each CR LF of the current line-local tail ends, and how many rows
  // the cursor had moved down in the tail by then (counted from below).
  struct LineEnd {
    std::uint64_t at;
    std::uint64_t advances;
  };
  std::deque<LineEnd> tail_;
  std::uint64_t advances_ = 0;
  std::uint64_t cells_ = 0;  // printable ASCII written since the column last went back
  bool keeps_column_ = false;  // the escape just read left the column where it was
  Adjacent adjacent_ = Adjacent::None;
  std::uint64_t adjacent_at_ = 0;
};

}  // namespace morvik::screen
