// Tests of the line renderer: the table of what a terminal shows for the line
// edits programs really send (tests/data/line_cases.txt), the hand-out of an unfinished line, the
// events, and agreement with the cleaner wherever a stream holds no line
// edit, fed in random pieces.

#include "text/line_render.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "text/cleaning.h"

namespace {

using morvik::text::LineRenderer;

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
  std::string name;
  std::vector<std::string> pieces;
  std::string shown;
  std::size_t columns = 0;
};

// The C escapes of the case table: \n \r \b \t \\ \xNN.
std::string unescape(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    const char c = s[++i];
    if (c == 'x') {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 'b' ? '\b' : c == 't' ? '\t' : c;
    }
  }
  return out;
}

// The table both this test and the agent terminal's read (see its header).
std::vector<LineCase> line_cases() {
  std::ifstream in(LINE_CASES_FILE);
  std::vector<LineCase> cases;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> fields;
    std::stringstream split(line);
    for (std::string f; std::getline(split, f, '\t');) fields.push_back(f);
    LineCase c{fields.at(0), {}, unescape(fields.at(2)), std::stoul(fields.at(1))};
    for (std::size_t k = 3; k < fields.size(); ++k) c.pieces.push_back(unescape(fields[k]));
    cases.push_back(std::move(c));
  }
  return cases;
}

class LineCases : public ::testing::TestWithParam<LineCase> {};

TEST_P(LineCases, ShowsWhatATerminalShows) {
  EXPECT_EQ(render(GetParam().pieces, GetParam().columns), GetParam().shown);
}

TEST(LineCaseTable, IsThere) { EXPECT_GE(line_cases().size(), 30u); }

INSTANTIATE_TEST_SUITE_P(Renderer, LineCases, ::testing::ValuesIn(line_cases()),
                         [](const ::testing::TestParamInfo<LineCase>& info) { return info.param.name; });

TEST(LineRenderer, FollowsTheAlternateScreenAcrossFeeds) {
  LineRenderer r;
  r.feed("ab\x1b[6n\x1b[?1049h\x1b[c\x1b[>c\x1b[5n\x1b[?47l");
  EXPECT_FALSE(r.alternate());
  r.feed("\x1b[?1049");
  r.feed("h");
  EXPECT_TRUE(r.alternate());
}

// A caller that shows a screen once the program draws at rows of it stops
// at the move, wherever it falls (a split escape included), and keeps the
// lines that came before.
TEST(LineRenderer, StopsJustPastAMoveToARowWhenAsked) {
  const std::string s = "cmd\r\n\x1b[H\x1b[2Jtop\r\n\x1b[3;1Hlow";
  LineRenderer whole;
  EXPECT_EQ(whole.feed(s, /*stop_at_address=*/true), 8u);
  EXPECT_EQ(whole.take(false), "cmd\n");
  EXPECT_EQ(whole.feed(s.substr(8)), s.size() - 8);
  LineRenderer split;
  EXPECT_EQ(split.feed("cmd\r\n\x1b[", true), 7u);
  EXPECT_EQ(split.feed("Htop", true), 1u);
  EXPECT_EQ(split.take(false), "cmd\n");
  LineRenderer plain;
  EXPECT_EQ(plain.feed(s), s.size());
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
    for (int k = 0; k < len; ++k) {
      const std::string& piece = alphabet[rng() % alphabet.size()];
      // ESC ( 0 draws in the special graphics set, shown as box lines here.
      if (piece == "0" && stream.ends_with("\x1b(")) continue;
      // ESC ESC starts a new escape at the second ESC on a terminal; the
      // cleaner takes the two as one escape.
      if (piece[0] == '\x1b' && stream.ends_with("\x1b")) continue;
      stream += piece;
    }
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
