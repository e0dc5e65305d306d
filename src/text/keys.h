// What a terminal sends for a key, and the pieces of the program's state
// that change what it sends: the cursor-key mode (DECCKM), which a program
// sets with ESC [ ? 1 h and clears with ESC [ ? 1 l, and bracketed paste
// (ESC [ ? 2004 h), which asks for pasted text between ESC [ 200 ~ and
// ESC [ 201 ~. Pure: the tracker is a value its
// owner keeps and feeds; nothing here locks, blocks or remembers.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace morvik::text {

// What one key word is. A word with the shape of a key is one of the names
// of key_names() (any case, aliases too), `C-x` / `Ctrl+x` / `Ctrl-x` / `^x`
// for a control character, `M-`, `Alt+` or `Meta+` before a character or a
// name for meta (ESC first), and `S-`, `C-` (and their long forms) before a
// name the key takes them with (S-Tab, C-Space, S-Up, C-Right, C-Delete).
// Any other word is text, typed as it is: one with a blank, a control
// character or a non-ASCII byte, a plain word ("dd", ":wq", "Up-ish"), a
// modifier with nothing after it ("C-"). A word with a key's shape that
// names no key (`Ctrl+Q2`, `F13`, `M-M-x`, `S-a`) is Invalid, never text:
// an agent's misspelt key typed as letters is what this guards against.
struct EncodedKey {
  enum class Kind { Text, Key, Invalid };
  Kind kind = Kind::Text;
  std::string bytes;  // the key's bytes when kind is Key
};

// The longest word that is taken as a key; a longer one with a key's shape
// is Invalid. Bounds the work one word costs, whatever a caller passes.
inline constexpr std::size_t MAX_KEY_WORD_BYTES = 64;

// In application mode the cursor keys (and Home, End) without a modifier
// send ESC O instead of ESC [, as a terminal does.
EncodedKey encode_key(std::string_view word, bool application_cursor);

// The key names, each with its aliases: the one list the faces show.
struct KeyName {
  std::string_view name;
  std::string_view aliases;  // blank-separated, may be empty
};
std::span<const KeyName> key_names() noexcept;

// One line that says what a key word may be, built from key_names(): for
// error messages and the faces' descriptions.
std::string describe_keys();

// Follows the cursor-key mode through the output, chunk by chunk: a
// sequence cut between two chunks is kept (at most a few bytes) until the
// next one completes it. A full reset (ESC c) and a soft reset (CSI ! p)
// clear the mode. Bracketed paste is followed alongside (only a full reset
// clears it).
class CursorKeyMode {
 public:
  void feed(std::string_view output);
  bool application() const noexcept { return application_; }
  bool bracketed_paste() const noexcept { return bracketed_paste_; }

 private:
  // Returns how many bytes of `s` (which starts at an ESC) the sequence
  // takes, or 0 when `s` ends before the sequence does.
  std::size_t apply(std::string_view s);

  bool application_ = false;
  bool bracketed_paste_ = false;
  std::string partial_;
};

}  // namespace morvik::text
