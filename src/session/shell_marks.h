// What a shell reports of its own command cycle, read out of the terminal's
// output: where a prompt starts (OSC 133 A), where the input starts (B),
// where a command's output starts (C), how it ended (D;status), and its
// working folder (OSC 7, file://host/path). An incremental scanner: an
// escape cut by a chunk's end is taken up where the next chunk goes on, so
// it may be fed the output in any pieces, each byte once, in order.
//
// The hazard: the marks travel in the same stream as the output of the
// commands the shell runs, and a command may print any of them (`printf
// '\e]133;D;0\a'`, or a file that holds one) to make a failing command read
// as a success, or its end come early. So:
// - with a nonce, A and D count only when they carry `morvik=<nonce>`,
//   which only the shell's own hooks know (the commands it runs never
//   inherit it); B and C need none, since they count only in the order a
//   shell emits them: B right after an A, C right after a B (or an A);
// - marks are honoured in that order only, A B C D A...: between C and D
//   only a D counts, so nothing a command prints moves the cycle on but
//   the shell's own D, and a D with no C before it (an empty line, Ctrl-C
//   at the prompt) ends no command;
// - with a nonce, the folder counts only outside a command's output
//   (the shell's hooks report it before the prompt), for the same reason.
// Without a nonce (a shell that emits the marks by itself, or any program
// started as it is) every well-ordered mark counts: whoever prints them is
// taken at their word.
//
// Nothing here blocks or allocates per byte; the text the marks stand in
// is never kept (a mark longer than MAX_MARK_BYTES is no mark).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace morvik::session {

// The longest mark body read (OSC 7 carries a path); a longer one is
// skipped, not kept.
inline constexpr std::size_t MAX_MARK_BYTES = 4096;

class ShellMarks {
 public:
  // Where the shell stands, as the last mark that counted says.
  enum class Stage { Unknown, Prompt, Input, Running, Ended };

  explicit ShellMarks(std::string nonce = {}) : nonce_(std::move(nonce)) {}

  void feed(std::string_view bytes);

  Stage stage() const noexcept { return stage_; }
  // How many prompts have been drawn to their end (B marks that counted):
  // a count newer than the one seen at a wait's start, with the stage still
  // Input, means the shell waits for its next command.
  std::uint64_t prompts_drawn() const noexcept { return prompts_drawn_; }
  // Whether a command has ended since the last take, and its status (None
  // when the D mark carried none).
  struct Ended {
    bool ended = false;
    std::optional<int> status;
  };
  Ended take_ended() noexcept { return std::exchange(ended_, Ended{}); }
  // The folder last reported; nullopt until one is.
  const std::optional<std::string>& cwd() const noexcept { return cwd_; }

 private:
  enum class Scan { Ground, Escape, Body, BodyEscape, Skip, SkipEscape };

  void mark(std::string_view body);
  void semantic(std::string_view body);
  void folder(std::string_view body);
  bool carries_nonce(std::string_view params) const noexcept;

  std::string nonce_;
  Scan scan_ = Scan::Ground;
  std::string body_;  // the mark's body so far
  Stage stage_ = Stage::Unknown;
  std::uint64_t prompts_drawn_ = 0;
  Ended ended_;
  std::optional<std::string> cwd_;
};

}  // namespace morvik::session
