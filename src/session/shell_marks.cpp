// The marks' scanner and the order they are honoured in. Must never keep
// more of a mark than MAX_MARK_BYTES, nor act on a mark whose end has not
// come (an escape abandoned by CAN, SUB or another ESC is no mark, as a
// terminal takes it).
#include "shell_marks.h"

#include <cstring>

namespace morvik::session {

namespace {

constexpr char ESC = 0x1b;
constexpr char BEL = 0x07;
constexpr char CAN = 0x18;
constexpr char SUB = 0x1a;
constexpr std::string_view SEMANTIC = "133;";
constexpr std::string_view FOLDER = "7;";
constexpr std::string_view NONCE_KEY = "morvik=";
// A status longer than this is no exit status.
constexpr std::size_t MAX_STATUS_DIGITS = 9;

// Whether `body`, still being read, may yet become a mark of ours: the
// others (titles, hyperlinks, clipboard) are skipped without being kept.
bool may_be_mark(std::string_view body) noexcept {
  auto fits = [&](std::string_view kind) {
    return body.size() <= kind.size() ? kind.starts_with(body) : body.starts_with(kind);
  };
  return fits(SEMANTIC) || fits(FOLDER);
}

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

void ShellMarks::feed(std::string_view bytes) {
  const char* p = bytes.data();
  const char* const end = p + bytes.size();
  while (p != end) {
    const char c = *p;
    switch (scan_) {
      case Scan::Ground: {
        // Most output holds no escape at all: skip to the next one.
        const void* esc = std::memchr(p, ESC, static_cast<std::size_t>(end - p));
        if (esc == nullptr) return;
        p = static_cast<const char*>(esc) + 1;
        scan_ = Scan::Escape;
        continue;
      }
      case Scan::Escape:
        if (c == ']') {
          body_.clear();
          scan_ = Scan::Body;
        } else if (c != ESC) {
          scan_ = Scan::Ground;
        }
        break;
      case Scan::Body:
        if (c == BEL) {
          mark(body_);
          scan_ = Scan::Ground;
        } else if (c == ESC) {
          scan_ = Scan::BodyEscape;
        } else if (c == CAN || c == SUB) {
          scan_ = Scan::Ground;
        } else if (body_.size() >= MAX_MARK_BYTES) {
          scan_ = Scan::Skip;
        } else {
          body_.push_back(c);
          if (body_.size() <= SEMANTIC.size() && !may_be_mark(body_)) scan_ = Scan::Skip;
        }
        break;
      case Scan::Skip:
        if (c == ESC) {
          scan_ = Scan::SkipEscape;
        } else if (c == BEL || c == CAN || c == SUB) {
          scan_ = Scan::Ground;
        }
        break;
      case Scan::BodyEscape:
      case Scan::SkipEscape:
        if (c == '\\') {
          if (scan_ == Scan::BodyEscape) mark(body_);
          scan_ = Scan::Ground;
        } else {
          // Any other ESC ends the string unfinished and starts the next
          // escape: this byte is that escape's introducer.
          scan_ = Scan::Escape;
          continue;
        }
        break;
    }
    ++p;
  }
}

void ShellMarks::mark(std::string_view body) {
  if (body.starts_with(SEMANTIC)) {
    semantic(body.substr(SEMANTIC.size()));
  } else if (body.starts_with(FOLDER)) {
    folder(body.substr(FOLDER.size()));
  }
}

bool ShellMarks::carries_nonce(std::string_view params) const noexcept {
  if (nonce_.empty()) return true;
  while (!params.empty()) {
    const std::size_t semi = params.find(';');
    const std::string_view field = params.substr(0, semi);
    if (field.starts_with(NONCE_KEY) && field.substr(NONCE_KEY.size()) == nonce_) return true;
    if (semi == std::string_view::npos) break;
    params.remove_prefix(semi + 1);
  }
  return false;
}

void ShellMarks::semantic(std::string_view body) {
  if (body.empty() || (body.size() > 1 && body[1] != ';')) return;
  const char kind = body[0];
  const std::string_view params = body.size() > 1 ? body.substr(2) : std::string_view();
  // With a nonce, the shell's own A and D are told by it wherever they come;
  // without one, only their order tells, and a command's output (between C
  // and D) can move nothing but to D.
  const bool own = !nonce_.empty();
  switch (kind) {
    case 'A':
      if (!carries_nonce(params)) return;
      if (own || stage_ != Stage::Running) stage_ = Stage::Prompt;
      return;
    case 'B':
      if (stage_ != Stage::Prompt) return;
      stage_ = Stage::Input;
      ++prompts_drawn_;
      return;
    case 'C':
      if (stage_ == Stage::Prompt || stage_ == Stage::Input) stage_ = Stage::Running;
      return;
    case 'D': {
      if (!carries_nonce(params)) return;
      if (stage_ == Stage::Running) {
        std::optional<int> status;
        const std::string_view first = params.substr(0, params.find(';'));
        if (!first.empty() && first.size() <= MAX_STATUS_DIGITS &&
            first.find_first_not_of("0123456789") == std::string_view::npos) {
          int value = 0;
          for (char d : first) value = value * 10 + (d - '0');
          status = value;
        }
        ended_ = {true, status};
      }
      // A D with no command before it (an empty line, Ctrl-C at the
      // prompt) ends none, yet closes the cycle all the same.
      stage_ = Stage::Ended;
      return;
    }
    default:
      return;
  }
}

void ShellMarks::folder(std::string_view body) {
  if (!nonce_.empty() && stage_ == Stage::Running) return;
  constexpr std::string_view SCHEME = "file://";
  if (!body.starts_with(SCHEME)) return;
  body.remove_prefix(SCHEME.size());
  const std::size_t slash = body.find('/');
  if (slash == std::string_view::npos) return;
  body.remove_prefix(slash);  // the host goes: the folder is the shell's, on its machine
  std::string path;
  path.reserve(body.size());
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body[i] == '%' && i + 2 < body.size() && hex_value(body[i + 1]) >= 0 && hex_value(body[i + 2]) >= 0) {
      path.push_back(static_cast<char>(hex_value(body[i + 1]) * 16 + hex_value(body[i + 2])));
      i += 2;
    } else {
      path.push_back(body[i]);
    }
  }
  cwd_ = std::move(path);
}

}  // namespace morvik::session
