// The guard's parser. It must agree with libvterm on where every sequence
// starts and ends, or a hostile sequence could hide inside one the guard
// took for something else; so it never hands on a byte whose reading could
// differ: a sequence goes out only whole and rebuilt, a control byte inside
// one goes out on its own before it, and anything the guard cannot read
// with certainty is dropped.

#include "screen/feed_guard.h"

#include <algorithm>


namespace morvik::screen {
namespace {

using u8 = unsigned char;

constexpr u8 BEL = 0x07;
constexpr u8 CAN = 0x18;
constexpr u8 SUB = 0x1A;
constexpr u8 ESC = 0x1B;
constexpr u8 DEL = 0x7F;
constexpr char REPLACEMENT[] = "\xEF\xBF\xBD";

void append_number(std::string& out, std::uint32_t v) {
  char digits[10];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  while (n > 0) out.push_back(digits[--n]);
}

}  // namespace

void FeedGuard::resize(int rows, int columns) noexcept {
  rows_ = std::max(rows, 1);
  columns_ = std::max(columns, 1);
}

void FeedGuard::filter(std::string_view in, std::string& out) {
  restores_.clear();
  out.reserve(out.size() + in.size());
  for (const char ch : in) {
    const u8 c = static_cast<u8>(ch);
    switch (state_) {
      case State::Ground:
        ground(c, out);
        break;
      case State::Escape:
        escape(c, out);
        break;
      case State::Csi:
        csi(c, out);
        break;
      default:
        string(c, out);
        break;
    }
  }
}

void FeedGuard::control(u8 c, std::string& out) {
  out.push_back(static_cast<char>(c));
  repeatable_ = false;
}

void FeedGuard::bad_utf8(std::string& out) {
  out += REPLACEMENT;
  utf8_have_ = utf8_need_ = 0;
  repeatable_ = false;  // not ASCII, as any character that stands for it
}

void FeedGuard::ground(u8 c, std::string& out) {
  if (utf8_need_ > 0) {
    if (c >= next_low_ && c <= next_high_) {
      utf8_[utf8_have_++] = static_cast<char>(c);
      code_ = (code_ << 6) | (c & 0x3F);
      next_low_ = 0x80;
      next_high_ = 0xBF;
      if (--utf8_need_ == 0) {
        const auto length = static_cast<std::size_t>(utf8_have_);
        utf8_have_ = 0;
        // libvterm reads a decoded C1 control as the escape it stands for
        // (U+009B opens a control sequence, U+0085 moved its cursor off the
        // screen). Terminals in UTF-8 do not, nor does the scan that
        // decides where the model may start afresh: dropped.
        if (code_ >= 0x80 && code_ < 0xA0) return;
        out.append(utf8_, length);
        // A REP of a character libvterm 0.1.4 takes as wide, landing on the
        // last column, makes it write through a null pointer, and its
        // widths are not ours (U+4DED is wide to it): only ASCII, which it
        // surely takes as one cell, may be repeated. Programs repeat
        // spaces, rules and line-drawing letters, all ASCII.
        repeatable_ = false;
      }
      return;
    }
    bad_utf8(out);  // cut short: the byte that cut it is read afresh
  }
  if (c == ESC) {  // whether a REP may follow is settled by what the escape hands on
    state_ = State::Escape;
    intermediate_count_ = 0;
    too_many_intermediates_ = false;
    return;
  }
  if (c < 0x20) {
    if (c != CAN && c != SUB) control(c, out);
    return;
  }
  if (c < DEL) {
    out.push_back(static_cast<char>(c));
    repeatable_ = true;
    return;
  }
  if (c == DEL) return;
  next_low_ = 0x80;
  next_high_ = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    utf8_need_ = 1;
    code_ = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    utf8_need_ = 2;
    code_ = c & 0x0F;
    if (c == 0xE0) next_low_ = 0xA0;   // overlong
    if (c == 0xED) next_high_ = 0x9F;  // surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    utf8_need_ = 3;
    code_ = c & 0x07;
    if (c == 0xF0) next_low_ = 0x90;   // overlong
    if (c == 0xF4) next_high_ = 0x8F;  // past U+10FFFF
  } else {
    bad_utf8(out);  // a stray continuation byte (C1 controls among them) or a lead never valid
    return;
  }
  utf8_[0] = static_cast<char>(c);
  utf8_have_ = 1;
}

// Inside an escape or a control sequence, as a terminal reads them: ESC
// starts a new escape, CAN and SUB cancel, any other C0 control acts at
// once. true when `c` was one of them.
bool FeedGuard::control_inside_sequence(u8 c, std::string& out) {
  if (c == ESC) {
    state_ = State::Escape;
    intermediate_count_ = 0;
    too_many_intermediates_ = false;
    return true;
  }
  if (c == CAN || c == SUB) {
    state_ = State::Ground;
    return true;
  }
  if (c < 0x20) {
    control(c, out);
    return true;
  }
  return false;
}

void FeedGuard::escape(u8 c, std::string& out) {
  if (control_inside_sequence(c, out)) return;
  if (c < 0x30) {
    if (intermediate_count_ < MAX_INTERMEDIATES) {
      intermediates_[intermediate_count_++] = static_cast<char>(c);
    } else {
      too_many_intermediates_ = true;
    }
    return;
  }
  if (c == DEL) return;
  if (c > DEL) {  // not an escape libvterm and the guard would surely read alike
    state_ = State::Ground;
    ground(c, out);
    return;
  }
  state_ = State::Ground;
  if (intermediate_count_ == 0) {
    switch (c) {
      case '[':
        state_ = State::Csi;
        marker_ = 0;
        malformed_ = any_byte_ = full_ = false;
        group_size_ = 0;
        value_ = MISSING;
        parameter_count_ = 0;
        return;
      case ']':
      case 'P':
        string_kind_ = static_cast<char>(c);
        string_.clear();
        state_ = State::String;
        return;
      case 'X':
      case '^':
      case '_':
        state_ = State::DropString;
        return;
      default:
        break;
    }
  }
  // libvterm reads ESC ( [ as the opening of a control sequence, not as a
  // character set: an escape with intermediates whose final opens a
  // sequence or string is read differently by the two, and dropped.
  if (too_many_intermediates_ || c == '[' || c == ']' || c == 'P' || c == 'X' || c == '^' || c == '_') return;
  repeatable_ = false;
  if (c == 'c' && intermediate_count_ == 0) left_right_margins_ = false;
  out.push_back(static_cast<char>(ESC));
  out.append(intermediates_, static_cast<std::size_t>(intermediate_count_));
  out.push_back(static_cast<char>(c));
  if (c == '8' && intermediate_count_ == 0) restores_.push_back(out.size());
}

void FeedGuard::csi(u8 c, std::string& out) {
  if (control_inside_sequence(c, out)) return;
  if (c >= DEL) return;
  if (c >= 0x40) {
    state_ = State::Ground;
    finish_csi(c, out);
    return;
  }
  if (c < 0x30) {
    if (intermediate_count_ < MAX_INTERMEDIATES) {
      intermediates_[intermediate_count_++] = static_cast<char>(c);
    } else {
      too_many_intermediates_ = true;
    }
    any_byte_ = true;
    return;
  }
  // A parameter byte after an intermediate is not a control sequence.
  if (intermediate_count_ > 0) malformed_ = true;
  if (c <= '9') {
    value_ = std::min<std::uint32_t>((value_ == MISSING ? 0 : value_) * 10 + (c - '0'), MAX_VALUE);
  } else if (c == ';') {
    end_parameter();
  } else if (c == ':') {
    if (group_size_ < MAX_GROUP) group_[group_size_++] = value_;
    value_ = MISSING;
  } else if (!any_byte_) {
    marker_ = static_cast<char>(c);
  } else {
    malformed_ = true;
  }
  any_byte_ = true;
}

// Ends the group of values read so far and keeps what of it libvterm may see.
void FeedGuard::end_parameter() {
  if (group_size_ < MAX_GROUP) group_[group_size_++] = value_;
  const int size = group_size_;
  group_size_ = 0;
  value_ = MISSING;
  std::uint32_t kept[5];
  int count = 0;
  kept[count++] = group_[0];
  if (size > 1) {
    // A colour, 38 or 48 : 5 : index, or 38 or 48 : 2 : [space :] r : g : b,
    // becomes its `;` form; any other group keeps its first value.
    const std::uint32_t head = group_[0];
    if (head == 38 || head == 48) {
      auto v = [&](int i) { return group_[i] == MISSING ? 0 : group_[i]; };
      if (group_[1] == 5 && size == 3) {
        kept[count++] = 5;
        kept[count++] = v(2);
      } else if (group_[1] == 2 && (size == 5 || size == 6)) {
        const int r = size - 3;
        kept[count++] = 2;
        kept[count++] = v(r);
        kept[count++] = v(r + 1);
        kept[count++] = v(r + 2);
      } else {
        malformed_ = true;  // half a colour: its first value alone would take the next ones
        return;
      }
    }
  }
  if (full_ || parameter_count_ + count > MAX_PARAMETERS) {
    full_ = true;
    return;
  }
  std::copy(kept, kept + count, parameters_ + parameter_count_);
  parameter_count_ += count;
}

void FeedGuard::finish_csi(u8 final_byte, std::string& out) {
  end_parameter();
  if (malformed_ || too_many_intermediates_) return;
  const bool plain = marker_ == 0 && intermediate_count_ == 0;
  if (marker_ == '?' && intermediate_count_ == 0 && (final_byte == 'h' || final_byte == 'l')) {
    for (int i = 0; i < parameter_count_; ++i) {
      if (parameters_[i] == 69) left_right_margins_ = final_byte == 'h';
    }
  }
  if (plain && final_byte == 'b') {
    // REP: only straight after a character one cell wide; a count past
    // a screenful and a row is cut by whole rows, which leaves the same
    // screen and cursor for a character one cell wide.
    if (!repeatable_) return;
    const std::uint32_t area = static_cast<std::uint32_t>(rows_ + 1) * static_cast<std::uint32_t>(columns_);
    std::uint32_t& n = parameters_[0];
    if (n != MISSING && n > area) n = area + (n - area) % static_cast<std::uint32_t>(columns_);
  } else {
    repeatable_ = false;
  }
  out.push_back(static_cast<char>(ESC));
  out.push_back('[');
  if (marker_ != 0) out.push_back(marker_);
  for (int i = 0; i < parameter_count_; ++i) {
    if (i > 0) out.push_back(';');
    if (parameters_[i] != MISSING) append_number(out, parameters_[i]);
  }
  out.append(intermediates_, static_cast<std::size_t>(intermediate_count_));
  out.push_back(static_cast<char>(final_byte));
}

// A string goes out whole, so that what libvterm reads of it is known. A
// setting asked for (DCS $ q) that libvterm 0.1.4 does not know makes it
// format its answer from a pointer it never set: only the settings it
// answers go on, and any other becomes the empty request, which it
// answers as a terminal answers an unknown one.
void FeedGuard::close_string(std::string& out, bool bell) {
  if (state_ == State::String || state_ == State::StringEscape) {
    if (string_kind_ == 'P' && string_.starts_with("$q")) {
      const std::string_view asked = std::string_view(string_).substr(2);
      if (asked != "m" && asked != "r" && asked != "s" && asked != " q" && asked != "\"q") string_.resize(2);
    }
    repeatable_ = false;
    out.push_back(static_cast<char>(ESC));
    out.push_back(string_kind_);
    out += string_;
    if (bell) {
      out.push_back(static_cast<char>(BEL));
    } else {
      out.push_back(static_cast<char>(ESC));
      out.push_back('\\');
    }
  }
  state_ = State::Ground;
}

void FeedGuard::string(u8 c, std::string& out) {
  const bool drop = state_ == State::DropString || state_ == State::DropStringEscape;
  if (state_ == State::StringEscape || state_ == State::DropStringEscape) {
    if (c == '\\') {
      close_string(out);
      return;
    }
    // Any other escape ends the string and is read on its own.
    close_string(out);
    state_ = State::Escape;
    intermediate_count_ = 0;
    too_many_intermediates_ = false;
    escape(c, out);
    return;
  }
  if (c == ESC) {
    state_ = drop ? State::DropStringEscape : State::StringEscape;
    return;
  }
  if (c == BEL && !drop && string_kind_ == ']') {
    close_string(out, true);
    return;
  }
  if (c == BEL || c == CAN || c == SUB) {
    close_string(out);
    return;
  }
  // Only printable ASCII goes on: an 8-bit byte could be read as the
  // string's end, and nothing the model keeps from a string needs more.
  if (drop || c < 0x20 || c >= DEL || string_.size() >= MAX_STRING) return;
  string_.push_back(static_cast<char>(c));
}

}  // namespace morvik::screen
