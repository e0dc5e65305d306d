// The cursor-key mode as a program sets it, followed through output cut
// anywhere; which words are keys, text or refused. The bytes of the plain
// names are checked through the Python API against a program that reads them.
#include <gtest/gtest.h>

#include <string>

#include "text/keys.h"

namespace {

using morvik::text::CursorKeyMode;
using morvik::text::EncodedKey;
using Kind = EncodedKey::Kind;

struct SpecCase {
  std::string word;
  Kind kind;
  std::string bytes;  // normal mode; for a Key only
};

const SpecCase SPEC_CASES[] = {
    // the common spellings, in any case
    {"Esc", Kind::Key, "\x1b"},
    {"ESCAPE", Kind::Key, "\x1b"},
    {"Return", Kind::Key, "\r"},
    {"enter", Kind::Key, "\r"},
    {"tab", Kind::Key, "\t"},
    {"up", Kind::Key, "\x1b[A"},
    {"f1", Kind::Key, "\x1bOP"},
    {"BSpace", Kind::Key, "\x7f"},
    {"PgUp", Kind::Key, "\x1b[5~"},
    {"PgDn", Kind::Key, "\x1b[6~"},
    {"Del", Kind::Key, "\x1b[3~"},
    {"Ins", Kind::Key, "\x1b[2~"},
    {"C-Space", Kind::Key, std::string(1, '\0')},
    {"Ctrl+C", Kind::Key, "\x03"},
    {"ctrl-c", Kind::Key, "\x03"},
    {"Control-d", Kind::Key, "\x04"},
    {"^C", Kind::Key, "\x03"},
    {"^[", Kind::Key, "\x1b"},
    {"S-Tab", Kind::Key, "\x1b[Z"},
    {"shift+tab", Kind::Key, "\x1b[Z"},
    // modifiers on named keys, as xterm sends them; meta is ESC first
    {"S-Up", Kind::Key, "\x1b[1;2A"},
    {"C-Right", Kind::Key, "\x1b[1;5C"},
    {"C-S-Home", Kind::Key, "\x1b[1;6H"},
    {"C-Delete", Kind::Key, "\x1b[3;5~"},
    {"S-F1", Kind::Key, "\x1b[1;2P"},
    {"C-F5", Kind::Key, "\x1b[15;5~"},
    {"M-x", Kind::Key, "\x1bx"},
    {"Alt+X", Kind::Key, "\x1bX"},
    {"M-C-a", Kind::Key, "\x1b\x01"},
    {"M-Left", Kind::Key, "\x1b\x1b[D"},
    {"M--", Kind::Key, "\x1b-"},
    // text: no key's shape
    {"dd", Kind::Text, ""},
    {":wq", Kind::Text, ""},
    {"Up-ish", Kind::Text, ""},
    {"C-", Kind::Text, ""},
    {"M-", Kind::Text, ""},
    {"^", Kind::Text, ""},
    {"^$", Kind::Text, ""},
    {"^foo", Kind::Text, ""},
    {"ctrl c", Kind::Text, ""},
    {"M-\xc3\xa9", Kind::Text, ""},
    {"", Kind::Text, ""},
    // a key's shape that names no key
    {"Ctrl+Q2", Kind::Invalid, ""},
    {"F13", Kind::Invalid, ""},
    {"f0", Kind::Invalid, ""},
    {"M-M-x", Kind::Invalid, ""},
    {"S-a", Kind::Invalid, ""},
    {"C-Enter", Kind::Invalid, ""},
    {"C-1", Kind::Invalid, ""},
    {"M-C-", Kind::Invalid, ""},
};

class EncodeKeyTest : public ::testing::TestWithParam<SpecCase> {};

TEST_P(EncodeKeyTest, TakesTheSpecAsKeyTextOrNeither) {
  const SpecCase& c = GetParam();
  const EncodedKey got = morvik::text::encode_key(c.word, false);
  EXPECT_EQ(static_cast<int>(got.kind), static_cast<int>(c.kind));
  EXPECT_EQ(got.bytes, c.bytes);
}

INSTANTIATE_TEST_SUITE_P(Specs, EncodeKeyTest, ::testing::ValuesIn(SPEC_CASES));

TEST(EncodeKey, ModifiersOnCursorKeysIgnoreApplicationMode) {
  EXPECT_EQ(morvik::text::encode_key("Up", true).bytes, "\x1bOA");
  EXPECT_EQ(morvik::text::encode_key("C-Up", true).bytes, "\x1b[1;5A");
  EXPECT_EQ(morvik::text::encode_key("M-Up", true).bytes, "\x1b\x1bOA");
}

TEST(EncodeKey, AnEndlessRunOfModifiersIsRefusedWithoutRecursion) {
  std::string word;
  for (int i = 0; i < 200000; ++i) word += "M-";
  word += "x";
  EXPECT_EQ(morvik::text::encode_key(word, false).kind, Kind::Invalid);
  // Distinct modifiers, as many as fit, are still a key.
  EXPECT_EQ(morvik::text::encode_key("Control+Shift+Alt+PageDown", false).bytes, "\x1b\x1b[6;6~");
}

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
