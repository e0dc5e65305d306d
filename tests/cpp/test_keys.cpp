// Which words are keys, text or refused (the cursor-key mode they depend on
// is test_terminal_modes.cpp's). The bytes of the plain
// names are checked through the Python API against a program that reads them.
#include <gtest/gtest.h>

#include <string>

#include "text/keys.h"

namespace {

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

}  // namespace
