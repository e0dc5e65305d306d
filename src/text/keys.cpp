// Key encoding and cursor-key mode tracking. The tracker looks only at
// escape sequences that start with ESC, found with memchr, so a plain run of
// output costs one scan; it must never keep more than one unfinished
// sequence between chunks.
#include "keys.h"

#include <array>
#include <cstring>

namespace morvik::text {

namespace {

constexpr char ESC = '\x1b';
// Longer than any mode sequence a program sends; a longer one is no mode
// change and is not kept.
constexpr std::size_t MAX_PARTIAL_BYTES = 64;

struct NamedKey {
  std::string_view name;
  std::string_view normal;
  std::string_view application;  // empty: the same in both modes
};

constexpr std::array<NamedKey, 27> NAMED_KEYS{{
    {"Enter", "\r", ""},
    {"Tab", "\t", ""},
    {"S-Tab", "\x1b[Z", ""},
    {"Escape", "\x1b", ""},
    {"Backspace", "\x7f", ""},
    {"Space", " ", ""},
    {"Up", "\x1b[A", "\x1bOA"},
    {"Down", "\x1b[B", "\x1bOB"},
    {"Right", "\x1b[C", "\x1bOC"},
    {"Left", "\x1b[D", "\x1bOD"},
    {"Home", "\x1b[H", "\x1bOH"},
    {"End", "\x1b[F", "\x1bOF"},
    {"PageUp", "\x1b[5~", ""},
    {"PageDown", "\x1b[6~", ""},
    {"Insert", "\x1b[2~", ""},
    {"Delete", "\x1b[3~", ""},
    {"F1", "\x1bOP", ""},
    {"F2", "\x1bOQ", ""},
    {"F3", "\x1bOR", ""},
    {"F4", "\x1bOS", ""},
    {"F5", "\x1b[15~", ""},
    {"F6", "\x1b[17~", ""},
    {"F7", "\x1b[18~", ""},
    {"F8", "\x1b[19~", ""},
    {"F9", "\x1b[20~", ""},
    {"F10", "\x1b[21~", ""},
    {"F11", "\x1b[23~", ""},
}};
constexpr NamedKey F12{"F12", "\x1b[24~", ""};

std::optional<char> control_of(char c) {
  if (c >= 'a' && c <= 'z') return static_cast<char>(c - 'a' + 1);
  if (c >= '@' && c <= '_') return static_cast<char>(c - '@');  // A-Z and @ [ \ ] ^ _
  if (c == ' ') return '\0';
  if (c == '?') return '\x7f';
  return std::nullopt;
}

}  // namespace

std::optional<std::string> encode_key(std::string_view spec, bool application_cursor) {
  auto from = [&](const NamedKey& k) {
    return std::string(application_cursor && !k.application.empty() ? k.application : k.normal);
  };
  for (const NamedKey& k : NAMED_KEYS) {
    if (spec == k.name) return from(k);
  }
  if (spec == F12.name) return from(F12);
  if (spec.size() == 3 && spec.starts_with("C-")) {
    if (auto c = control_of(spec[2])) return std::string(1, *c);
    return std::nullopt;
  }
  if (spec.size() > 2 && spec.starts_with("M-")) {
    const std::string_view rest = spec.substr(2);
    std::optional<std::string> key = encode_key(rest, application_cursor);
    // A single character after M- is that character with meta.
    if (!key && rest.size() == 1) key = std::string(rest);
    if (key) return std::string(1, ESC) + *key;
  }
  return std::nullopt;
}

std::size_t CursorKeyMode::apply(std::string_view s) {
  if (s.size() < 2) return 0;
  if (s[1] == 'c') {  // full reset
    application_ = false;
    bracketed_paste_ = false;
    return 2;
  }
  if (s[1] != '[') return 1;
  std::size_t i = 2;
  const bool priv = i < s.size() && s[i] == '?';
  if (priv) ++i;
  bool names_one = false;
  bool names_paste = false;
  long param = 0;
  bool any = false;
  for (; i < s.size(); ++i) {
    const char c = s[i];
    if (c >= '0' && c <= '9') {
      param = param * 10 + (c - '0');
      if (param > 100000) param = 100000;
      any = true;
    } else if (c == ';') {
      names_one = names_one || (any && param == 1);
      names_paste = names_paste || (any && param == 2004);
      param = 0;
      any = false;
    } else if (c >= 0x20 && c <= 0x2f) {
      // intermediate bytes: CSI ! p is a soft reset
      if (c == '!' && i + 1 < s.size() && s[i + 1] == 'p') {
        application_ = false;
        return i + 2;
      }
    } else if (c >= 0x40 && c <= 0x7e) {
      names_one = names_one || (any && param == 1);
      names_paste = names_paste || (any && param == 2004);
      if (priv && names_one && (c == 'h' || c == 'l')) application_ = (c == 'h');
      if (priv && names_paste && (c == 'h' || c == 'l')) bracketed_paste_ = (c == 'h');
      return i + 1;
    } else {
      return i;  // not a CSI after all; let the byte be looked at again
    }
  }
  return 0;
}

void CursorKeyMode::feed(std::string_view output) {
  std::string joined;
  if (!partial_.empty()) {
    joined.reserve(partial_.size() + std::min(output.size(), MAX_PARTIAL_BYTES));
    joined = std::move(partial_);
    partial_.clear();
    // Only the start of the new output can complete the kept sequence; the
    // rest is scanned in place.
    const std::size_t head = std::min(output.size(), MAX_PARTIAL_BYTES);
    joined.append(output.substr(0, head));
    const std::size_t used = apply(joined);
    if (used == 0) {
      if (joined.size() < MAX_PARTIAL_BYTES) partial_ = std::move(joined);
      return;
    }
    const std::size_t kept = joined.size() - head;  // bytes of the old partial
    output.remove_prefix(used > kept ? used - kept : 0);
  }
  while (!output.empty()) {
    const void* found = std::memchr(output.data(), ESC, output.size());
    if (found == nullptr) return;
    output.remove_prefix(static_cast<const char*>(found) - output.data());
    const std::size_t used = apply(output);
    if (used == 0) {
      if (output.size() < MAX_PARTIAL_BYTES) partial_ = std::string(output);
      return;
    }
    output.remove_prefix(used);
  }
}

}  // namespace morvik::text
