// What a terminal sends for a key, given the cursor-key mode (DECCKM) the
// program set (terminal_modes.h follows it). Pure: nothing here locks,
// blocks or remembers.
#pragma once

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

}  // namespace morvik::text
