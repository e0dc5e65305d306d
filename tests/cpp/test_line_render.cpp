// Tests of the line renderer: a table of what a terminal shows for the line
// edits programs really send, the hand-out of an unfinished line, the
// events, and agreement with the cleaner wherever a stream holds no line
// edit, fed in random pieces.

#include "text/line_render.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "text/cleaning.h"

namespace {

using morvik::text::LineRenderer;
using Kind = LineRenderer::EventKind;

// Feeds each piece; a "|" piece hands out the unfinished line there. The
// texts handed out are joined with "|" between takes.
std::string render(const std::vector<std::string>& pieces, std::size_t columns = 0) {
  LineRenderer r(columns);
  std::string out;
  for (const std::string& p : pieces) {
    if (p == "|") {
      out += r.take(true);
      out += "|";
    } else {
      r.feed(p);
    }
  }
  out += r.take(true);
  return out;
}

struct LineCase {
  const char* name;
  std::vector<std::string> pieces;
  std::string shown;
  std::size_t columns = 0;
};

class LineCases : public ::testing::TestWithParam<LineCase> {};

TEST_P(LineCases, ShowsWhatATerminalShows) {
  EXPECT_EQ(render(GetParam().pieces, GetParam().columns), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Renderer, LineCases,
    ::testing::Values(
        LineCase{"progress_bar", {"progress 10%\rprogress 55%\rprogress 100%\r\ndone\r\n"}, "progress 100%\ndone\n"},
        LineCase{"backspace", {"abc\bX\r\n"}, "abX\n"},
        LineCase{"overstrike_bold_and_underline", {"N\bNA\bAM\bME\bE _\bx_\by\r\n"}, "NAME xy\n"},
        LineCase{"erase_to_end", {"hello world\r\x1b[Kbye\r\n"}, "bye\n"},
        LineCase{"erase_to_end_after_moving_left", {"abcdef\x1b[3D\x1b[K\n"}, "abc\n"},
        LineCase{"erase_to_cursor", {"abcdef\r\x1b[2C\x1b[1K\n"}, "   def\n"},
        LineCase{"erase_line_keeps_cursor", {"abc\x1b[2KX\n"}, "   X\n"},
        LineCase{"insert_characters", {"abcdef\r\x1b[2C\x1b[2@XY\n"}, "abXYcdef\n"},
        LineCase{"delete_characters", {"abcdef\r\x1b[C\x1b[2P\n"}, "adef\n"},
        LineCase{"erase_characters", {"abcdef\r\x1b[C\x1b[2X\n"}, "a  def\n"},
        LineCase{"column_absolute", {"abcdef\x1b[3GX\x1b[8G!\n"}, "abXdef !\n"},
        LineCase{"cursor_right_past_the_end", {"ab\x1b[3Cc\x1b[5C\n"}, "ab   c\n"},
        LineCase{"tab_stops", {"a\tb\r\nabcdefghij\r\tX\r\nend\t\r\n"}, "a       b\nabcdefghXj\nend\n"},
        LineCase{"tab_after_wide_characters", {"日本\tx\n"}, "日本    x\n"},
        LineCase{"wide_character_overwritten_at_its_head", {"日本\b\bX\n"}, "日X\n"},
        LineCase{"wide_character_overwritten_at_its_tail", {"日本\bX\n"}, "日 X\n"},
        LineCase{"combining_mark_stays_with_its_base", {"e\xcc\x81x\bY\n"}, "e\xcc\x81Y\n"},
        LineCase{"readline_edit_in_place", {"$ ecko\b\b\x1b[Kho hi\r\n"}, "$ echo hi\n"},
        LineCase{"repl_redraw", {">>> d\r\x1b[K>>> de\r\x1b[K>>> def f():\r\n"}, ">>> def f():\n"},
        LineCase{"unfinished_line_continued", {"$ ", "|", "ls\r\nfile\r\n$ ", "|"}, "$ |ls\nfile\n$ |"},
        LineCase{"unfinished_line_rewritten", {"50%", "|", "\r\x1b[K100%\r\n"}, "50%|100%\n"},
        LineCase{"unfinished_line_redrawn_unchanged_continues", {">>> de", "|", "\b\bdef\r\n"}, ">>> de|f\n"},
        LineCase{"unfinished_line_changed_by_edits", {">>> de", "|", "\b\bx\r\n"}, ">>> de|>>> xe\n"},
        LineCase{"unfinished_line_taken_twice", {"ab", "|", "cd", "|", "\bX\n"}, "ab|cd|abcX\n"},
        LineCase{"escape_cut_between_feeds", {"abc\x1b[", "2Dx\n", "a\x1b]0;ti", "tle\x07", "b\x1b", "[K\n"}, "axc\nab\n"},
        LineCase{"character_cut_between_feeds", {"caf\xc3", "|", "\xa9\n"}, "caf|\xc3\xa9\n"},
        LineCase{"ill_formed_bytes_replaced", {"a\xff" "b\xe2\x82\n", "\r\x1b[Kc\xc3\b\n"}, "a\xef\xbf\xbd" "b\xef\xbf\xbd\nc\xef\xbf\xbd\n"},
        // readline's way past the margin: the next character, then CR to the new row's start
        LineCase{"shell_line_wrapping_at_the_margin", {"$ echo abcd\rdefg\r\n$ "}, "$ echo abcdefg\n$ ", 10},
        LineCase{"erase_acts_on_the_last_row", {"abcdefg\r\x1b[Kxy\r\nabcdefg\x1b[2KZ\n"}, "abcdexy\nabcde  Z\n", 5},
        LineCase{"moves_stop_at_the_margin", {"ab\x1b[20CX\tY\x1b[30GZ\n"}, "ab     Z\n", 8},
        LineCase{"wide_character_wraps_whole", {"abcd日\b\bX\n"}, "abcd X\n", 5},
        LineCase{"alternate_screen_draws_nothing_here", {"vim f\r\n\x1b[?1049hDRAWN\r\n\x1b[H~\x1b[?1049l$ \n"}, "vim f\n$ \n"}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return std::string(info.param.name); });

TEST(LineRenderer, ReportsAlternateScreenAndQueriesWhereTheyEnd) {
  LineRenderer r;
  const std::string s = "ab\x1b[6n\x1b[?1049h\x1b[c\x1b[>c\x1b[5n\x1b[?47l";
  r.feed(s);
  const std::vector<std::pair<Kind, std::size_t>> want = {
      {Kind::CursorPosition, 6},           {Kind::EnterAlternate, 14}, {Kind::DeviceAttributes, 17},
      {Kind::SecondaryDeviceAttributes, 21}, {Kind::DeviceStatus, 25},   {Kind::LeaveAlternate, 31}};
  std::vector<std::pair<Kind, std::size_t>> got;
  for (const auto& e : r.events()) got.emplace_back(e.kind, e.end);
  EXPECT_EQ(got, want);
  EXPECT_FALSE(r.alternate());
  r.feed("\x1b[?1049");
  r.feed("h");
  ASSERT_EQ(r.events().size(), 1u);
  EXPECT_EQ(r.events()[0].end, 1u);
  EXPECT_TRUE(r.alternate());
}

// Without line edits the renderer shows what the cleaner keeps, whatever
// the escapes and however the stream is cut.
TEST(LineRenderer, AgreesWithTheCleanerOnStreamsWithoutLineEdits) {
  const std::vector<std::string> alphabet = {
      "z", "word ", "é", "日本", "\xff", "\xe2\x82", "\n", "\r\n", "the long plain run of text, longer than a block\r\n", "\x1b", "[", "]", "P", "\\", "\x07", "\x18", "0", "1;",
      "?", "m", "A", "H", "J", "(", "B", "\x01", "\x7f", "\x1b[31m", "\x1b]0;t\x07", "\x1bP1$r\x1b\\", "\x1b(B"};
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    std::string stream;
    const int len = round < 290 ? 200 : 60000;
    for (int k = 0; k < len; ++k) stream += alphabet[rng() % alphabet.size()];
    stream += "\x18\n";  // CAN ends any escape left open, so the last line is whole
    LineRenderer r;
    std::string shown;
    for (std::size_t at = 0; at < stream.size();) {
      const std::size_t piece = std::min<std::size_t>(1 + rng() % 40, stream.size() - at);
      r.feed(std::string_view(stream).substr(at, piece));
      if (rng() % 4 == 0) shown += r.take();
      at += piece;
    }
    shown += r.take(true);
    ASSERT_EQ(shown, morvik::text::sanitize_for_agent(stream)) << "round " << round;
  }
}

}  // namespace
