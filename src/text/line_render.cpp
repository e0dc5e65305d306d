// The line renderer. A line lives in one of two forms: while the program
// only appends to it, as the bytes themselves in the output buffer, copied
// in bulk by the cleaner's scanner; once an edit needs to know what lies in
// which column (a carriage return followed by text, a backspace, a move
// left), as cells, until the line ends. Everything here must keep the
// first form cheap: no byte of plain output may be looked at twice unless
// an edit calls it back, and nothing may be zero-filled or copied per line.
//
// Escapes are found by the cleaner's own grammar (cleaning.h, grammar.h), so
// that the text here and the cleaned text agree about what is an escape.

#include "text/line_render.h"

#include <algorithm>
#include <cstring>

#include "text/char_width.h"
#include "text/cleaning.h"
#include "text/grammar.h"
#include "text/utf8.h"

namespace morvik::text {
namespace {

using grammar::BS;
using grammar::SI;
using grammar::SO;

constexpr char32_t BLANK = 0;
constexpr char32_t WIDE_TAIL = 0xFFFFFFFF;
constexpr char32_t REPLACEMENT = 0xFFFD;
constexpr std::size_t TAB_STOP = 8;

// The DEC special graphics set for the bytes 0x60 to 0x7E, as the screen
// model shows it.
constexpr char32_t DEC_GRAPHICS[] = {
    0x25C6, 0x2592, 0x2409, 0x240C, 0x240D, 0x240A, 0x00B0, 0x00B1, 0x2424, 0x240B, 0x2518,
    0x2510, 0x250C, 0x2514, 0x253C, 0x23BA, 0x23BB, 0x2500, 0x23BC, 0x23BD, 0x251C, 0x2524,
    0x2534, 0x252C, 0x2502, 0x2A7D, 0x2A7E, 0x03C0, 0x2260, 0x00A3, 0x00B7,
};
static_assert(sizeof DEC_GRAPHICS / sizeof DEC_GRAPHICS[0] == 0x7F - 0x60);

// The bulk copy works through the input in slices this long, so that the
// UTF-8 check of what it copied reads it from the cache, not from memory.
constexpr std::size_t SLICE = 64 * 1024;
constexpr std::size_t VALIDATE_AFTER = 32 * 1024;

// A control sequence longer than this is garbage no program sends on
// purpose: it is still dropped whole, but not acted on.
constexpr std::size_t MAX_CONTROL_SEQUENCE = 64;

constexpr std::size_t MAX_PARAMETERS = 16;
constexpr unsigned MAX_PARAMETER = 65535;

char32_t decode(const u8* p, std::size_t len) {
  static constexpr u8 LEAD_BITS[5] = {0, 0, 0x1F, 0x0F, 0x07};
  char32_t c = p[0] & LEAD_BITS[len];
  for (std::size_t k = 1; k < len; ++k) c = (c << 6) | (p[k] & 0x3F);
  return c;
}

// Calls f(code point) for each character of p[0, len), ill-formed
// subsequences as U+FFFD each (maximal subparts). Stops before a character
// that the end cuts short, and returns how many bytes it went through.
template <class F>
std::size_t for_each_char(const u8* p, std::size_t len, F&& f) {
  std::size_t i = 0;
  while (i < len) {
    const u8 b = p[i];
    if (b < 0x80) {
      f(static_cast<char32_t>(b));
      ++i;
      continue;
    }
    LeadShape shape;
    if (!lead_shape(b, shape)) {
      f(REPLACEMENT);
      ++i;
      continue;
    }
    std::size_t have = 1;
    while (have < shape.length && i + have < len) {
      const u8 c = p[i + have];
      if (c < (have == 1 ? shape.lo : 0x80) || c > (have == 1 ? shape.hi : 0xBF)) break;
      ++have;
    }
    if (have == shape.length) {
      f(decode(p + i, shape.length));
    } else if (i + have == len) {
      return i;  // the rest may still come
    } else {
      f(REPLACEMENT);
    }
    i += have;
  }
  return i;
}

}  // namespace

LineRenderer::LineRenderer(std::size_t columns) : columns_(columns) {}

// ---------------------------------------------------------------------------
// The output buffer

void LineRenderer::reserve(std::size_t more) {
  if (cap_ - len_ >= more) return;
  const std::size_t want = std::max({cap_ * 2, len_ + more, std::size_t{4096}});
  std::unique_ptr<char[]> grown(new char[want]);
  if (len_ != 0) std::memcpy(grown.get(), buf_.get(), len_);
  buf_ = std::move(grown);
  cap_ = want;
}

void LineRenderer::compact() {
  if (taken_ == 0) return;
  std::memmove(buf_.get(), buf_.get() + taken_, len_ - taken_);
  len_ -= taken_;
  line_start_ -= taken_;
  validated_ = validated_ > taken_ ? validated_ - taken_ : 0;
  taken_ = 0;
}

// Makes buf_[validated_, upto) well-formed UTF-8, replacing each ill-formed
// subsequence by U+FFFD and moving what follows along. `upto` must lie on a
// character boundary (after an LF, or before a held tail).
void LineRenderer::validate(std::size_t upto) {
  if (upto <= validated_) return;
  const std::string_view span(buf_.get() + validated_, upto - validated_);
  if (is_well_formed_utf8(span)) {
    validated_ = upto;
    return;
  }
  std::string fixed;
  append_utf8_with_replacement(span, fixed);
  // A replacement is never shorter than what it replaces.
  const std::size_t grow = fixed.size() - span.size();
  reserve(grow);
  char* b = buf_.get();
  std::memmove(b + upto + grow, b + upto, len_ - upto);
  std::memcpy(b + validated_, fixed.data(), fixed.size());
  len_ += grow;
  if (line_start_ >= upto) line_start_ += grow;
  validated_ = upto + grow;
}

// ---------------------------------------------------------------------------
// Feeding

std::size_t LineRenderer::feed(std::string_view bytes, bool stop_at_address) {
  compact();
  moved_to_row_ = false;
  stop_at_address_ = stop_at_address;
  stopped_ = false;
  const auto* in = reinterpret_cast<const u8*>(bytes.data());
  const std::size_t n = bytes.size();
  // The text is about as long as the bytes: room for it once, not by doubling.
  reserve(n);
  std::size_t i = pending_ == grammar::Rest::None ? 0 : resume_escape(in, n);
  if (stopped_) return i;
  while (i < n) {
    if (modes_.alternate) {
      // The screen model draws this; only the escapes matter here.
      i = grammar::plain_run_end(in, i, n, false);
      if (i == n) break;
      if (in[i] == SO || in[i] == SI) shifted_ = in[i] == SO;
      i = in[i] == ESC ? feed_escape(in, i, n) : i + 1;
      continue;
    }
    if (!cells_mode_ && !at_margin_ && pad_ == 0 && handed_.empty() && !graphics()) {
      // The hot path: a line only appended to, copied as the scanner finds
      // the end of the run.
      const std::size_t stop = std::min(n, i + SLICE);
      reserve(stop - i);
      u8* out = reinterpret_cast<u8*>(buf_.get()) + len_;
      // CR LF ends a line here exactly as LF does, so the copy goes on
      // through it.
      const grammar::Copied c = grammar::copy_plain_run(in, i, stop, out, /*tab_ends=*/true, /*crlf=*/true);
      if (c.written != 0) {
        if (const void* lf = ::memrchr(out, LF, c.written)) {
          line_start_ = len_ + static_cast<std::size_t>(static_cast<const u8*>(lf) - out) + 1;
          counted_bytes_ = 0;
          counted_cols_ = 0;
        }
        len_ += c.written;
        if (line_start_ - validated_ >= VALIDATE_AFTER) validate(line_start_);
      }
      const std::size_t j = c.end;
      i = j;
      if (i == stop && stop < n) continue;
    } else {
      const std::size_t j = grammar::plain_run_end(in, i, n, /*tab_ends=*/true);
      if (j > i) {
        if (graphics()) {
          print_graphics(in + i, j - i);
        } else {
          print_run(in + i, j - i);
        }
      }
      i = j;
    }
    if (i == n) break;
    switch (in[i]) {
      case ESC:
        i = feed_escape(in, i, n);
        if (stopped_) return i;
        break;
      case CR:
        // CR LF, the end of nearly every line a terminal gets, in one step.
        if (i + 1 < n && in[i + 1] == LF) {
          end_line();
          i += 2;
        } else {
          carriage_return();
          ++i;
        }
        break;
      case TAB:
        tab();
        ++i;
        break;
      case BS:
        backspace();
        ++i;
        break;
      case SO:
      case SI:
        shifted_ = in[i] == SO;
        ++i;
        break;
      default:  // every other control byte is dropped
        ++i;
        break;
    }
  }
  return n;
}

std::size_t LineRenderer::feed_escape(const u8* in, std::size_t i, std::size_t n) {
  // An ESC right after an ESC starts the escape anew, as a terminal reads
  // it (the cleaner's grammar takes the two as one escape, and the rest of
  // a mode switch would show as text).
  if (n - i > 1 && in[i + 1] == ESC) return i + 1;
  const grammar::Extent x = grammar::escape_extent(in, i, n);
  if (!x.complete) {
    if (n - i == 1) {
      pending_ = grammar::Rest::Introducer;
      return n;
    }
    escape_.clear();
    escape_too_long_ = false;
    escape_introducer_ = in[i + 1];
    pending_ = grammar::rest_after(in[i + 1]);
    if (pending_ == grammar::Rest::ControlSequence) {
      if (n - i - 2 <= MAX_CONTROL_SEQUENCE) {
        escape_.assign(reinterpret_cast<const char*>(in + i + 2), n - i - 2);
      } else {
        escape_too_long_ = true;
      }
    }
    return n;
  }
  if (in[i + 1] == '[' && x.end - i > 2) control_sequence(in + i + 2, x.end - i - 2);
  if (x.end - i == 3 || (x.end - i == 2 && in[i + 1] == 'c')) designate(in[i + 1], in[x.end - 1]);
  return x.end;
}

std::size_t LineRenderer::resume_escape(const u8* in, std::size_t n) {
  std::size_t j = 0;
  if (pending_ == grammar::Rest::Introducer) {
    if (n == 0) return 0;
    if (in[0] == ESC) {  // the cut ESC is given up, as above
      pending_ = grammar::Rest::None;
      return 0;
    }
    j = 1;
    escape_.clear();
    escape_too_long_ = false;
    escape_introducer_ = in[0];
    pending_ = grammar::rest_after(in[0]);
    if (pending_ == grammar::Rest::None) {  // a two-byte escape
      if (in[0] == 'c') designate('c', 'c');
      return 1;
    }
  }
  const grammar::Extent x = grammar::rest_extent(pending_, in, j, n);
  if (pending_ == grammar::Rest::ControlSequence) {
    if (escape_.size() + (x.end - j) <= MAX_CONTROL_SEQUENCE) {
      escape_.append(reinterpret_cast<const char*>(in + j), x.end - j);
    } else {
      escape_too_long_ = true;
    }
  }
  if (!x.complete) return n;
  const grammar::Rest was = pending_;
  pending_ = grammar::Rest::None;
  if (x.end > 0) designate(escape_introducer_, in[x.end - 1]);
  if (was == grammar::Rest::ControlSequence && !escape_too_long_ && !escape_.empty()) {
    control_sequence(reinterpret_cast<const u8*>(escape_.data()), escape_.size());
  }
  return x.end;
}

// `body` is what follows ESC [, up to and including the final byte.
void LineRenderer::control_sequence(const u8* body, std::size_t len) {
  const u8 final_byte = body[len - 1];
  if (final_byte < 0x40 || final_byte > 0x7E) return;  // cut short by CAN or SUB
  if (final_byte == 'm') return;                       // colours: by far the commonest, and nothing here
  u8 marker = 0;
  std::size_t k = 0;
  if (body[0] >= 0x3C && body[0] <= 0x3F) marker = body[k++];
  unsigned params[MAX_PARAMETERS] = {};
  std::size_t count = 0;
  unsigned value = 0;
  for (; k + 1 < len; ++k) {
    const u8 c = body[k];
    if (c >= '0' && c <= '9') {
      value = std::min(value * 10 + (c - '0'), MAX_PARAMETER);
    } else if (c == ';') {
      if (count < MAX_PARAMETERS) params[count++] = value;
      value = 0;
    } else {
      return;  // sub-parameters, intermediates, stray bytes: nothing acted on here
    }
  }
  if (count < MAX_PARAMETERS) params[count++] = value;

  if ((marker == 0 || marker == '?') && (final_byte == 'h' || final_byte == 'l')) {
    for (std::size_t p = 0; p < count; ++p) (void)set_mode(modes_, marker == '?', params[p], final_byte == 'h');
  }
  // Queries and other private sequences draw nothing on a line.
  if (marker != 0 || final_byte == 'c' || final_byte == 'n') return;
  if (modes_.alternate) return;
  // A move to a row of the screen: the drawing is a screen's now, which a
  // line model cannot show (top, watch and `clear` draw so without the
  // alternate screen).
  if (final_byte == 'H' || final_byte == 'f' || final_byte == 'd') {
    moved_to_row_ = true;
    stopped_ = stop_at_address_;
    return;
  }
  edit(final_byte, params[0]);
}

// ---------------------------------------------------------------------------
// The line being written

bool LineRenderer::line_empty() const noexcept {
  return cells_mode_ ? cells_.empty() : len_ == line_start_ && (!handed_live_ || handed_.empty());
}

void LineRenderer::clear_line() {
  len_ = line_start_;
  handed_live_ = false;
  counted_bytes_ = 0;
  counted_cols_ = 0;
  at_margin_ = false;
}

// Plain bytes, LF included, onto a line only appended to.
void LineRenderer::append_lines(const u8* p, std::size_t len) {
  if (pad_ != 0) {
    if (p[0] != LF) {
      reserve(pad_);
      std::memset(buf_.get() + len_, ' ', pad_);
      len_ += pad_;
    }
    pad_ = 0;
  }
  reserve(len);
  char* out = buf_.get() + len_;
  std::memcpy(out, p, len);
  len_ += len;
  if (const void* lf = ::memrchr(out, LF, len)) {
    line_start_ = static_cast<std::size_t>(static_cast<const char*>(lf) - buf_.get()) + 1;
    counted_bytes_ = 0;
    counted_cols_ = 0;
  }
}

// ESC ( F and ESC ) F choose the set G0 or G1 holds; a full reset (ESC c)
// gives both back to ASCII and shifts G0 in, and the modes back too.
void LineRenderer::designate(u8 set, u8 final_byte) noexcept {
  if (set == '(') g0_graphics_ = final_byte == '0';
  if (set == ')') g1_graphics_ = final_byte == '0';
  if (set == 'c') {
    g0_graphics_ = g1_graphics_ = shifted_ = false;
    full_reset(modes_);
  }
}

// A plain run drawn in the special graphics set, mapped to Unicode.
void LineRenderer::print_graphics(const u8* p, std::size_t len) {
  graphics_.clear();
  for (std::size_t k = 0; k < len; ++k) {
    if (p[k] >= 0x60 && p[k] < 0x7F) {
      append_utf8(graphics_, DEC_GRAPHICS[p[k] - 0x60]);
    } else {
      graphics_.push_back(static_cast<char>(p[k]));
    }
  }
  print_run(reinterpret_cast<const u8*>(graphics_.data()), graphics_.size());
}

// A plain run (no control byte but LF) in whatever state the line is in.
void LineRenderer::print_run(const u8* p, std::size_t len) {
  for (;;) {
    if (!cells_mode_ && !at_margin_ && handed_.empty()) {
      append_lines(p, len);
      return;
    }
    const auto* lf = static_cast<const u8*>(std::memchr(p, LF, len));
    const std::size_t seg = lf != nullptr ? static_cast<std::size_t>(lf - p) : len;
    if (seg != 0) {
      if (cells_mode_ || at_margin_) {
        if (!cells_mode_) to_cells();
        print_cells(p, seg);
      } else {
        append_lines(p, seg);
      }
    }
    if (lf == nullptr) return;
    end_line();
    p += seg + 1;
    len -= seg + 1;
    if (len == 0) return;
  }
}

// Whether a line only appended to, with the cursor `cursor_columns` from its
// start, still fits in one row: then the moves and erasures of the cells
// form are not needed for it.
bool LineRenderer::one_row(std::size_t cursor_columns) { return columns_ == 0 || cursor_columns < columns_; }

// Just past the last cell the cursor may reach in its row.
std::size_t LineRenderer::row_end() const noexcept {
  return columns_ == 0 ? static_cast<std::size_t>(-1) : row_start_ + columns_;
}

// A character cut short by a cursor move shows as U+FFFD where it stood.
void LineRenderer::settle_utf8() {
  if (utf8_len_ == 0) return;
  utf8_len_ = 0;
  put_cell(REPLACEMENT, 1);
}

void LineRenderer::carriage_return() {
  if (cells_mode_) {
    settle_utf8();
    col_ = row_start_;
    pending_wrap_ = false;
    return;
  }
  pad_ = 0;
  at_margin_ = !line_empty();
}

void LineRenderer::backspace() {
  if (!cells_mode_) {
    if (at_margin_) return;
    if (pad_ != 0) {
      --pad_;
      return;
    }
    if (line_empty()) return;
    to_cells();
  }
  settle_utf8();
  pending_wrap_ = false;
  if (col_ > row_start_) --col_;
}

void LineRenderer::tab() {
  if (!cells_mode_ && !at_margin_) {
    const std::size_t col = line_columns() + pad_;
    const std::size_t next = (col / TAB_STOP + 1) * TAB_STOP;
    if (one_row(next)) {
      pad_ += next - col;
      return;
    }
  }
  if (!cells_mode_) to_cells();
  settle_utf8();
  pending_wrap_ = false;
  col_ = std::min(row_start_ + ((col_ - row_start_) / TAB_STOP + 1) * TAB_STOP, row_end() - 1);
}

// The cursor moves along the line and the erasures. Where the line is only
// appended to and the cursor sits at its end, most of them need no cells.
void LineRenderer::edit(u8 final_byte, unsigned n) {
  const unsigned count = n == 0 ? 1 : n;
  if (!cells_mode_) {
    const bool at_end = !at_margin_;
    switch (final_byte) {
      case 'K':
        if (n == 0 && at_end) return;  // nothing after the cursor
        if (n > 2) return;
        if (!one_row(line_columns() + pad_)) break;  // only the last row is erased
        if (at_end) {
          // Everything before the cursor goes; the cursor stays.
          pad_ += line_columns();
          clear_line();
          return;
        }
        if (n == 0 || n == 2) {
          clear_line();
          return;
        }
        break;
      case 'C':
      case 'a':
        if (at_end && one_row(line_columns() + pad_ + count)) {
          pad_ += count;
          return;
        }
        break;
      case 'D':
        if (at_end && pad_ >= count && one_row(line_columns() + pad_)) {
          pad_ -= count;
          return;
        }
        if (!at_end) return;  // at the margin already
        break;
      case 'G':
      case '`':
        if (at_end) {
          const std::size_t cols = line_columns();
          if (count - 1 >= cols && one_row(count - 1)) {
            pad_ = count - 1 - cols;
            return;
          }
        } else if (count == 1 && one_row(line_columns())) {
          return;
        }
        break;
      case '@':
      case 'P':
      case 'X':
        if (at_end) return;  // nothing after the cursor to move or erase
        break;
      default:
        return;
    }
    to_cells();
  }
  settle_utf8();
  pending_wrap_ = false;
  // The cursor's row is always the line's last: the line model has no way
  // up. So "to the end of the row" is "to the end of the line".
  const std::size_t size = cells_.size();
  const std::size_t last = row_end() - 1;
  switch (final_byte) {
    case 'K':
      if (n == 0) {
        if (col_ < size) {
          blank_halves(col_, size);
          cells_.resize(col_);
        }
      } else if (n == 1) {
        const std::size_t to = std::min(col_ + 1, size);
        if (row_start_ < to) {
          blank_halves(row_start_, to);
          std::fill(cells_.begin() + static_cast<std::ptrdiff_t>(row_start_),
                    cells_.begin() + static_cast<std::ptrdiff_t>(to), Cell{BLANK, 0});
        }
      } else if (n == 2 && row_start_ < size) {
        blank_halves(row_start_, size);
        cells_.resize(row_start_);
      }
      break;
    case 'C':
    case 'a':
      col_ = std::min(col_ + count, last);
      break;
    case 'D':
      col_ = col_ > row_start_ + count ? col_ - count : row_start_;
      break;
    case 'G':
    case '`':
      col_ = std::min(row_start_ + count - 1, last);
      break;
    case '@':
      if (col_ < size) {
        blank_halves(col_, col_);
        cells_.insert(cells_.begin() + static_cast<std::ptrdiff_t>(col_), count, Cell{BLANK, 0});
        if (columns_ != 0 && cells_.size() > row_end()) {  // pushed off the right margin
          blank_halves(row_end(), row_end());
          cells_.resize(row_end());
        }
      }
      break;
    case 'P':
      if (col_ < size) {
        const std::size_t k = std::min<std::size_t>(count, size - col_);
        blank_halves(col_, col_ + k);
        cells_.erase(cells_.begin() + static_cast<std::ptrdiff_t>(col_),
                     cells_.begin() + static_cast<std::ptrdiff_t>(col_ + k));
      }
      break;
    case 'X':
      if (col_ < size) {
        const std::size_t to = std::min<std::size_t>(col_ + count, size);
        blank_halves(col_, to);
        std::fill(cells_.begin() + static_cast<std::ptrdiff_t>(col_), cells_.begin() + static_cast<std::ptrdiff_t>(to),
                  Cell{BLANK, 0});
      }
      break;
    default:
      break;
  }
}

// Before cells [from, to) change: a wide character that the change cuts in
// two loses its other half, as on a terminal.
void LineRenderer::blank_halves(std::size_t from, std::size_t to) {
  if (from < cells_.size() && from > 0 && cells_[from].ch == WIDE_TAIL) cells_[from - 1] = {BLANK, 0};
  if (to < cells_.size() && to > from && cells_[to].ch == WIDE_TAIL) cells_[to] = {BLANK, 0};
  if (to == from && to < cells_.size() && cells_[to].ch == WIDE_TAIL) cells_[to] = {BLANK, 0};
}

// The columns of a line only appended to, counted once per byte however
// many TABs it holds.
std::size_t LineRenderer::line_columns() {
  if (counted_cols_ < 0) {
    counted_cols_ = 0;
    counted_bytes_ = 0;
    if (handed_live_) {
      for_each_char(reinterpret_cast<const u8*>(handed_.data()), handed_.size(),
                    [&](char32_t c) { counted_cols_ += char_width(c); });
    }
  }
  const auto* p = reinterpret_cast<const u8*>(buf_.get()) + line_start_ + counted_bytes_;
  counted_bytes_ += for_each_char(p, len_ - line_start_ - counted_bytes_,
                                  [&](char32_t c) { counted_cols_ += char_width(c); });
  return static_cast<std::size_t>(counted_cols_);
}

// From bytes to cells, keeping where the cursor is.
void LineRenderer::to_cells() {
  cells_.clear();
  marks_.clear();
  utf8_len_ = 0;
  col_ = 0;
  row_start_ = 0;
  pending_wrap_ = false;
  if (handed_live_) print_cells(reinterpret_cast<const u8*>(handed_.data()), handed_.size());
  print_cells(reinterpret_cast<const u8*>(buf_.get()) + line_start_, len_ - line_start_);
  settle_utf8();
  cells_mode_ = true;
  if (at_margin_) {
    col_ = row_start_;
    pending_wrap_ = false;
  } else if (pad_ != 0) {
    if (pending_wrap_) {  // a move right after the last column: the cursor stays there
      pending_wrap_ = false;
    } else {
      col_ = std::min(col_ + pad_, row_end() - 1);
    }
  }
  len_ = line_start_;
  handed_live_ = false;
  at_margin_ = false;
  pad_ = 0;
}

void LineRenderer::print_cells(const u8* p, std::size_t len) {
  for (std::size_t k = 0; k < len; ++k) {
    const u8 b = p[k];
    if (utf8_len_ != 0) {
      LeadShape shape;
      lead_shape(utf8_[0], shape);
      if (utf8_len_ > 1) {
        shape.lo = 0x80;
        shape.hi = 0xBF;
      }
      if (b >= shape.lo && b <= shape.hi) {
        utf8_[utf8_len_++] = b;
        if (utf8_len_ == shape.length) {
          const char32_t c = decode(utf8_, shape.length);
          utf8_len_ = 0;
          const int w = char_width(c);
          if (w == 0) {
            attach_mark(c);
          } else {
            put_cell(c, w);
          }
        }
        continue;
      }
      utf8_len_ = 0;
      put_cell(REPLACEMENT, 1);  // the cut character; `b` starts afresh
    }
    if (b < 0x80) {
      put_cell(b, 1);
      continue;
    }
    LeadShape shape;
    if (lead_shape(b, shape)) {
      utf8_[0] = b;
      utf8_len_ = 1;
    } else {
      put_cell(REPLACEMENT, 1);
    }
  }
}

void LineRenderer::put_cell(char32_t ch, int width) {
  const std::size_t w = static_cast<std::size_t>(width);
  if (columns_ != 0) {
    // Auto-wrap: a character after the last column, or a wide one that
    // does not fit before the margin, starts the next row.
    if (pending_wrap_ || (w == 2 && col_ + 1 >= row_end() && columns_ > 1)) {
      row_start_ += columns_;
      col_ = row_start_;
      pending_wrap_ = false;
    }
  }
  const std::size_t c = col_;
  if (cells_.size() < c + w) cells_.resize(c + w, Cell{BLANK, 0});
  blank_halves(c, c + w);
  cells_[c] = {ch, 0};
  if (w == 2) cells_[c + 1] = {WIDE_TAIL, 0};
  col_ = c + w;
  if (columns_ != 0 && col_ >= row_end()) {  // the cursor waits at the last column
    col_ = row_end() - 1;
    pending_wrap_ = true;
  }
}

// A combining character joins the character before the cursor; with none
// there it takes a cell of its own.
void LineRenderer::attach_mark(char32_t ch) {
  std::size_t target = pending_wrap_ ? col_ + 1 : col_;  // waiting at the last column, on its character
  if (target == 0 || target > cells_.size()) {
    put_cell(ch, 1);
    return;
  }
  --target;
  if (cells_[target].ch == WIDE_TAIL && target > 0) --target;
  Cell& cell = cells_[target];
  if (cell.marks == 0) {
    marks_.emplace_back();
    cell.marks = static_cast<std::uint32_t>(marks_.size());
  }
  append_utf8(marks_[cell.marks - 1], ch);
}

// Writes the cells at buf_[at], blanks inside as spaces and none at the
// end; returns the length. Does not move len_.
std::size_t LineRenderer::render_cells(std::size_t at) {
  std::size_t last = cells_.size();
  while (last != 0 && cells_[last - 1].ch == BLANK) --last;
  std::size_t room = 4 * last;
  for (std::size_t k = 0; k < last; ++k) {
    if (cells_[k].marks != 0) room += marks_[cells_[k].marks - 1].size();
  }
  if (at + room > len_) reserve(at + room - len_);
  char* out = buf_.get() + at;
  std::size_t o = 0;
  for (std::size_t k = 0; k < last; ++k) {
    const Cell& cell = cells_[k];
    if (cell.ch == WIDE_TAIL) continue;
    o += put_utf8(out + o, cell.ch == BLANK ? U' ' : cell.ch);
    if (cell.marks != 0) {
      const std::string& m = marks_[cell.marks - 1];
      std::memcpy(out + o, m.data(), m.size());
      o += m.size();
    }
  }
  return o;
}

void LineRenderer::end_line() {
  if (cells_mode_) {
    settle_utf8();  // a character the LF cut short
    len_ = line_start_ + render_cells(line_start_);
    cells_mode_ = false;
    cells_.clear();
    marks_.clear();
    col_ = 0;
    row_start_ = 0;
    pending_wrap_ = false;
  }
  if (!handed_.empty() && !handed_live_) {
    // The line was handed out unfinished and then rewritten: what was
    // handed out goes only if the line still begins with it.
    const std::size_t have = len_ - line_start_;
    char* line = buf_.get() + line_start_;
    if (have >= handed_.size() && std::memcmp(line, handed_.data(), handed_.size()) == 0) {
      std::memmove(line, line + handed_.size(), have - handed_.size());
      len_ -= handed_.size();
    }
  }
  handed_.clear();
  handed_live_ = false;
  reserve(1);
  buf_[len_++] = static_cast<char>(LF);
  line_start_ = len_;
  pad_ = 0;
  at_margin_ = false;
  counted_bytes_ = 0;
  counted_cols_ = 0;
}

// ---------------------------------------------------------------------------
// Handing out

std::string_view LineRenderer::take(bool unfinished) {
  compact();
  validate(line_start_);
  std::size_t end = line_start_;
  if (unfinished) {
    end = hand_out_unfinished();
  } else {
    taken_ = line_start_;
  }
  return {buf_.get(), end};
}

// Puts the line being written, as it stands, right after the completed
// lines, and returns where it ends; what of it was handed out before and is
// still its beginning is left out.
std::size_t LineRenderer::hand_out_unfinished() {
  if (cells_mode_) {
    // Rendered past the end of the kept bytes, read once, overwritten later.
    const std::size_t k = render_cells(line_start_);
    char* line = buf_.get() + line_start_;
    std::string now(line, k);
    std::size_t end = line_start_ + k;
    if (!handed_.empty() && now.compare(0, handed_.size(), handed_) == 0) {
      std::memmove(line, line + handed_.size(), k - handed_.size());
      end -= handed_.size();
    }
    handed_ = std::move(now);
    handed_live_ = false;
    taken_ = line_start_;
    return end;
  }
  // A character still missing bytes stays for the next feed to finish.
  const auto* p = reinterpret_cast<const u8*>(buf_.get()) + line_start_;
  const std::size_t complete = for_each_char(p, len_ - line_start_, [](char32_t) {});
  std::size_t line_end = line_start_ + complete;
  validate(line_end);
  line_end = validated_;
  char* line = buf_.get() + line_start_;
  const std::size_t k = line_end - line_start_;
  if (handed_live_) {
    handed_.append(line, k);
  } else {
    std::string now(line, k);
    if (!handed_.empty() && now.compare(0, handed_.size(), handed_) == 0) {
      std::memmove(line, line + handed_.size(), len_ - line_start_ - handed_.size());
      len_ -= handed_.size();
      line_end -= handed_.size();
      validated_ = line_end;
    }
    handed_ = std::move(now);
    handed_live_ = true;
  }
  line_start_ = line_end;
  taken_ = line_end;
  counted_bytes_ = 0;
  counted_cols_ = -1;
  return line_end;
}

}  // namespace morvik::text
