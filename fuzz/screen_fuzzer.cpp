// libFuzzer target for the screen model fed through its guard (the
// program's bytes, split into feeds at places the input picks, with
// resizes between them at sizes the input picks). Owns the invariants the
// guard gives: libvterm never crashes, hangs or writes out of bounds; the
// cursor stays on the screen; every line is well-formed UTF-8 no wider than
// the screen; the guard's output is a fixed point of a fresh guard, so it
// holds nothing the guard itself would still rewrite; the output of a
// fragmented feed equals that of one feed; and the modes the lazy model's
// scan follows equal those of the light scan a terminal without a model
// follows them by, after every feed. Must never link Python or the
// session.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "screen/feed_guard.h"
#include "screen/lazy_screen.h"
#include "screen/screen.h"
#include "text/terminal_modes.h"
#include "text/utf8.h"

namespace {

using morvik::screen::FeedGuard;
using morvik::screen::LazyScreen;
using morvik::screen::Screen;

[[noreturn]] void fail(const char* what, std::string_view input) {
  std::fprintf(stderr, "screen invariant broken: %s\ninput (%zu bytes):", what, input.size());
  for (std::size_t i = 0; i < input.size() && i < 256; ++i) {
    std::fprintf(stderr, " %02x", static_cast<unsigned char>(input[i]));
  }
  std::fprintf(stderr, "\n");
  std::abort();
}

void check(Screen& screen, std::string_view input) {
  const auto lines = screen.lines();
  if (static_cast<int>(lines.size()) != screen.rows()) fail("line count differs from rows", input);
  for (const auto& line : lines) {
    if (!morvik::text::is_well_formed_utf8(line)) fail("a line is not well-formed UTF-8", input);
  }
  const auto c = screen.cursor();
  if (c.row < 0 || c.row >= screen.rows() || c.column < 0 || c.column > screen.columns()) {
    fail("cursor off the screen", input);
  }
  screen.take_replies();
}

}  // namespace

// Layout: byte 0 and 1 pick the first size; then chunks, each ended by the
// byte 0xFF followed by an action byte: an even one resizes to a size it
// picks, an odd one only splits the feed. Sizes stay small (up to 49 x 119,
// down to none) so that each input runs in milliseconds; the fitting of
// huge ones is the unit tests' business.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const int rows = 1 + data[0] % 40;
  const int columns = data[1] % 90;  // below the minimum too: the model fits it
  Screen screen(rows, columns);
  FeedGuard whole(screen.rows(), screen.columns());
  FeedGuard split(screen.rows(), screen.columns());
  LazyScreen lazy(rows, columns);
  morvik::text::ModeScan light;
  std::string whole_out;
  std::string split_out;
  std::string joined;
  bool resized = false;
  std::size_t i = 2;
  while (i < size) {
    std::size_t j = i;
    while (j < size && data[j] != 0xFF) ++j;
    const std::string_view chunk = input.substr(i, j - i);
    screen.feed(chunk);
    split.filter(chunk, split_out);
    joined.append(chunk);
    lazy.append(chunk);
    light.feed(chunk);
    if (!(lazy.modes() == light.modes())) fail("the two scans disagree about the modes", input);
    check(screen, input);
    if (j + 1 < size && data[j + 1] % 2 == 0) {
      const int r = data[j + 1] / 2 % 50;
      const int c = j + 2 < size ? data[j + 2] % 120 : 1;
      screen.resize(r, c);
      split.resize(screen.rows(), screen.columns());
      lazy.resize(r, c);
      resized = true;
      check(screen, input);
    }
    i = j + 2;
  }
  if (!resized) {
    whole.filter(joined, whole_out);
    if (whole_out != split_out) fail("a split feed differs from one feed", input);
    std::string again;
    FeedGuard fresh(screen.rows(), screen.columns());
    fresh.filter(whole_out, again);
    if (again != whole_out) fail("the guard's output is not a fixed point", input);
  }
  return 0;
}
