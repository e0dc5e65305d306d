// The cursor-key mode as a program sets it, followed through output cut
// anywhere; the keys' bytes are checked through the Python API.
#include <gtest/gtest.h>

#include <string>

#include "text/keys.h"

namespace {

using morvik::text::CursorKeyMode;

struct ModeCase {
  const char* output;
  bool starts_in_application;
  bool ends_in_application;
};

const ModeCase MODE_CASES[] = {
    {"\x1b[?1h", false, true},
    {"\x1b[?1l", true, false},
    {"text \x1b[?1049;1h more", false, true},
    {"\x1b[?1;1049l", true, false},
    {"\x1b[?12;25h", false, false},   // other modes
    {"\x1b[?10h", false, false},      // 10 is not 1
    {"\x1b[1h", false, false},        // not private: insert mode's family
    {"\x1b[?1h\x1b[?1l\x1b[?1h", false, true},
    {"\x1b" "c", true, false},        // full reset
    {"\x1b[!p", true, false},         // soft reset
    {"\x1b[?1\x1bx\x1b[?1h", false, true},  // an abandoned sequence, then a real one
    {"\x1b]0;title \x1b[?1h\x07", false, true},
};

class CursorKeyModeTest : public ::testing::TestWithParam<ModeCase> {};

TEST_P(CursorKeyModeTest, FollowsTheModeWhereverTheOutputIsCut) {
  const ModeCase& c = GetParam();
  const std::string output = c.output;
  for (std::size_t cut = 0; cut <= output.size(); ++cut) {
    for (std::size_t second = cut; second <= output.size(); ++second) {
      CursorKeyMode mode;
      if (c.starts_in_application) mode.feed("\x1b[?1h");
      mode.feed(output.substr(0, cut));
      mode.feed(output.substr(cut, second - cut));
      mode.feed(output.substr(second));
      EXPECT_EQ(mode.application(), c.ends_in_application) << "cut at " << cut << " and " << second;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sequences, CursorKeyModeTest, ::testing::ValuesIn(MODE_CASES));

}  // namespace
