// Key encoding. A key word is caller input of any length: it must cost
// work bounded by MAX_KEY_WORD_BYTES, and never recursion.
#include "keys.h"

#include <array>
#include <optional>
#include <string>

namespace morvik::text {

namespace {

constexpr char ESC = '\x1b';

// A key and what a terminal sends for it. A key that xterm sends with a
// modifier parameter when Shift or Ctrl is held names how: `final` for
// ESC [ 1 ; m final (the cursor keys, Home, End, F1 to F4), `tilde` for
// ESC [ tilde ; m ~.
struct NamedKey {
  std::string_view name;
  std::string_view aliases;
  std::string_view normal;
  std::string_view application;  // empty: the same in both modes
  char final = 0;
  int tilde = 0;
};

constexpr std::array<NamedKey, 27> NAMED_KEYS{{
    {"Enter", "Return", "\r", ""},
    {"Tab", "", "\t", ""},
    {"Escape", "Esc", "\x1b", ""},
    {"Backspace", "BSpace", "\x7f", ""},
    {"Space", "", " ", ""},
    {"Up", "", "\x1b[A", "\x1bOA", 'A'},
    {"Down", "", "\x1b[B", "\x1bOB", 'B'},
    {"Right", "", "\x1b[C", "\x1bOC", 'C'},
    {"Left", "", "\x1b[D", "\x1bOD", 'D'},
    {"Home", "", "\x1b[H", "\x1bOH", 'H'},
    {"End", "", "\x1b[F", "\x1bOF", 'F'},
    {"PageUp", "PgUp", "\x1b[5~", "", 0, 5},
    {"PageDown", "PgDn", "\x1b[6~", "", 0, 6},
    {"Insert", "Ins", "\x1b[2~", "", 0, 2},
    {"Delete", "Del", "\x1b[3~", "", 0, 3},
    {"F1", "", "\x1bOP", "", 'P'},
    {"F2", "", "\x1bOQ", "", 'Q'},
    {"F3", "", "\x1bOR", "", 'R'},
    {"F4", "", "\x1bOS", "", 'S'},
    {"F5", "", "\x1b[15~", "", 0, 15},
    {"F6", "", "\x1b[17~", "", 0, 17},
    {"F7", "", "\x1b[18~", "", 0, 18},
    {"F8", "", "\x1b[19~", "", 0, 19},
    {"F9", "", "\x1b[20~", "", 0, 20},
    {"F10", "", "\x1b[21~", "", 0, 21},
    {"F11", "", "\x1b[23~", "", 0, 23},
    {"F12", "", "\x1b[24~", "", 0, 24},
}};

constexpr std::array<KeyName, NAMED_KEYS.size()> names_of() {
  std::array<KeyName, NAMED_KEYS.size()> names{};
  for (std::size_t i = 0; i < NAMED_KEYS.size(); ++i) names[i] = {NAMED_KEYS[i].name, NAMED_KEYS[i].aliases};
  return names;
}
constexpr std::array<KeyName, NAMED_KEYS.size()> KEY_NAMES = names_of();

enum Modifier : unsigned { SHIFT = 1, META = 2, CTRL = 4 };

struct ModifierPrefix {
  std::string_view text;  // lower case
  Modifier modifier;
};

constexpr std::array<ModifierPrefix, 13> MODIFIER_PREFIXES{{
    {"control+", CTRL}, {"control-", CTRL}, {"ctrl+", CTRL}, {"ctrl-", CTRL}, {"c-", CTRL},
    {"shift+", SHIFT}, {"shift-", SHIFT}, {"s-", SHIFT},
    {"meta+", META}, {"meta-", META}, {"alt+", META}, {"alt-", META}, {"m-", META},
}};

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_letters(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

const NamedKey* named(std::string_view word) {
  for (const NamedKey& k : NAMED_KEYS) {
    if (same_letters(word, k.name)) return &k;
    for (std::string_view rest = k.aliases; !rest.empty();) {
      const std::size_t blank = rest.find(' ');
      if (same_letters(word, rest.substr(0, blank))) return &k;
      rest = blank == std::string_view::npos ? std::string_view{} : rest.substr(blank + 1);
    }
  }
  return nullptr;
}

// The modifier `s` starts with, when something follows it.
const ModifierPrefix* modifier_at(std::string_view s) {
  for (const ModifierPrefix& p : MODIFIER_PREFIXES) {
    if (s.size() > p.text.size() && same_letters(s.substr(0, p.text.size()), p.text)) return &p;
  }
  return nullptr;
}

// F and digits: a function key, whether or not this terminal has it.
bool function_key_shape(std::string_view s) {
  if (s.size() < 2 || lower(s[0]) != 'f') return false;
  for (char c : s.substr(1)) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::optional<char> control_of(char c) {
  if (c >= 'a' && c <= 'z') return static_cast<char>(c - 'a' + 1);
  if (c >= '@' && c <= '_') return static_cast<char>(c - '@');  // A-Z and @ [ \ ] ^ _
  if (c == ' ') return '\0';
  if (c == '?') return '\x7f';
  return std::nullopt;
}

// The bytes of a named key with Shift and Ctrl as `mods` says (Meta is the
// caller's), or nullopt when the key takes no such modifier.
std::optional<std::string> with_modifiers(const NamedKey& k, unsigned mods, bool application_cursor) {
  const unsigned held = mods & (SHIFT | CTRL);
  if (held == 0) return std::string(application_cursor && !k.application.empty() ? k.application : k.normal);
  if (k.name == "Tab" && held == SHIFT) return std::string("\x1b[Z");
  if (k.name == "Space" && held == CTRL) return std::string(1, '\0');
  // xterm's parameter: 1, plus 1 for Shift, plus 4 for Ctrl.
  const std::string m = std::to_string(1 + ((held & SHIFT) ? 1 : 0) + ((held & CTRL) ? 4 : 0));
  if (k.final != 0) return "\x1b[1;" + m + k.final;
  if (k.tilde != 0) return "\x1b[" + std::to_string(k.tilde) + ";" + m + "~";
  return std::nullopt;
}

EncodedKey key(std::string bytes) { return {EncodedKey::Kind::Key, std::move(bytes)}; }
constexpr EncodedKey::Kind TEXT = EncodedKey::Kind::Text;
constexpr EncodedKey::Kind INVALID = EncodedKey::Kind::Invalid;

}  // namespace

EncodedKey encode_key(std::string_view word, bool application_cursor) {
  if (word.empty()) return {TEXT, {}};
  for (char c : word) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7f) return {TEXT, {}};
  }
  if (word.size() == 2 && word[0] == '^') {
    const char c = word[1];
    if ((c >= 'a' && c <= 'z') || (c >= '@' && c <= '_') || c == '?') return key(std::string(1, *control_of(c)));
    return {TEXT, {}};
  }
  // Modifiers are peeled one by one, never by recursion: a word is caller
  // input of any length.
  unsigned mods = 0;
  std::string_view rest = word;
  while (const ModifierPrefix* p = modifier_at(rest)) {
    if (word.size() > MAX_KEY_WORD_BYTES || (mods & p->modifier) != 0) return {INVALID, {}};
    mods |= p->modifier;
    rest.remove_prefix(p->text.size());
  }
  const NamedKey* k = named(rest);
  if (mods == 0) {
    if (k != nullptr) return key(*with_modifiers(*k, 0, application_cursor));
    return {function_key_shape(rest) ? INVALID : TEXT, {}};
  }
  std::optional<std::string> bytes;
  if (k != nullptr) {
    bytes = with_modifiers(*k, mods, application_cursor);
  } else if (rest.size() == 1 && (mods & SHIFT) == 0) {
    if (!(mods & CTRL)) {
      bytes = std::string(rest);
    } else if (const std::optional<char> c = control_of(rest[0])) {
      bytes = std::string(1, *c);
    }
  }
  if (!bytes) return {INVALID, {}};
  if (mods & META) bytes->insert(0, 1, ESC);
  return key(std::move(*bytes));
}

std::span<const KeyName> key_names() noexcept { return KEY_NAMES; }

std::string describe_keys() {
  std::string out;
  for (const KeyName& k : KEY_NAMES) {
    if (k.name.size() > 1 && k.name[0] == 'F' && k.name[1] >= '0' && k.name[1] <= '9') continue;
    out.append(k.name);
    if (!k.aliases.empty()) out.append(" (").append(k.aliases).append(")");
    out.append(", ");
  }
  out += "F1 to F12 (names in any case); C-x, Ctrl+x, Ctrl-x or ^x for a control key (C-c, C-Space); "
         "M-x or Alt+x for meta, also before a name (M-b, M-Left); S- or C- before a name that takes it "
         "(S-Tab, S-Up, C-Right, C-Delete)";
  return out;
}

}  // namespace morvik::text
