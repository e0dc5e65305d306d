// The scan behind LazyScreen. It must stay a single cheap forward pass: the
// plain runs are skipped by the cleaner's scanner, only escapes and the few
// control bytes are looked at, and no byte is fed to libvterm until someone
// asks for the screen, a query needs its answer, or more than the bound is
// held. Every restart it allows must leave the screen, the cursor and the
// alternate-screen flag exactly as feeding everything would; where it cannot
// tell, it does not restart.

#include "screen/lazy_screen.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "text/cleaning.h"

namespace morvik::screen {
namespace {

namespace grammar = morvik::text::grammar;
using u8 = unsigned char;

using grammar::CR;
using grammar::ESC;
using grammar::LF;
using grammar::SI;
using grammar::SO;

// Held bytes before a restart point are dropped once they are this many and
// at least half of what is held, so that dropping costs O(1) a byte.
constexpr std::size_t DROP_AFTER = 64 * 1024;

// The start of an escape cut by the end of the bytes, kept to classify it
// when it ends; longer ones are garbage, classified as unknown (and read
// for no mode, as the scan without a model reads them).
constexpr std::size_t MAX_CUT_ESCAPE = text::MAX_CUT_ESCAPE_BYTES;

constexpr unsigned MAX_PARAMETER = 65535;

// Bytes held unfed for each cell of the screen, at least: room for a
// screenful of a flood and the lines it keeps for a restart.
constexpr std::size_t HELD_PER_CELL = 2;

// The colours a query of the defaults is told: light grey on black.
constexpr char FOREGROUND[] = "rgb:e5e5/e5e5/e5e5";
constexpr char BACKGROUND[] = "rgb:0000/0000/0000";

}  // namespace

LazyScreen::LazyScreen(int rows, int columns, std::size_t max_held)
    : rows_(fit_size(rows, columns).rows),
      columns_(fit_size(rows, columns).columns),
      max_held_(max_held) {}

// A screenful of a flood must fit in what is held, or the model is fed it
// before the scan can start afresh past it.
std::size_t LazyScreen::held_bound() const noexcept {
  return std::max(max_held_, HELD_PER_CELL * static_cast<std::size_t>(rows_) * static_cast<std::size_t>(columns_));
}

void LazyScreen::append(std::string_view bytes) {
  held_.append(bytes);
  scan();
  if (scanned_ - start_ > held_bound()) feed_to(scanned_);
  if (start_ == held_.size() || (start_ >= DROP_AFTER && 2 * start_ >= held_.size())) drop_fed();
}

const Screen& LazyScreen::screen() {
  feed_to(scanned_);
  drop_fed();
  return *model_;
}

std::string LazyScreen::take_replies() {
  std::string out = std::move(replies_);
  replies_.clear();
  return out;
}

void LazyScreen::resize(int rows, int columns) {
  // What came before is laid out at the old size: the model takes it now,
  // and no restart may reach back over the change. With nothing fed yet
  // and nothing to feed, the model made later at the new size is the same
  // blank screen.
  if (model_ || scanned_ > start_) feed_to(scanned_);
  drop_fed();
  const Size size = fit_size(rows, columns);
  rows_ = size.rows;
  columns_ = size.columns;
  if (model_) model_->resize(rows_, columns_);
  // Where a saved cursor outside the new size ends up is libvterm's affair.
  if (slot_set_ && (slot_.row >= rows_ || slot_.column >= columns_)) slot_dirty_ = true;
  break_tail();
}

// Feeds held_[start_, upto) to the model (a new one if a restart is due,
// or the first one). Leaves held_ as it is, so that the scan may call it
// between two bytes.
void LazyScreen::feed_to(std::size_t upto) {
  if (fresh_ || !model_) {
    if (model_) replies_ += model_->take_replies();
    if (fresh_) ++restarts_;
    // The old model goes before the new one is made: never two at once.
    model_.reset();
    fresh_ = false;
    model_.emplace(rows_, columns_);
    if (slot_set_) {
      const std::string seed = "\x1b[" + std::to_string(slot_.row + 1) + ";" + std::to_string(slot_.column + 1) + "H\x1b" "7\x1b[H";
      model_->feed(seed);
    }
  }
  model_->feed(std::string_view(held_).substr(start_, upto - start_));
  fed_bytes_ += upto - start_;
  replies_ += model_->take_replies();
  start_ = upto;
}

// Drops what the model has taken, or what a due restart makes useless.
void LazyScreen::drop_fed() {
  held_.erase(0, start_);
  base_ += start_;
  scanned_ -= start_;
  start_ = 0;
}

// A query: the program waits for the answer, so the model reads up to it now.
void LazyScreen::answer_upto(std::uint64_t end) { feed_to(static_cast<std::size_t>(end - base_)); }

bool LazyScreen::modes_clean() const noexcept {
  return !scroll_region_ && modes_.autowrap && !modes_.insert && !modes_.origin && !modes_.margins &&
         !modes_.reverse_wrap && !modes_.newline && !g0_special_ && !shifted_ && !sticky_;
}

bool LazyScreen::clean() const noexcept { return modes_clean() && !modes_.alternate && !slot_dirty_; }

// A cursor save (ESC 7, or entering the alternate screen with 1049). The
// saved cursor outlives every restart point, even a full reset, so where it
// points is read off the model now and handed to every new model.
void LazyScreen::save_cursor(std::uint64_t end) {
  answer_upto(end);
  const Cursor c = model_->cursor();
  slot_ = c;
  slot_set_ = true;
  slot_dirty_ = !modes_clean();  // a save also keeps character sets and origin mode
}

void LazyScreen::restart_from(std::uint64_t at) {
  if (!clean() || at < base_ + start_ || (fresh_ && at == base_ + start_)) return;
  start_ = static_cast<std::size_t>(at - base_);
  fresh_ = true;
}

void LazyScreen::break_tail() {
  tail_.clear();
  advances_ = 0;
  cells_ = 0;
  adjacent_ = Adjacent::None;
}

// The run of cells written since the column last went back ends: it wrapped
// at least (cells - 1) / columns times, from whatever column it began at.
void LazyScreen::end_cells() noexcept {
  if (cells_ > 0) advances_ += (cells_ - 1) / static_cast<std::uint64_t>(columns_);
  cells_ = 0;
}

// A plain run: its printable ASCII bytes are cells written (other
// characters count none, which keeps the count a lower bound), and each LF
// moves a row down.
void LazyScreen::plain_run(const u8* p, std::size_t len) noexcept {
  std::uint64_t cells = 0;
  std::uint64_t feeds = 0;
  for (std::size_t k = 0; k < len; ++k) {
    cells += static_cast<std::uint64_t>(p[k] >= 0x20 && p[k] < 0x7F);
    feeds += static_cast<std::uint64_t>(p[k] == LF);
  }
  cells_ += cells;
  advances_ += feeds;
}

// A CR LF ends a line at column 0: the one place where a new model, at its
// home position, can take over. It may at the latest such place P where
// - the cursor was on the bottom row before P's LF (at least rows - 1 rows
//   moved down since the tail began), so that LF scrolled a blank row in;
// - at least rows - 1 rows down follow P, so every row above P's has
//   scrolled away.
// Then the screen is P's row and the rows after it in both models, and the
// new one reaches the bottom row without scrolling once: its cost does not
// grow with the rows. The rows moved down are counted from below (wraps
// from printable ASCII only), so a restart is never allowed too early.
void LazyScreen::line_feed_after_return(std::uint64_t at) {
  adjacent_ = Adjacent::None;
  if (!clean()) {
    tail_.clear();
    advances_ = 0;
    cells_ = 0;
    return;
  }
  end_cells();
  ++advances_;
  tail_.push_back({at, advances_});
  const std::uint64_t after = static_cast<std::uint64_t>(rows_) - 1;
  while (tail_.size() > 1 && advances_ - tail_[1].advances >= after) tail_.pop_front();
  const LineEnd& p = tail_.front();
  if (p.advances >= static_cast<std::uint64_t>(rows_) && advances_ - p.advances >= after) restart_from(p.at);
}

void LazyScreen::scan() {
  const auto* in = reinterpret_cast<const u8*>(held_.data());
  const std::size_t n = held_.size();
  std::size_t i = scanned_;
  if (i < n && cut_ != grammar::Rest::None) i = continue_cut(i, n);
  if (i < n && return_at_end_) {
    return_at_end_ = false;
    if (in[i] == LF) {
      line_feed_after_return(base_ + i + 1);
      ++i;
    }
  }
  while (i < n) {
    const std::size_t j = grammar::plain_run_end(in, i, n, /*tab_ends=*/false);
    if (j > i) {
      adjacent_ = Adjacent::None;
      plain_run(in + i, j - i);
      i = j;
      if (i == n) break;
    }
    if (in[i] != ESC) end_cells();  // CR, BS and the other controls may move the column back
    switch (in[i]) {
      case ESC: {
        // An ESC right after an ESC starts the escape anew in libvterm;
        // the cleaner's grammar would take the two as one escape and show
        // what follows as text (a mode switch would go unseen).
        if (n - i > 1 && in[i + 1] == ESC) {
          adjacent_ = Adjacent::None;
          end_cells();
          ++i;
          break;
        }
        const grammar::Extent x = grammar::escape_extent(in, i, n);
        // libvterm gives up a control sequence at an ESC inside it and
        // reads a new escape from there; the cleaner's grammar would not.
        if (n - i > 2 && in[i + 1] == '[') {
          if (const void* e = std::memchr(in + i + 2, ESC, x.end - i - 2)) {
            adjacent_ = Adjacent::None;
            end_cells();
            i = static_cast<std::size_t>(static_cast<const u8*>(e) - in);
            break;
          }
        }
        if (!x.complete) {
          cut_ = n - i == 1 ? grammar::Rest::Introducer : grammar::rest_after(in[i + 1]);
          cut_bytes_.assign(held_, i, std::min(n - i, MAX_CUT_ESCAPE + 1));
          cut_start_ = base_ + i;
          i = n;
          break;
        }
        keeps_column_ = false;
        escape(in + i, x.end - i, base_ + i, base_ + x.end);
        if (!keeps_column_) end_cells();
        i = x.end;
        break;
      }
      case CR:
        if (i + 1 == n) {
          return_at_end_ = true;
          ++i;
        } else if (in[i + 1] == LF) {
          line_feed_after_return(base_ + i + 2);
          i += 2;
        } else {
          adjacent_ = Adjacent::None;
          ++i;
        }
        break;
      case SO:
      case SI:
        shifted_ = in[i] == SO;
        break_tail();
        ++i;
        break;
      default:  // BS, BEL and the rest: at most a move along the line
        adjacent_ = Adjacent::None;
        ++i;
        break;
    }
  }
  scanned_ = n;
}

// Goes on with the escape cut at the end of the last bytes, from in[i].
std::size_t LazyScreen::continue_cut(std::size_t i, std::size_t n) {
  const auto* in = reinterpret_cast<const u8*>(held_.data());
  if (cut_ == grammar::Rest::Introducer) {
    const u8 introducer = in[i];
    if (introducer == ESC) {  // the cut ESC is given up, as above
      cut_ = grammar::Rest::None;
      adjacent_ = Adjacent::None;
      end_cells();
      return i;
    }
    cut_bytes_.push_back(static_cast<char>(introducer));
    cut_ = grammar::rest_after(introducer);
    if (cut_ == grammar::Rest::None) {  // a two-byte escape
      end_cells();
      escape(reinterpret_cast<const u8*>(cut_bytes_.data()), 2, cut_start_, base_ + i + 1);
      return i + 1;
    }
    ++i;
  }
  const grammar::Extent x = grammar::rest_extent(cut_, in, i, n);
  if (cut_ == grammar::Rest::ControlSequence) {
    if (const void* e = std::memchr(in + i, ESC, x.end - i)) {  // given up there, as above
      cut_ = grammar::Rest::None;
      adjacent_ = Adjacent::None;
      return static_cast<std::size_t>(static_cast<const u8*>(e) - in);
    }
  }
  if (cut_bytes_.size() <= MAX_CUT_ESCAPE) cut_bytes_.append(held_, i, std::min(x.end - i, MAX_CUT_ESCAPE + 1));
  if (!x.complete) return n;
  cut_ = grammar::Rest::None;
  end_cells();
  if (cut_bytes_.size() > MAX_CUT_ESCAPE) {
    break_tail();  // too long to be anything a program means
  } else {
    escape(reinterpret_cast<const u8*>(cut_bytes_.data()), cut_bytes_.size(), cut_start_, base_ + x.end);
  }
  return x.end;
}

// OSC 10 ; ? and OSC 11 ; ?: the default foreground and background
// colours, which libvterm does not answer. Programs ask them to pick their
// colours, and vim waits for the answers before it exits.
void LazyScreen::answer_colour_query(const u8* p, std::size_t len, std::uint64_t end) {
  std::string_view body(reinterpret_cast<const char*>(p) + 2, len - 2);
  std::string_view terminator = "\x1b\\";
  if (body.ends_with("\x07")) {
    body.remove_suffix(1);
    terminator = "\x07";
  } else if (body.ends_with("\x1b\\")) {
    body.remove_suffix(2);
  } else {
    return;
  }
  const char* colour = body == "10;?" ? FOREGROUND : body == "11;?" ? BACKGROUND : nullptr;
  if (colour == nullptr) return;
  // The answers the model gave up to here come first.
  answer_upto(end);
  replies_ += "\x1b]";
  replies_ += body.substr(0, 3);
  replies_ += colour;
  replies_ += terminator;
}

// One whole escape, p[0] == ESC, at stream offsets [start, end).
void LazyScreen::escape(const u8* p, std::size_t len, std::uint64_t start, std::uint64_t end) {
  if (len < 2) return;
  const u8 introducer = p[1];
  switch (introducer) {
    case '[':
      control_sequence(p + 2, len - 2, start, end);
      return;
    case ']':
      answer_colour_query(p, len, end);
      adjacent_ = Adjacent::None;
      return;
    case '^':
    case '_':
    case '\\':  // window titles, hyperlinks, string terminators: nothing on the screen
    case '=':
    case '>':  // keypad modes
      adjacent_ = Adjacent::None;
      return;
    case 'P':
      if (len >= 4 && p[2] == '$' && p[3] == 'q') answer_upto(end);  // a setting asked for
      adjacent_ = Adjacent::None;
      return;
    case 'c':  // full reset: libvterm keeps the alternate screen and the saved cursor
      text::full_reset(modes_);
      scroll_region_ = g0_special_ = shifted_ = sticky_ = false;
      break_tail();
      restart_from(end);
      return;
    case '7':
      break_tail();
      save_cursor(end);
      return;
    case 'H':  // a tab stop set
      sticky_ = true;
      break_tail();
      return;
    case 'n':
    case 'o':  // G2 or G3 shifted in
      shifted_ = true;
      break_tail();
      return;
    case '(':
      if (len == 3) g0_special_ = p[2] != 'B';
      break_tail();
      return;
    case ')':
    case '*':
    case '+':
    case ' ':
    case '#':
      // An escape with intermediates that a control byte cut short: libvterm
      // carries the control byte out and goes on with the escape.
      if (p[len - 1] < 0x30) sticky_ = true;
      break_tail();
      return;
    case '%':  // character encoding: UTF-8 stays
      adjacent_ = Adjacent::None;
      return;
    default:  // index, reverse index, next line, single shifts, other sets, alignment test
      break_tail();
      return;
  }
}

// `body` is what follows ESC [, up to and including the final byte.
void LazyScreen::control_sequence(const u8* body, std::size_t len, std::uint64_t start, std::uint64_t end) {
  const u8 final_byte = body[len - 1];
  if (final_byte < 0x40 || final_byte > 0x7E) {  // cut short by CAN or SUB
    adjacent_ = Adjacent::None;
    return;
  }
  u8 marker = 0;
  std::size_t k = 0;
  if (len > 1 && body[0] >= 0x3C && body[0] <= 0x3F) marker = body[k++];
  unsigned params[16] = {};
  std::size_t count = 0;
  unsigned value = 0;
  bool intermediate = false;
  bool dollar = false;
  bool bang = false;
  for (; k + 1 < len; ++k) {
    const u8 c = body[k];
    if (c < 0x20) {
      // libvterm carries out a control byte met inside a sequence and goes
      // on with the sequence.
      if (c == SO || c == SI) shifted_ = c == SO;
      break_tail();
      continue;
    }
    if (c >= 0x80) {
      sticky_ = true;  // read differently by libvterm and the cleaner's grammar: no restart can be trusted
      break_tail();
      return;
    }
    if (c >= '0' && c <= '9') {
      value = std::min(value * 10 + (c - '0'), MAX_PARAMETER);
    } else if (c == ';' || c == ':') {
      if (count < 16) params[count++] = value;
      value = 0;
    } else if (c >= 0x20 && c <= 0x2F) {
      intermediate = true;
      dollar = dollar || c == '$';
      bang = bang || c == '!';
    } else {
      intermediate = true;  // a stray byte: unknown
    }
  }
  if (count < 16) params[count++] = value;

  if (final_byte == 'n' || final_byte == 'c' || (dollar && final_byte == 'p')) {
    answer_upto(end);
    adjacent_ = Adjacent::None;
    return;
  }
  if (intermediate) {  // cursor style, soft reset and the like: not followed here but for the keys
    if (final_byte == 'p' && bang && marker == 0) text::soft_reset(modes_);
    break_tail();
    return;
  }
  if (marker == '?') {
    if (final_byte == 'h' || final_byte == 'l') {
      for (std::size_t p = 0; p < count; ++p) set_mode(true, params[p], final_byte == 'h', end);
    } else {
      break_tail();  // selective erase and the like
    }
    return;
  }
  if (marker != 0) {  // keyboard settings and queries of other terminals
    if (final_byte != 'm') adjacent_ = Adjacent::None;
    return;
  }
  switch (final_byte) {
    case 'm':  // colours: between a cursor move and a clear, still adjacent
      keeps_column_ = true;
      return;
    case 'K':
    case 'X':
    case '@':
    case 'P':
    case 'C':
    case 'D':
    case 'G':
    case '`':
    case 'a':  // erase in line and moves along it
      adjacent_ = Adjacent::None;
      return;
    case 'h':
    case 'l':
      for (std::size_t p = 0; p < count; ++p) set_mode(false, params[p], final_byte == 'h', end);
      return;
    case 'H':
    case 'f': {
      if (adjacent_ == Adjacent::FullClear) restart_from(adjacent_at_);
      const bool home = (count < 1 || params[0] <= 1) && (count < 2 || params[1] <= 1);
      break_tail();
      adjacent_ = home ? Adjacent::HomeCursorMove : Adjacent::CursorMove;
      adjacent_at_ = start;
      return;
    }
    case 'J': {
      const bool move_before = adjacent_ == Adjacent::CursorMove || adjacent_ == Adjacent::HomeCursorMove;
      if ((params[0] == 2 && move_before) || (params[0] == 0 && adjacent_ == Adjacent::HomeCursorMove)) {
        restart_from(adjacent_at_);
      }
      break_tail();
      if (params[0] == 2) {
        adjacent_ = Adjacent::FullClear;
        adjacent_at_ = start;
      }
      return;
    }
    case 'r':
      scroll_region_ = !(params[0] <= 1 && (count < 2 || params[1] == 0 || params[1] >= static_cast<unsigned>(rows_)));
      break_tail();
      return;
    case 's':
      if (modes_.margins) sticky_ = true;  // left and right margins; libvterm saves no cursor here
      break_tail();
      return;
    case 'g':  // tab stops cleared
      sticky_ = true;
      break_tail();
      return;
    default:  // cursor moves up and down, scrolling, line insert and delete, ...
      break_tail();
      return;
  }
}

void LazyScreen::set_mode(bool private_mode, unsigned mode, bool on, std::uint64_t end) {
  const text::ModeChange change = text::set_mode(modes_, private_mode, mode, on);
  switch (change.reach) {
    case text::ModeChange::Reach::Elsewhere:
      adjacent_ = Adjacent::None;
      return;
    case text::ModeChange::Reach::Unknown:
      sticky_ = true;
      break;
    case text::ModeChange::Reach::Screen:
      // libvterm saves the cursor again on entering the alternate screen
      // when it is there already.
      if (change.saves_cursor) {
        break_tail();
        save_cursor(end);
      }
      break;
  }
  break_tail();
}

}  // namespace morvik::screen
