// The filter in front of libvterm. The library this tree links (0.1.4)
// takes a program's bytes raw, and some of them corrupt its memory or spin
// it: a control sequence with 16 or more parameters writes past its
// argument array, to an address the parameter values choose; a `:`
// sub-parameter does the same; a repeat (REP) with no character before it
// never ends. Any program's output reaches it (`cat` of a hostile file), so
// no byte may reach libvterm that this filter has not read.
//
// The guard parses the stream as a terminal does and hands on only a
// canonical form that it can vouch for:
// - control sequences rewritten from what was parsed: at most
//   MAX_PARAMETERS parameters, values at most MAX_VALUE, colours given with
//   `:` rewritten with `;`, other sub-parameters dropped, a control byte
//   met inside carried out before the sequence, malformed ones dropped;
// - a REP only straight after an ASCII character, its count
//   bounded by the screen's size;
// - strings (OSC, DCS) cut at MAX_STRING bytes of printable ASCII, handed
//   on whole and always closed; a setting asked for (DCS $ q) only among
//   those libvterm answers safely; the strings nothing draws (SOS, PM, APC)
//   dropped;
// - UTF-8 well formed: an ill-formed sequence becomes U+FFFD, so no stray
//   byte can be read as an 8-bit control, and C1 controls encoded in UTF-8
//   are dropped.
// A sequence cut by the end of one feed goes on in the next: the guard
// keeps its state, bounded, between calls. One guard serves one model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace morvik::screen {

class FeedGuard {
 public:
  static constexpr int MAX_PARAMETERS = 15;
  static constexpr std::uint32_t MAX_VALUE = 9999;
  static constexpr std::size_t MAX_STRING = 256;
  static constexpr int MAX_INTERMEDIATES = 2;

  FeedGuard(int rows, int columns) noexcept { resize(rows, columns); }

  // The size bounds counts by; a sequence cut by the change goes on.
  void resize(int rows, int columns) noexcept;

  // Appends to `out` what of `in` libvterm may read.
  void filter(std::string_view in, std::string& out);

  // Where in `out` the last filter's cursor restores (ESC 8) end: libvterm
  // restores a saved cursor as it was, outside a screen shrunk since, and
  // the model mends that before it reads on.
  const std::vector<std::size_t>& restores() const noexcept { return restores_; }

  // Whether what was handed on left left and right margins enabled
  // (mode 69): CSI s then sets them rather than saving the cursor.
  bool left_right_margins() const noexcept { return left_right_margins_; }

 private:
  enum class State : std::uint8_t { Ground, Escape, Csi, String, StringEscape, DropString, DropStringEscape };

  void ground(unsigned char c, std::string& out);
  void escape(unsigned char c, std::string& out);
  void csi(unsigned char c, std::string& out);
  void string(unsigned char c, std::string& out);
  void finish_csi(unsigned char final_byte, std::string& out);
  void end_parameter();
  void close_string(std::string& out, bool bell = false);
  void bad_utf8(std::string& out);
  void control(unsigned char c, std::string& out);
  bool control_inside_sequence(unsigned char c, std::string& out);

  int rows_ = 1;
  int columns_ = 1;
  State state_ = State::Ground;
  // An ASCII character was the last thing handed on: a REP may follow.
  bool repeatable_ = false;
  bool left_right_margins_ = false;
  std::vector<std::size_t> restores_;

  // UTF-8 in progress: the bytes so far, how many more are due, and the
  // range the next one must fall in (which rules out overlong forms and
  // surrogates).
  char utf8_[4] = {};
  int utf8_have_ = 0;
  int utf8_need_ = 0;
  unsigned char next_low_ = 0x80;
  unsigned char next_high_ = 0xBF;
  char32_t code_ = 0;

  // An escape in progress: its intermediates.
  char intermediates_[MAX_INTERMEDIATES] = {};
  int intermediate_count_ = 0;
  bool too_many_intermediates_ = false;

  // A control sequence in progress. A parameter is a group of values
  // joined by `:`; only a colour's group keeps more than its first.
  static constexpr int MAX_GROUP = 6;
  static constexpr std::uint32_t MISSING = 0xFFFFFFFF;
  char marker_ = 0;
  bool malformed_ = false;
  bool any_byte_ = false;
  std::uint32_t group_[MAX_GROUP] = {};
  int group_size_ = 0;
  std::uint32_t value_ = MISSING;
  std::uint32_t parameters_[MAX_PARAMETERS] = {};  // the parameters kept so far
  int parameter_count_ = 0;
  bool full_ = false;  // MAX_PARAMETERS reached: the rest are dropped

  // A string in progress: its introducer and what of it is kept so far.
  char string_kind_ = 0;
  std::string string_;
};

}  // namespace morvik::screen
