// Tests of the screen model: what libvterm is asked for (cells, wide and
// combining characters, the cursor, the alternate screen, answers to
// queries), and LazyScreen held to an eagerly fed Screen on random streams
// of what programs send, modes that persist included, so that a restart
// the scan should not have allowed shows up as a different screen, and its
// modes held to the light scan a terminal without a model follows them by.

#include "screen/feed_guard.h"
#include "screen/lazy_screen.h"
#include "screen/screen.h"
#include "text/terminal_modes.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using morvik::screen::Cursor;
using morvik::screen::FeedGuard;
using morvik::screen::Size;
using morvik::screen::LazyScreen;
using morvik::screen::Screen;
using morvik::text::ModeScan;

TEST(Screen, KeepsCellsCursorAlternateScreenAndAnswers) {
  Screen s(4, 10);
  s.feed("ab\r\n日本x\r\ne\xcc\x81   \x1b[6n\x1b[c");
  EXPECT_EQ(s.lines(), (std::vector<std::string>{"ab", "日本x", "e\xcc\x81", ""}));
  EXPECT_EQ(s.cursor(), (Cursor{2, 4}));
  EXPECT_EQ(s.take_replies().substr(0, 7), "\x1b[3;5R\x1b");
  EXPECT_EQ(s.take_replies(), "");
  s.feed("\x1b[?1049h\x1b[Hvim");
  EXPECT_TRUE(s.alternate());
  EXPECT_EQ(s.lines()[0], "vim");
  s.feed("\x1b[?1049l");
  EXPECT_FALSE(s.alternate());
  EXPECT_EQ(s.lines()[1], "日本x");
  s.resize(2, 5);
  EXPECT_EQ(s.rows(), 2);
  EXPECT_EQ(s.columns(), 5);
  EXPECT_EQ(s.lines().size(), 2u);
}

// What the guard hands libvterm (24 x 80) for what libvterm 0.1.4
// mishandles, and for the forms it must rebuild rather than pass on.
TEST(FeedGuard, HandsOnOnlyWhatLibvtermReadsSafely) {
  const std::string fifteen = "\x1b[1;2;3;4;5;6;7;8;9;10;11;12;13;14;15m";
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"\x1b[1;2;3;4;5;6;7;8;9;10;11;12;13;14;15;16;17;18;19;20m", fifteen},
      {"\x1b[305419896;2H", "\x1b[9999;2H"},
      {"\x1b[38:2::255:0:0m\x1b[48:5:17m\x1b[4:3;1m", "\x1b[38;2;255;0;0m\x1b[48;5;17m\x1b[4;1m"},
      {"\x1b[38:2:1mX", "X"},  // half a colour: dropped, not read as 38 and what follows
      {"\x1b[5b\x1b[6n", "\x1b[6n"},
      {"a\x1b[5b\x1b[b", "a\x1b[5b\x1b[b"},
      {"a\x1b[99999b", "a\x1b[2079b"},  // 25 rows of 80 and the same column
      {"a\r\x1b[5b", "a\r"},
      {"\xe4\xb8\xad\x1b[5b", "\xe4\xb8\xad"},  // only ASCII is repeated: libvterm's widths are not ours
      {"\xe4\xb7\xad\x1b[b", "\xe4\xb7\xad"},
      {"\xc2\x9b" "31m\xc2\x85", "31m"},
      {"\x1b[1\n2H\x1b[3\x1b[4m\x1b[5\x18m", "\n\x1b[12H\x1b[4mm"},
      {"\x1b[1;2?m\x1b[?25h\x1b[1 q", "\x1b[?25h\x1b[1 q"},
      {"\x1bP$qzz\x1b\\\x1bP$qm\x1b\\", "\x1bP$q\x1b\\\x1bP$qm\x1b\\"},
      {"\x1b]0;t\xe4\x01i\x07\x1b]2;u\x1b[m", "\x1b]0;ti\x07\x1b]2;u\x1b\\\x1b[m"},
      {"\x1b_apc\x1b\\\x1b^pm\x07\x1bXsos\x1b\\x", "x"},
      {"\x80\xe4\xb8" "A\xed\xa0\x80\xe4\xb8\xad", "\xef\xbf\xbd\xef\xbf\xbd" "A\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xe4\xb8\xad"},
      {"\x1b(0q\x1b(B\x1b#8\x1b c\x1b([5b\x1b)]x", "\x1b(0q\x1b(B\x1b#8\x1b c5bx"},
  };
  for (const auto& c : cases) {
    FeedGuard whole(24, 80);
    std::string out;
    whole.filter(c.in, out);
    EXPECT_EQ(out, c.out) << c.in;
    FeedGuard bytewise(24, 80);
    std::string pieces;
    for (const char ch : c.in) bytewise.filter(std::string_view(&ch, 1), pieces);
    EXPECT_EQ(pieces, c.out) << c.in;
  }
}

TEST(Screen, FitsSizesItCannotTakeAndSurvivesWhatCrashedIt) {
  const struct {
    int rows, columns;
    Size fitted;
  } sizes[] = {{24, 1, {24, 2}}, {0, 0, {1, 2}}, {65535, 65535, {15, 65535}}, {1000, 1000, {1000, 1000}}};
  for (const auto& c : sizes) {
    EXPECT_EQ(morvik::screen::fit_size(c.rows, c.columns), c.fitted) << c.rows << "x" << c.columns;
  }
  Screen s(24, 1);
  s.feed("\xe4\xb8\xad\x1b[1;2;3;4;5;6;7;8;9;10;11;12;13;14;15;16;17;18;19;20m\x1b[5b\x1b[6n");
  s.resize(3, 1);
  s.feed("\xe4\xb8\xad");
  EXPECT_EQ(s.columns(), 2);
  EXPECT_EQ(s.take_replies(), "\x1b[1;1R");
  EXPECT_EQ(s.lines().size(), 3u);
  EXPECT_EQ(s.lines()[0], "中");
  // Shrunk under text below the cursor, libvterm put the cursor above the top.
  Screen t(25, 80);
  t.feed("\x1b[2;1Habc\x1b[H");
  t.resize(1, 2);
  EXPECT_EQ(t.cursor(), (Cursor{0, 0}));
  t.feed("x");
  EXPECT_EQ(t.lines()[0], "xb");
  // A scroll region and margins past the new size: libvterm moved a
  // negative count of cells at the next alignment pattern.
  Screen u(16, 62);
  u.feed("\x1b[3r\x1b[?6h\x1b[99;99H\x1b[?69h\x1b[5;9s");
  u.resize(1, 2);
  u.feed("\x1b#8\x1b[S\x1b[L\r\n");
  EXPECT_EQ(u.lines(), (std::vector<std::string>{""}));
  // A cursor saved before a shrink: libvterm restored it outside the screen.
  Screen v(16, 62);
  v.feed("\x1b[15;60H\x1b" "7");
  v.resize(12, 40);
  v.feed("\x1b" "8x");
  EXPECT_EQ(v.lines()[11], std::string(39, ' ') + "x");
}

// Pieces of what programs send, in the proportions that make every kind of
// restart happen and every mode that forbids one get in the way.
std::string random_stream(std::mt19937& rng, std::size_t pieces) {
  static const std::vector<std::string> text = {
      "plain words here", "\x1b[1;31mred\x1b[0m text", "日本語 wide", "e\xcc\x81 combining", "tab\there",
      "progress 10%\rprogress 99%", "abc\b\bX", "\x1b]0;title\x07shown", "\x1b[K", "\x1b[3D\x1b[2P", "a line that is long enough to wrap at the right margin of a narrow screen"};
  static const std::vector<std::string> other = {
      "\x1b[H\x1b[2J", "\x1b[2J\x1b[5;3H", "\x1b[H\x1b[J", "\x1b[10;20H", "\x1b[A", "\x1b[2L", "\x1bM", "\x1b" "c",
      "\x1b[2;5r", "\x1b[r", "\x1b[?7l", "\x1b[?7h", "\x1b[4h", "\x1b[4l", "\x1b(0", "\x1b(B", "\x0e", "\x0f",
      "\x1b" "7", "\x1b" "8", "\x1bH", "\x1b[?1049h", "\x1b[?1049l", "\x1b[?25l", "\x1b[?2004h", "\x1b[6n",
      "\x1b[?6h", "\x1b[?6l", "\x1b[20h", "\x1b[20l", "\x1b[S", "\x1b[?1h", "\x1b[?1;2004l", "\x1b[!p"};
  std::string s;
  for (std::size_t k = 0; k < pieces; ++k) {
    if (rng() % 100 < 70) {
      s += text[rng() % text.size()];
      s += "\r\n";
    } else {
      s += other[rng() % other.size()];
    }
  }
  return s;
}

TEST(LazyScreen, EqualsTheEagerModelWhereverItIsLookedAt) {
  std::mt19937 rng(11);
  std::uint64_t restarts = 0;
  for (int round = 0; round < 60; ++round) {
    const int rows = 3 + static_cast<int>(rng() % 6);
    const int columns = 12 + static_cast<int>(rng() % 30);
    const std::string stream = random_stream(rng, 400 + rng() % 800);
    Screen eager(rows, columns);
    LazyScreen lazy(rows, columns, 1 + rng() % 4096);
    ModeScan light;  // the modes' scan without a model, which must agree
    std::string eager_replies;
    std::string lazy_replies;
    for (std::size_t at = 0; at < stream.size();) {
      const std::size_t piece = std::min<std::size_t>(1 + rng() % 300, stream.size() - at);
      const std::string_view bytes = std::string_view(stream).substr(at, piece);
      eager.feed(bytes);
      lazy.append(bytes);
      light.feed(bytes);
      at += piece;
      eager_replies += eager.take_replies();
      lazy_replies += lazy.take_replies();
      ASSERT_EQ(lazy_replies, eager_replies) << "round " << round << " at " << at;
      ASSERT_EQ(lazy.alternate(), eager.alternate()) << "round " << round << " at " << at;
      ASSERT_TRUE(lazy.modes() == light.modes()) << "round " << round << " at " << at;
      if (rng() % 8 == 0 || at == stream.size()) {
        const Screen& seen = lazy.screen();
        ASSERT_EQ(seen.lines(), eager.lines()) << "round " << round << " at " << at;
        ASSERT_EQ(seen.cursor(), eager.cursor()) << "round " << round << " at " << at;
      }
    }
    restarts += lazy.restarts();
  }
  EXPECT_GT(restarts, 30u) << "the streams should have let the model restart";
}

// An ESC right after an ESC starts the escape anew in a terminal: the mode
// switch after it counts, wherever the output is cut.
TEST(LazyScreen, ReadsAnEscapeAfterAStrayEscapeAsTheTerminalDoes) {
  const std::string stream = "main text\r\n\x1b\x1b[?1049h\x1b[H\x1b[2Jalt text\x1b\x1b[?1049l";
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    Screen eager(4, 20);
    LazyScreen lazy(4, 20);
    ModeScan light;
    for (const std::string_view piece : {std::string_view(stream).substr(0, cut), std::string_view(stream).substr(cut)}) {
      eager.feed(piece);
      lazy.append(piece);
      light.feed(piece);
      ASSERT_TRUE(lazy.modes() == light.modes()) << "cut at " << cut;
    }
    EXPECT_EQ(lazy.screen().lines(), eager.lines()) << "cut at " << cut;
    EXPECT_EQ(eager.lines()[0], "main text");
  }
}

TEST(LazyScreen, HoldsOnlyTheTailOfLongLineOutput) {
  LazyScreen lazy(24, 80);
  Screen eager(24, 80);
  std::string chunk;
  for (int line = 0; line < 2000; ++line) chunk += "\x1b[32mline\x1b[0m " + std::to_string(line) + " of plain output\r\n";
  for (int k = 0; k < 64; ++k) {
    lazy.append(chunk);
    if (k >= 62) eager.feed(chunk);
  }
  EXPECT_LT(lazy.held_bytes(), 256u * 1024);
  EXPECT_EQ(lazy.screen().lines(), eager.lines());
  EXPECT_EQ(lazy.screen().cursor(), eager.cursor());
}

}  // namespace

namespace {

// libvterm saves the cursor on entering the alternate screen even when it
// is there already, and a full reset keeps what was saved.
TEST(LazyScreen, KeepsTheCursorSavedOnASecondAlternateScreenEntry) {
  Screen eager(4, 32);
  LazyScreen lazy(4, 32);
  for (const char* piece : {"\x1b[?1049h", "a line long enough to wrap at the margin of this screen\r\n", "\x1b[?1049h",
                            "\x1b[?1049l", "\x1b" "c", "\x1b[?1049l"}) {
    eager.feed(piece);
    lazy.append(piece);
  }
  EXPECT_EQ(lazy.screen().cursor(), eager.cursor());
  EXPECT_EQ(eager.cursor(), (Cursor{2, 0}));
}

// A flood of 4 KiB lines on screens up to 1000 x 1000: the model is fed
// about a screenful, however tall the screen and however long the flood,
// and shows the flood's last rows.
TEST(LazyScreen, FeedsAFloodOnlyItsLastScreenful) {
  constexpr int LINE = 4095;
  const std::string line = std::string(LINE, 'x') + "\r\n";
  std::string chunk;
  for (int k = 0; k < 64; ++k) chunk += line;
  const struct {
    int rows, columns;
  } sizes[] = {{24, 80}, {200, 200}, {1000, 1000}, {999, 7}};
  for (const auto& c : sizes) {
    LazyScreen lazy(c.rows, c.columns);
    for (int k = 0; k < 64; ++k) lazy.append(chunk);  // 16 MiB
    const Screen& seen = lazy.screen();
    EXPECT_LE(lazy.fed_bytes(), 2u * c.rows * c.columns + 2u * line.size()) << c.rows << "x" << c.columns;
    // Each line takes its full rows and one with the rest; the cursor is
    // on the empty row after the last.
    std::vector<std::string> rows;
    while (rows.size() < static_cast<std::size_t>(c.rows)) {
      for (int k = 0; k < LINE / c.columns; ++k) rows.emplace_back(static_cast<std::size_t>(c.columns), 'x');
      if (LINE % c.columns != 0) rows.emplace_back(static_cast<std::size_t>(LINE % c.columns), 'x');
    }
    std::vector<std::string> expected(rows.end() - (c.rows - 1), rows.end());
    expected.push_back("");
    EXPECT_EQ(seen.lines(), expected) << c.rows << "x" << c.columns;
    EXPECT_EQ(seen.cursor(), (Cursor{c.rows - 1, 0})) << c.rows << "x" << c.columns;
  }
}

}  // namespace
