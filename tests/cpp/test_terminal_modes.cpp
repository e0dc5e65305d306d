// The terminal modes as a program sets them: what each mode number reaches,
// and the modes after a sequence, the same through the three readers that
// follow them (the light scan, the screen model's scan and, for the
// alternate screen, the line renderer), wherever the output is cut.
#include "text/terminal_modes.h"

#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>

#include "screen/lazy_screen.h"
#include "text/line_render.h"

namespace {

using morvik::screen::LazyScreen;
using morvik::text::LineRenderer;
using morvik::text::ModeChange;
using morvik::text::ModeScan;
using morvik::text::TerminalModes;
using Reach = ModeChange::Reach;

// The modes that differ from the defaults, by name, for readable failures.
std::string describe(TerminalModes m) {
  std::string s;
  if (m.application_cursor) s += " application_cursor";
  if (m.bracketed_paste) s += " bracketed_paste";
  if (m.alternate) s += " alternate";
  if (m.origin) s += " origin";
  if (!m.autowrap) s += " no_autowrap";
  if (m.reverse_wrap) s += " reverse_wrap";
  if (m.margins) s += " margins";
  if (m.insert) s += " insert";
  if (m.newline) s += " newline";
  return s.empty() ? " defaults" : s;
}

struct ChangeCase {
  bool dec_private;
  unsigned mode;
  bool on;
  Reach reach;
  bool saves_cursor;
};

const ChangeCase CHANGE_CASES[] = {
    {true, 1049, true, Reach::Screen, true},
    {true, 1049, false, Reach::Screen, false},
    {true, 1048, true, Reach::Screen, true},
    {true, 1047, true, Reach::Screen, false},
    {true, 7, false, Reach::Screen, false},
    {true, 1, true, Reach::Elsewhere, false},
    {true, 2004, true, Reach::Elsewhere, false},
    {true, 25, false, Reach::Elsewhere, false},
    {true, 3, true, Reach::Unknown, false},  // column mode: the screen is cleared
    {false, 4, true, Reach::Screen, false},
    {false, 12, true, Reach::Elsewhere, false},
    {false, 1, true, Reach::Unknown, false},
};

TEST(SetMode, SaysWhatAModeReachesAndWhenTheCursorIsSaved) {
  for (const ChangeCase& c : CHANGE_CASES) {
    TerminalModes m;
    const ModeChange got = morvik::text::set_mode(m, c.dec_private, c.mode, c.on);
    EXPECT_EQ(got.reach, c.reach) << (c.dec_private ? "?" : "") << c.mode << (c.on ? "h" : "l");
    EXPECT_EQ(got.saves_cursor, c.saves_cursor) << (c.dec_private ? "?" : "") << c.mode << (c.on ? "h" : "l");
  }
}

struct ModeCase {
  const char* name;
  const char* before;  // fed first, whole
  const char* output;  // fed cut in three, at every pair of places
  TerminalModes expected;
};

void PrintTo(const ModeCase& c, std::ostream* os) { *os << c.name; }

constexpr TerminalModes KEYS{.application_cursor = true};

const ModeCase MODE_CASES[] = {
    {"cursor keys set", "", "\x1b[?1h", KEYS},
    {"cursor keys reset", "\x1b[?1h", "\x1b[?1l", {}},
    {"two modes at once", "", "text \x1b[?1049;1h more", {.application_cursor = true, .alternate = true}},
    {"two modes reset at once", "\x1b[?1;1049h", "\x1b[?1;1049l", {}},
    {"modes not followed", "", "\x1b[?12;25h", {}},
    {"10 is not 1", "", "\x1b[?10h", {}},
    {"not private is not the cursor keys", "", "\x1b[1h", {}},
    {"the last change counts", "", "\x1b[?1h\x1b[?1l\x1b[?1h", KEYS},
    {"bracketed paste", "", "\x1b[?2004h", {.bracketed_paste = true}},
    {"the old alternate screen", "", "\x1b[?47h", {.alternate = true}},
    {"layout modes", "", "\x1b[?7l\x1b[?6;45;69h",
     {.origin = true, .autowrap = false, .reverse_wrap = true, .margins = true}},
    {"insert and newline", "", "\x1b[4;20h", {.insert = true, .newline = true}},
    {"a full reset keeps the screen in use", "\x1b[?1;2004;1049h\x1b[4h\x1b[?7l", "\x1b" "c", {.alternate = true}},
    {"a soft reset resets the cursor keys only", "\x1b[?1;2004h", "\x1b[!p", {.bracketed_paste = true}},
    {"an ESC inside a sequence abandons it and starts the next", "", "\x1b[?2004\x1b[?1h", KEYS},
    {"a command string ends at the next escape", "", "\x1b]0;title \x1b[?1h\x07", KEYS},
    {"a control byte inside is carried out", "", "\x1b[?1\nh", KEYS},
    {"an intermediate byte or another marker", "", "\x1b[?1$h\x1b[>1h", {}},
};

class ModesTest : public ::testing::TestWithParam<ModeCase> {};

TEST_P(ModesTest, FollowedAlikeWithAndWithoutAScreenModelWhereverTheOutputIsCut) {
  const ModeCase& c = GetParam();
  const std::string output = c.output;
  for (std::size_t cut = 0; cut <= output.size(); ++cut) {
    for (std::size_t second = cut; second <= output.size(); ++second) {
      ModeScan scan;
      LazyScreen lazy(24, 80);
      LineRenderer renderer;
      for (const std::string_view piece : {std::string_view(c.before), std::string_view(output).substr(0, cut),
                                           std::string_view(output).substr(cut, second - cut),
                                           std::string_view(output).substr(second)}) {
        scan.feed(piece);
        lazy.append(piece);
        renderer.feed(piece);
      }
      const std::string where = "cut at " + std::to_string(cut) + " and " + std::to_string(second);
      EXPECT_EQ(describe(scan.modes()), describe(c.expected)) << "light scan, " << where;
      EXPECT_EQ(describe(lazy.modes()), describe(c.expected)) << "screen model's scan, " << where;
      EXPECT_EQ(renderer.alternate(), c.expected.alternate) << "line renderer, " << where;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sequences, ModesTest, ::testing::ValuesIn(MODE_CASES),
                         [](const ::testing::TestParamInfo<ModeCase>& info) {
                           std::string name;
                           for (const char* c = info.param.name; *c != 0; ++c) {
                             name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                           }
                           return name;
                         });

}  // namespace
