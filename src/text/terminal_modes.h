// The terminal modes a program sets and resets with CSI h and CSI l (DEC
// private ones after CSI ?), and what each mode number means: the one place
// in the tree that knows. The keys read the cursor-key and bracketed-paste
// modes, the line renderer the alternate screen, the screen model's scan
// the modes that change where text lands.
//
// Contract: set_mode is the only reading of a mode number. Its callers find
// the sequences in their own scans (the screen model's, the line
// renderer's, or ModeScan below when there is no screen model) and hand it
// each parameter; nothing here locks or blocks, and a TerminalModes is a
// value of two bytes, so it fits a lock-free atomic for readers on other
// threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "text/cleaning.h"

namespace morvik::text {

struct TerminalModes {
  bool application_cursor : 1 = false;  // ?1: cursor keys send ESC O
  bool bracketed_paste : 1 = false;     // ?2004: pastes come between ESC [ 200 ~ and ESC [ 201 ~
  bool alternate : 1 = false;           // ?1049, ?1047, ?47: the alternate screen is in use
  bool origin : 1 = false;              // ?6: rows count from the scroll region's top
  bool autowrap : 1 = true;             // ?7: text reaching the margin goes on in the next row
  bool reverse_wrap : 1 = false;        // ?45: backspace at the left margin goes up a row
  bool margins : 1 = false;             // ?69: left and right margins may be set
  bool insert : 1 = false;              // 4: text pushes what is right of it along
  bool newline : 1 = false;             // 20: LF also returns to the left margin

  friend bool operator==(const TerminalModes&, const TerminalModes&) = default;
};
static_assert(sizeof(TerminalModes) == 2);

// What a mode change asks of its caller beyond the modes themselves.
struct ModeChange {
  // Whether the mode can change what is drawn where, or which screen shows
  // (Screen); only touches input, reports or the cursor's look (Elsewhere);
  // or is no mode known here (Unknown), which a caller that must be sure
  // takes for the worst.
  enum class Reach : std::uint8_t { Screen, Elsewhere, Unknown };
  Reach reach = Reach::Unknown;
  // Entering ?1049 or ?1048 saves the cursor as ESC 7 does.
  bool saves_cursor = false;
};

// Mode `mode` set (`on`) or reset, DEC private when `dec_private`.
ModeChange set_mode(TerminalModes& modes, bool dec_private, unsigned mode, bool on) noexcept;

// A full reset (ESC c): every mode back to its default but the screen in
// use, which a terminal keeps as it is (libvterm does).
void full_reset(TerminalModes& modes) noexcept;

// A soft reset (CSI ! p): the cursor keys back to normal. The other modes
// a terminal may also reset here are left as they are, which a caller that
// must be sure about them reads as still set.
void soft_reset(TerminalModes& modes) noexcept;

// An escape cut by the end of a chunk and longer than this is garbage no
// program sends on purpose: a scan drops it rather than keep it, and acts
// on none of it.
inline constexpr std::size_t MAX_CUT_ESCAPE_BYTES = 64;

// Follows the modes through a stream of output, chunk by chunk, for a
// terminal that keeps no screen model (whose scan would do it otherwise).
// It reads escapes by the cleaner's grammar, and control sequences as the
// screen model's scan does (a control byte inside one is carried out and
// the sequence goes on; an ESC inside one abandons it), so the two agree.
// Plain runs cost one memchr for ESC; an escape cut by the end of a chunk
// is kept until the next completes it.
class ModeScan {
 public:
  void feed(std::string_view output);
  TerminalModes modes() const noexcept { return modes_; }

 private:
  std::size_t continue_cut(const unsigned char* in, std::size_t n);
  void escape(const unsigned char* p, std::size_t len) noexcept;

  TerminalModes modes_;
  grammar::Rest cut_ = grammar::Rest::None;
  std::string cut_bytes_;
};

}  // namespace morvik::text
