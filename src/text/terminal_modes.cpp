// The meaning of each mode number, and the light scan that follows them
// where no screen model does. The scan runs on the reader thread on every
// chunk of a terminal without a model: it must stay one memchr over plain
// output, and it must read a control sequence exactly as the screen
// model's scan reads it, or the keys of a terminal with a model and one
// without would differ for the same output.
#include "text/terminal_modes.h"

#include <algorithm>
#include <cstring>

namespace morvik::text {
namespace {

using u8 = unsigned char;
using Reach = ModeChange::Reach;

// As many parameters and as large a value as the screen model's scan
// reads; the rest of a longer sequence is not acted on.
constexpr std::size_t MAX_PARAMETERS = 16;
constexpr unsigned MAX_PARAMETER = 65535;

ModeChange screen(bool saves_cursor = false) { return {Reach::Screen, saves_cursor}; }
ModeChange elsewhere() { return {Reach::Elsewhere, false}; }

ModeChange set_private_mode(TerminalModes& m, unsigned mode, bool on) {
  switch (mode) {
    case 1:
      m.application_cursor = on;
      return elsewhere();
    case 2004:
      m.bracketed_paste = on;
      return elsewhere();
    case 1049:
      m.alternate = on;
      return screen(on);
    case 1047:
    case 47:
      m.alternate = on;
      return screen();
    case 1048:  // save (set) or restore (reset) the cursor, nothing kept
      return screen(on);
    case 6:
      m.origin = on;
      return screen();
    case 7:
      m.autowrap = on;
      return screen();
    case 45:
      m.reverse_wrap = on;
      return screen();
    case 69:
      m.margins = on;
      return screen();
    // Smooth scroll, reverse video, autorepeat, interlace, X10 mouse,
    // cursor blink and visibility, mouse reporting and its encodings, focus
    // events, meta and backspace keys, synchronised output: nothing drawn
    // lands elsewhere.
    case 4:
    case 5:
    case 8:
    case 9:
    case 12:
    case 25:
    case 1000:
    case 1001:
    case 1002:
    case 1003:
    case 1004:
    case 1005:
    case 1006:
    case 1007:
    case 1015:
    case 1016:
    case 1034:
    case 1035:
    case 1036:
    case 1037:
    case 1039:
    case 1042:
    case 1043:
    case 2026:
      return elsewhere();
    default:
      return {};
  }
}

}  // namespace

ModeChange set_mode(TerminalModes& modes, bool dec_private, unsigned mode, bool on) noexcept {
  if (dec_private) return set_private_mode(modes, mode, on);
  switch (mode) {
    case 4:
      modes.insert = on;
      return screen();
    case 20:
      modes.newline = on;
      return screen();
    case 2:   // the keyboard locked
    case 12:  // local echo
      return elsewhere();
    default:
      return {};
  }
}

void full_reset(TerminalModes& modes) noexcept {
  const bool alternate = modes.alternate;
  modes = TerminalModes{};
  modes.alternate = alternate;
}

void soft_reset(TerminalModes& modes) noexcept { modes.application_cursor = false; }

namespace {

// `body` is what follows ESC [, up to and including the final byte. Read
// as the screen model's scan reads it (lazy_screen.cpp).
void control_sequence(TerminalModes& modes, const u8* body, std::size_t len) noexcept {
  const u8 final_byte = body[len - 1];
  if (final_byte != 'h' && final_byte != 'l' && final_byte != 'p') return;
  u8 marker = 0;
  std::size_t k = 0;
  if (len > 1 && body[0] >= 0x3C && body[0] <= 0x3F) marker = body[k++];
  unsigned params[MAX_PARAMETERS] = {};
  std::size_t count = 0;
  unsigned value = 0;
  bool intermediate = false;
  bool bang = false;
  bool dollar = false;
  for (; k + 1 < len; ++k) {
    const u8 c = body[k];
    if (c < 0x20) continue;  // carried out by the terminal; the sequence goes on
    if (c >= 0x80) return;
    if (c >= '0' && c <= '9') {
      value = std::min(value * 10 + (c - '0'), MAX_PARAMETER);
    } else if (c == ';' || c == ':') {
      if (count < MAX_PARAMETERS) params[count++] = value;
      value = 0;
    } else {
      intermediate = true;  // an intermediate byte, or a stray one
      bang = bang || c == '!';
      dollar = dollar || c == '$';
    }
  }
  if (count < MAX_PARAMETERS) params[count++] = value;
  if (intermediate) {
    if (final_byte == 'p' && bang && !dollar && marker == 0) soft_reset(modes);
    return;
  }
  if (final_byte == 'p' || (marker != 0 && marker != '?')) return;
  for (std::size_t p = 0; p < count; ++p) (void)set_mode(modes, marker == '?', params[p], final_byte == 'h');
}

}  // namespace

void ModeScan::escape(const u8* p, std::size_t len) noexcept {
  if (len < 2) return;
  if (p[1] == 'c') {
    full_reset(modes_);
  } else if (p[1] == '[' && len > 2) {
    control_sequence(modes_, p + 2, len - 2);
  }
}

// Goes on with the escape cut at the end of the last chunk, from in[0].
std::size_t ModeScan::continue_cut(const u8* in, std::size_t n) {
  std::size_t i = 0;
  if (cut_ == grammar::Rest::Introducer) {
    if (in[0] == grammar::ESC) {  // the cut ESC is given up: the escape starts anew
      cut_ = grammar::Rest::None;
      return 0;
    }
    cut_bytes_.push_back(static_cast<char>(in[0]));
    cut_ = grammar::rest_after(in[0]);
    i = 1;
    if (cut_ == grammar::Rest::None) {  // a two-byte escape
      escape(reinterpret_cast<const u8*>(cut_bytes_.data()), 2);
      return i;
    }
  }
  const grammar::Extent x = grammar::rest_extent(cut_, in, i, n);
  if (cut_ == grammar::Rest::ControlSequence) {
    if (const void* e = std::memchr(in + i, grammar::ESC, x.end - i)) {  // abandoned there
      cut_ = grammar::Rest::None;
      return static_cast<std::size_t>(static_cast<const u8*>(e) - in);
    }
  }
  if (cut_bytes_.size() <= MAX_CUT_ESCAPE_BYTES) {
    cut_bytes_.append(reinterpret_cast<const char*>(in) + i, std::min(x.end - i, MAX_CUT_ESCAPE_BYTES + 1));
  }
  if (!x.complete) return n;
  cut_ = grammar::Rest::None;
  if (cut_bytes_.size() <= MAX_CUT_ESCAPE_BYTES) {
    escape(reinterpret_cast<const u8*>(cut_bytes_.data()), cut_bytes_.size());
  }
  return x.end;
}

void ModeScan::feed(std::string_view output) {
  const auto* in = reinterpret_cast<const u8*>(output.data());
  const std::size_t n = output.size();
  std::size_t i = 0;
  if (n != 0 && cut_ != grammar::Rest::None) i = continue_cut(in, n);
  while (i < n) {
    const void* found = std::memchr(in + i, grammar::ESC, n - i);
    if (found == nullptr) return;
    i = static_cast<std::size_t>(static_cast<const u8*>(found) - in);
    // An ESC right after an ESC starts the escape anew, as a terminal reads
    // it (the cleaner's grammar takes the two as one escape).
    if (n - i > 1 && in[i + 1] == grammar::ESC) {
      ++i;
      continue;
    }
    const grammar::Extent x = grammar::escape_extent(in, i, n);
    // A control sequence is abandoned at an ESC inside it, which starts
    // the next escape.
    if (n - i > 2 && in[i + 1] == '[') {
      if (const void* e = std::memchr(in + i + 2, grammar::ESC, x.end - i - 2)) {
        i = static_cast<std::size_t>(static_cast<const u8*>(e) - in);
        continue;
      }
    }
    if (!x.complete) {
      cut_ = n - i == 1 ? grammar::Rest::Introducer : grammar::rest_after(in[i + 1]);
      cut_bytes_.assign(output, i, std::min(n - i, MAX_CUT_ESCAPE_BYTES + 1));
      return;
    }
    escape(in + i, x.end - i);
    i = x.end;
  }
}

}  // namespace morvik::text
