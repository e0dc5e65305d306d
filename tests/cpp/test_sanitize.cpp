// Tests of the cleaning routine. They hold every path (portable, SSE2, AVX2)
// and the read-end analysis to the one reference of the tests, written from
// the rules (tests/reference/cleaning_reference.h), and the reference itself
// to tables of exact texts, so that a fault in a fast path cannot hide
// behind the same fault in its checker. The waits' cleaning ahead
// (session/output_cleaner.h) is held to the cleaning of the whole here too.

#include "session/output_cleaner.h"
#include "text/cleaning.h"
#include "text/read_end.h"
#include "text/utf8.h"

#include "../reference/cleaning_reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

using morvik::text::append_utf8_with_replacement;
using morvik::text::CleanedBytes;
using morvik::text::incomplete_tail_length;
using morvik::text::MAX_HELD_TAIL_BYTES;
using morvik::text::sanitize_for_agent;
using morvik::text::strip_terminal_bytes;
using morvik::text::detail::avx2_supported;
using morvik::text::detail::clean_into_avx2;
using morvik::text::detail::clean_into_portable;
using morvik::text::detail::clean_into_sse2;
using morvik::text::detail::is_well_formed_utf8_avx2;
using morvik::text::detail::sanitize_for_agent_avx2;
using morvik::text::detail::sanitize_for_agent_portable;
using morvik::text::detail::sanitize_for_agent_sse2;
using morvik::text::detail::strip_terminal_bytes_avx2;
using morvik::text::detail::strip_terminal_bytes_portable;
using morvik::text::detail::strip_terminal_bytes_sse2;

using u8 = unsigned char;

const std::string FFFD = "\xEF\xBF\xBD";

std::string bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

// The one reference (tests/reference/cleaning_reference.h).
namespace reference = morvik::reference;

// The UTF-8 encoding of a scalar value, for texts of every width.
std::string encode(std::uint32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    s.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    s.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    s.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    s.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    s.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    s.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
  return s;
}

// What a clean_into path wrote, from a block exactly as long as the input,
// so that the sanitizer builds catch a store past it.
std::string cleaned_into(CleanedBytes (*path)(std::string_view, char*), const std::string& input,
                         CleanedBytes& got) {
  const auto room = std::make_unique<char[]>(input.size() + 1);
  got = path(input, room.get());
  return std::string(room.get(), got.size);
}

// Every clean_into path writes the stripped bytes and says truly whether
// they are the text and whether they are ASCII.
void expect_clean_into_agrees(const std::string& input, const std::string& stripped, const std::string& text) {
  const bool ascii = std::all_of(stripped.begin(), stripped.end(), [](char c) { return static_cast<u8>(c) < 0x80; });
  std::vector<CleanedBytes (*)(std::string_view, char*)> paths = {morvik::text::clean_into, clean_into_portable,
                                                                  clean_into_sse2};
  if (avx2_supported()) paths.push_back(clean_into_avx2);
  for (auto* path : paths) {
    CleanedBytes got{};
    ASSERT_EQ(cleaned_into(path, input, got), stripped) << ::testing::PrintToString(input);
    ASSERT_EQ(got.well_formed, text == stripped) << ::testing::PrintToString(input);
    ASSERT_EQ(got.ascii, ascii) << ::testing::PrintToString(input);
  }
}

// Every cleaning entry point against the references, for one input.
void expect_all_paths_agree(const std::string& input) {
  const std::string stripped = reference::strip(input);
  const std::string text = reference::decode(stripped);
  expect_clean_into_agrees(input, stripped, text);
  // The input is only printed when a check fails: printing every one would
  // cost more than the checks.
  ASSERT_EQ(strip_terminal_bytes(input), stripped) << ::testing::PrintToString(input);
  ASSERT_EQ(strip_terminal_bytes_portable(input), stripped) << ::testing::PrintToString(input);
  ASSERT_EQ(sanitize_for_agent(input), text) << ::testing::PrintToString(input);
  ASSERT_EQ(sanitize_for_agent_portable(input), text) << ::testing::PrintToString(input);
  ASSERT_EQ(strip_terminal_bytes_sse2(input), stripped) << ::testing::PrintToString(input);
  ASSERT_EQ(sanitize_for_agent_sse2(input), text) << ::testing::PrintToString(input);
  if (avx2_supported()) {
    ASSERT_EQ(strip_terminal_bytes_avx2(input), stripped) << ::testing::PrintToString(input);
    ASSERT_EQ(sanitize_for_agent_avx2(input), text) << ::testing::PrintToString(input);
  }
  std::string appended = "prefix";
  append_utf8_with_replacement(stripped, appended);
  ASSERT_EQ(appended, "prefix" + text) << ::testing::PrintToString(input);
}

// --- the edge-case table -----------------------------------------------------

struct Row {
  std::string input;
  std::string expected;
};

TEST(SanitizeTable, EveryRowOfTheCleaningTableGivesItsText) {
  const std::vector<Row> rows = {
      {bytes({0x61, 0x0D, 0x0A, 0x62}), "a\nb"},
      {bytes({0x1B, 0x5B, 0x33, 0x31, 0x6D, 0x72, 0x65, 0x64, 0x1B, 0x5B, 0x30, 0x6D}), "red"},
      {bytes({0x1B, 0x5D, 0x30, 0x3B, 0x74, 0x07, 0x24, 0x20}), "$ "},
      {bytes({0x1B, 0x5D, 0x30, 0x3B, 0x74, 0x1B, 0x5C, 0x78}), "x"},
      {bytes({0x1B, 0x50, 0x71, 0x07, 0x61, 0x1B, 0x5C, 0x62}), "b"},
      {bytes({0x78, 0x1B, 0x28, 0x42, 0x79}), "xy"},
      {bytes({0x1B, 0x1B, 0x5B, 0x33, 0x31, 0x6D}), "[31m"},
      {bytes({0x61, 0x62, 0x1B, 0x5B, 0x31, 0x32}), "ab"},
      {bytes({0x61, 0x08, 0x62, 0x09, 0x63, 0x7F}), "ab\tc\x7F"},
      {bytes({0x61, 0xFF, 0x62}), "a" + FFFD + "b"},
      {bytes({0x1B, 0x5B, 0x5B, 0x41}), "A"},
      {bytes({0x61, 0x1B}), "a"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.input));
    EXPECT_EQ(sanitize_for_agent(row.input), row.expected);
    EXPECT_EQ(sanitize_for_agent_portable(row.input), row.expected);
    EXPECT_EQ(reference::sanitize(row.input), row.expected);  // the checker itself
  }
}

// --- escape sequences ---------------------------------------------------------

TEST(SanitizeEscapes, UnterminatedSequencesDropEverythingToTheEnd) {
  EXPECT_EQ(sanitize_for_agent("a\x1b[12;"), "a");
  EXPECT_EQ(sanitize_for_agent("a\x1b]0;title with [31m inside"), "a");
  EXPECT_EQ(sanitize_for_agent("a\x1bPq#0;2;0;0;0\x07 still inside"), "a");
  EXPECT_EQ(sanitize_for_agent("a\x1b^private"), "a");
  EXPECT_EQ(sanitize_for_agent("a\x1b_application\x1b"), "a");
  EXPECT_EQ(sanitize_for_agent("a\x1b]0;t\x1b"), "a");
  EXPECT_EQ(sanitize_for_agent("a\x1b["), "a");
  EXPECT_EQ(sanitize_for_agent("a\x1b]"), "a");
}

TEST(SanitizeEscapes, BelEndsOperatingSystemCommandButNotDeviceControlStrings) {
  EXPECT_EQ(sanitize_for_agent("\x1b]2;title\x07shown"), "shown");
  EXPECT_EQ(sanitize_for_agent("\x1bPdata\x07hidden\x1b\\shown"), "shown");
  EXPECT_EQ(sanitize_for_agent("\x1b^data\x07hidden\x1b\\shown"), "shown");
  EXPECT_EQ(sanitize_for_agent("\x1b_data\x07hidden\x1b\\shown"), "shown");
  // Whichever terminator comes first ends the command.
  EXPECT_EQ(sanitize_for_agent("\x1b]0;a\x1b\\b\x07" "c"), "bc");
}

TEST(SanitizeEscapes, EscInsideCommandStringEndsItAndStartsTheNextEscape) {
  EXPECT_EQ(sanitize_for_agent("\x1b]0;a\x1b[31mb\x07" "c"), "bc");
  EXPECT_EQ(sanitize_for_agent("\x1bPa\x1bXb\x1b\\c"), "bc");
  // ESC ESC after the string is a two-byte escape of its own.
  EXPECT_EQ(sanitize_for_agent("\x1bPa\x1b\x1b\\c"), "\\c");
  // The terminator search starts right after the introducer.
  EXPECT_EQ(sanitize_for_agent("\x1b]\x1b\\x"), "x");
  EXPECT_EQ(sanitize_for_agent("\x1b]\x07x"), "x");
}

TEST(SanitizeEscapes, ControlSequenceSwallowsEveryByteUpToItsFinalByte) {
  // Control bytes, high bytes and parameters all belong to the sequence.
  EXPECT_EQ(sanitize_for_agent("\x1b[1\r\n\x07\xc3\xa9;?2 !@X"), "X");
  EXPECT_EQ(sanitize_for_agent("\x1b[?25lA\x1b[2J\x1b[1;1HB"), "AB");
  // Final bytes at both ends of the range; 0x3F and 0x7F are not final.
  EXPECT_EQ(sanitize_for_agent("\x1b[?@x"), "x");
  EXPECT_EQ(sanitize_for_agent("\x1b[\x7f~x"), "x");
  // ESC inside is a parameter byte; `[` is itself a final byte.
  EXPECT_EQ(sanitize_for_agent("\x1b[\x1b[mx"), "mx");
}

TEST(SanitizeEscapes, OtherEscapesDropExactlyTwoBytes) {
  EXPECT_EQ(sanitize_for_agent("\x1b" "=a\x1b>bc\x1b" "7d"), "abcd");
  EXPECT_EQ(sanitize_for_agent("\x1bXabc\x1b\\"), "abc");  // ESC X is no string
  EXPECT_EQ(sanitize_for_agent("\x1b\x1b\x1b\x1bz"), "z");
  EXPECT_EQ(sanitize_for_agent("\x1b\x0dz"), "z");
  // ESC eats the lead byte of a character; its continuation byte is left over.
  EXPECT_EQ(sanitize_for_agent("x\x1b\xc3\xa9y"), "x" + FFFD + "y");
}

TEST(SanitizeEscapes, IntermediatesAndCancelsEndEscapesWhereTerminalsDo) {
  const std::vector<Row> rows = {
      // tput sgr0 under TERM=xterm, and what curses, watch and top write.
      {"before\x1b(B\x1b[mafter", "beforeafter"},
      {"\x1b[H\x1b[2J\x1b(0\x1b[0m\x1b[37m\x1b[40mlqqqqk\x1b(B\x1b[39;49m\x1b[2;1H\x1b(0\x1b[0mx\x1b(B"
       "\x1b[39;49m\x1b[80G\x1b(0x\x1b(B",
       "lqqqqkxx"},
      {"\x1b[?1049h\x1b[22;0;0t\x1b[1;24r\x1b(B\x1b[m\x1b[4l\x1b[?7h\x1b[H\x1b[2JEvery 1.0s: echo hi", "Every 1.0s: echo hi"},
      {"\x1b[?1h\x1b=\x1b[?25l\x1b[H\x1b[2J\x1b(B\x1b[mtop - 13:25\x1b(B\x1b[m\x1b[39;49m\x1b[K\r\nTasks:\x1b(B\x1b[m"
       "\x1b[1m  80 \x1b(B\x1b[mtotal",
       "top - 13:25\nTasks:  80 total"},
      // Any number of intermediates; a byte outside 0x20-0x7E ends them and
      // is cleaned on its own; running out of input drops them.
      {"a\x1b# 8b\x1b %Gc", "abc"},
      {"a\x1b(\nb\x1b$\x07" "c\x1b(\xc3\xa9" "d\x1b(\x7f", "a\nbc\xc3\xa9" "d\x7f"},
      {"a\x1b(\x1b[31mb", "ab"},
      {"a\x1b( (", "a"},
      // An unterminated string ends at the next ESC, and the prompt after it shows.
      {"header \x1b]garbage\r\n\x1b[?2004hMORVIK$ ", "header MORVIK$ "},
      {"\x1b]0;a\x1b]0;b\x07" "c", "c"},
      {"\x1bPq\x1b_x\x1b\\y", "y"},
      // CAN and SUB end every kind of escape and are dropped with it.
      {"a\x1b[12\x18" "b", "ab"},
      {"a\x1b[12\x1a" "b", "ab"},
      {"a\x1b]0;t\x18" "b", "ab"},
      {"a\x1bPq\x1a" "b\x1b^\x18" "c\x1b_\x1a" "d", "abcd"},
      {"a\x1b(\x18" "b", "ab"},
      {"a\x1b\x18" "b\x1a" "c", "abc"},
      // Within a control sequence ESC is still a parameter byte.
      {"\x1b[1\x1b[mx", "mx"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.input));
    EXPECT_EQ(sanitize_for_agent(row.input), row.expected);
    EXPECT_EQ(reference::sanitize(row.input), row.expected);  // the checker itself
    expect_all_paths_agree(row.input);
  }
}

TEST(SanitizeEscapes, EightBitIntroducersAreOrdinaryBytes) {
  EXPECT_EQ(sanitize_for_agent("\x9b" "31mred"), FFFD + "31mred");
  EXPECT_EQ(sanitize_for_agent("\x9d" "0;t\x07x"), FFFD + "0;tx");
  // C1 controls written as UTF-8 are characters and survive.
  EXPECT_EQ(sanitize_for_agent("\xc2\x9b" "1m"), "\xc2\x9b" "1m");
}

TEST(SanitizeControls, KeepsTabLineFeedDelAndDropsEveryOtherC0Byte) {
  std::string all_c0;
  for (int c = 0; c < 0x20; ++c) {
    if (c != 0x1B) all_c0.push_back(static_cast<char>(c));
  }
  all_c0 += "\x7f";
  EXPECT_EQ(sanitize_for_agent(all_c0), "\t\n\x7f");
  EXPECT_EQ(sanitize_for_agent("one\r\r\ntwo\r\n"), "one\ntwo\n");
  EXPECT_EQ(sanitize_for_agent(std::string("a\0b", 3)), "ab");
}

TEST(SanitizeEscapes, SequenceCutBetweenTwoReadsLeavesItsTailInTheSecond) {
  EXPECT_EQ(sanitize_for_agent("red\x1b[3"), "red");
  EXPECT_EQ(sanitize_for_agent("1mgreen"), "1mgreen");
  EXPECT_EQ(sanitize_for_agent("red\x1b[31mgreen"), "redgreen");
}

// --- UTF-8 replacement ------------------------------------------------------

TEST(SanitizeUtf8, EachMaximalIllFormedSubpartBecomesOneReplacement) {
  const std::vector<Row> rows = {
      {bytes({0xED, 0xA0, 0x80}), FFFD + FFFD + FFFD},      // surrogate
      {bytes({0xF0, 0x9F, 0x98}), FFFD},                    // 4-byte form cut short
      {bytes({0xF0, 0x9F, 0x98, 0x41}), FFFD + "A"},
      {bytes({0xC0, 0x80}), FFFD + FFFD},                   // overlong NUL
      {bytes({0xC1, 0xBF}), FFFD + FFFD},
      {bytes({0xE0, 0x80, 0x80}), FFFD + FFFD + FFFD},      // overlong 3-byte
      {bytes({0xE0, 0xA0}), FFFD},
      {bytes({0xF0, 0x80, 0x80, 0x80}), FFFD + FFFD + FFFD + FFFD},
      {bytes({0xF4, 0x90, 0x80, 0x80}), FFFD + FFFD + FFFD + FFFD},  // above U+10FFFF
      {bytes({0xF4, 0x8F, 0xBF, 0xBF}), bytes({0xF4, 0x8F, 0xBF, 0xBF})},
      {bytes({0xF5, 0xF8, 0xFC, 0xFE, 0xFF}), FFFD + FFFD + FFFD + FFFD + FFFD},
      {bytes({0x80, 0xBF}), FFFD + FFFD},
      {bytes({0xE2, 0x82, 0xE2, 0x82, 0xAC}), FFFD + "\xE2\x82\xAC"},
      {bytes({0xC3}), FFFD},
      {bytes({0x61, 0xE2, 0x82}), "a" + FFFD},
      {bytes({0xED, 0x9F, 0xBF}), bytes({0xED, 0x9F, 0xBF})},  // U+D7FF
      {bytes({0xEF, 0xBF, 0xBD}), FFFD},                        // U+FFFD itself
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.input));
    EXPECT_EQ(sanitize_for_agent(row.input), row.expected);
    EXPECT_EQ(sanitize_for_agent_portable(row.input), row.expected);
    EXPECT_EQ(reference::decode(row.input), row.expected);
    std::string appended;
    append_utf8_with_replacement(row.input, appended);
    EXPECT_EQ(appended, row.expected);
  }
}

TEST(SanitizeUtf8, EveryOneAndTwoByteInputMatchesTheReference) {
  for (int a = 0; a < 256; ++a) {
    expect_all_paths_agree(bytes({a}));
    for (int b = 0; b < 256; ++b) {
      expect_all_paths_agree(bytes({a, b}));
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

TEST(SanitizeUtf8, EveryShortSequenceOfBoundaryBytesMatchesTheReference) {
  // The edges of every lead byte's range and of the continuation range.
  const std::vector<int> boundary = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF,
                                     0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE,
                                     0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF};
  const std::vector<int> after_lead = {0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC2, 0xF0};
  // Behind plain text, so that the decoder reaches them from an ASCII run.
  const std::string run = "0123456789abcdefgh";
  for (int a : boundary) {
    for (int b : boundary) {
      for (int c : boundary) {
        expect_all_paths_agree(run + bytes({a, b, c}));
        if (::testing::Test::HasFatalFailure()) return;
      }
    }
  }
  for (int lead : {0xE0, 0xED, 0xEF, 0xF0, 0xF1, 0xF4}) {
    for (int b : after_lead) {
      for (int c : after_lead) {
        for (int d : after_lead) {
          expect_all_paths_agree(run + bytes({lead, b, c, d}));
          if (::testing::Test::HasFatalFailure()) return;
        }
      }
    }
  }
}

TEST(SanitizeUtf8, WellFormedTextOfEveryLengthPassesUnchanged) {
  std::string text;
  for (std::uint32_t cp : {0x41u, 0xE9u, 0x7FFu, 0x800u, 0x20ACu, 0xFFFFu, 0x10000u, 0x1F600u, 0x10FFFFu}) {
    text += encode(cp);
  }
  std::string big;
  while (big.size() < 5000) big += text + "plain ascii run of text\t\n";
  EXPECT_EQ(sanitize_for_agent(big), big);
  EXPECT_EQ(sanitize_for_agent_portable(big), big);
}

// --- widening well-formed text to code units ----------------------------------

// The code points of well-formed UTF-8, the slow and obvious way.
std::vector<std::uint32_t> code_points(const std::string& utf8) {
  std::vector<std::uint32_t> out;
  for (std::size_t i = 0; i < utf8.size();) {
    const auto b = static_cast<u8>(utf8[i]);
    const std::size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    std::uint32_t cp = len == 1 ? b : b & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) cp = cp << 6 | (static_cast<u8>(utf8[i + k]) & 0x3F);
    out.push_back(cp);
    i += len;
  }
  return out;
}

template <class Unit>
std::vector<std::uint32_t> widened(const std::string& utf8, const morvik::text::Utf8Shape& shape) {
  // One unit more than needed, to see that nothing is stored past the end.
  std::vector<Unit> units(shape.characters + 1, Unit(0x5A));
  morvik::text::widen_utf8(utf8, shape, units.data());
  EXPECT_EQ(units.back(), Unit(0x5A)) << "a store past the last code unit";
  return std::vector<std::uint32_t>(units.begin(), units.end() - 1);
}

TEST(Utf8Widen, TextOfEveryWidthComesBackAsItsCodePointsInTheNarrowestUnit) {
  struct Width {
    std::vector<std::uint32_t> wide;  // characters that make the class
    std::uint32_t max_character;
    unsigned unit;
  };
  const std::vector<Width> widths = {
      {{}, 0x7F, 1},
      {{0x80, 0xE9, 0xFF}, 0xFF, 1},
      {{0x100, 0x7FF, 0x800, 0x2500, 0xFFFD, 0xFFFF}, 0xFFFF, 2},
      {{0x10000, 0x1F600, 0x10FFFF}, 0x10FFFF, 4},
  };
  std::mt19937 rng(7);
  for (const Width& w : widths) {
    for (std::size_t len = 0; len <= 200; len += 1 + len / 16) {
      for (int round = 0; round < 20; ++round) {
        // ASCII runs of every length around the 16-byte blocks, and the
        // class's characters alone or in runs between them.
        std::string text;
        std::vector<std::uint32_t> expected;
        std::uniform_int_distribution<int> coin(0, 3);
        while (expected.size() < len) {
          std::uint32_t cp = 0x20 + rng() % 0x5F;
          if (!w.wide.empty() && coin(rng) == 0) cp = w.wide[rng() % w.wide.size()];
          expected.push_back(cp);
          text += encode(cp);
        }
        if (!w.wide.empty() && len > 0 && round == 0) {
          expected.back() = w.wide.back();
          text = "";
          for (std::uint32_t cp : expected) text += encode(cp);
        }
        const auto shape = morvik::text::measure_utf8(text);
        ASSERT_EQ(shape.characters, expected.size());
        const bool has_wide = std::any_of(expected.begin(), expected.end(), [](std::uint32_t cp) { return cp >= 0x80; });
        ASSERT_EQ(shape.max_character, has_wide ? w.max_character : 0x7Fu) << ::testing::PrintToString(text);
        ASSERT_EQ(morvik::text::code_unit_bytes(shape), has_wide ? w.unit : 1u);
        ASSERT_EQ(code_points(text), expected);
        switch (morvik::text::code_unit_bytes(shape)) {
          case 1: ASSERT_EQ(widened<std::uint8_t>(text, shape), expected); break;
          case 2: ASSERT_EQ(widened<std::uint16_t>(text, shape), expected); break;
          default: ASSERT_EQ(widened<std::uint32_t>(text, shape), expected); break;
        }
      }
    }
  }
}

// --- fast paths against the references ---------------------------------------

// Inputs built mostly from the bytes the rules care about, with plain runs
// long enough to fill vector blocks in between.
std::string random_terminal_bytes(std::mt19937& rng, std::size_t len) {
  static const std::vector<int> interesting = {
      0x1B, 0x1B, 0x1B, 0x1B, '[',  '[',  ']',  ']',  '\\', '\\', 'P',  '^',  '_',  0x07,
      0x07, 0x0D, 0x0D, 0x0A, 0x0A, 0x09, 0x00, 0x08, 0x1F, 0x1C, 0x0B, '0',  ';',  '?', 0x18, 0x1A, '(',
      ' ',  '/',  0x3F, 0x40, 'm',  'A',  0x7E, 0x7F, 0x80, 0x8F, 0x90, 0x9B, 0x9F, 0xA0,
      0xBF, 0xC0, 0xC2, 0xC3, 0xDF, 0xE0, 0xE2, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF, 0x20};
  std::uniform_int_distribution<std::size_t> pick(0, interesting.size() - 1);
  std::uniform_int_distribution<int> coin(0, 9);
  std::uniform_int_distribution<std::size_t> run_len(1, 40);
  std::uniform_int_distribution<int> printable(0x20, 0x7E);
  std::string s;
  while (s.size() < len) {
    const int what = coin(rng);
    if (what == 0) {
      for (std::size_t k = run_len(rng); k > 0; --k) s.push_back(static_cast<char>(printable(rng)));
    } else if (what == 1) {
      s += "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";
    } else {
      s.push_back(static_cast<char>(interesting[pick(rng)]));
    }
  }
  s.resize(len);
  return s;
}

TEST(SanitizeFastPath, RandomTerminalBytesMatchTheReferenceForManySeedsAndLengths) {
  for (std::uint32_t seed = 1; seed <= 400; ++seed) {
    std::mt19937 rng(seed);
    for (std::size_t len = 0; len <= 300; len += 1 + seed % 7) {
      expect_all_paths_agree(random_terminal_bytes(rng, len));
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

TEST(SanitizeFastPath, RandomInputsShiftedToEveryBlockOffsetMatchTheReference) {
  std::mt19937 rng(20240601);
  for (int round = 0; round < 300; ++round) {
    const std::string body = random_terminal_bytes(rng, 1 + round % 120);
    const std::string stripped = reference::strip(body);
    const std::string text = reference::decode(stripped);
    for (std::size_t shift = 0; shift <= 33; ++shift) {
      const std::string pad(shift, 'p');
      const std::string input = pad + body;
      ASSERT_EQ(strip_terminal_bytes(input), pad + stripped) << ::testing::PrintToString(input);
      ASSERT_EQ(strip_terminal_bytes_portable(input), pad + stripped)
          << ::testing::PrintToString(input);
      ASSERT_EQ(sanitize_for_agent(input), pad + text) << ::testing::PrintToString(input);
      ASSERT_EQ(sanitize_for_agent_portable(input), pad + text) << ::testing::PrintToString(input);
      ASSERT_EQ(sanitize_for_agent_sse2(input), pad + text) << ::testing::PrintToString(input);
      if (avx2_supported()) {
        ASSERT_EQ(strip_terminal_bytes_avx2(input), pad + stripped) << ::testing::PrintToString(input);
        ASSERT_EQ(sanitize_for_agent_avx2(input), pad + text) << ::testing::PrintToString(input);
      }
    }
  }
}

TEST(SanitizeFastPath, SingleInterestingByteAtEveryPositionOfAPlainRun) {
  const std::vector<std::string> inserts = {"\x1b[1;31m", "\r", "\x07", "\t", "\n", "\x1b",
                                            "\x1b]0;t\x07", "\x1bP\x1b\\", "\x1f", " ", "\xc3\xa9",
                                            "\xa9", "\xe2\x82", "\x80", "\x9f"};
  for (const std::string& insert : inserts) {
    for (std::size_t len = 0; len <= 70; ++len) {
      for (std::size_t pos = 0; pos <= len; ++pos) {
        std::string input(len, 'x');
        for (std::size_t k = 0; k < len; ++k) input[k] = static_cast<char>('a' + k % 26);
        input.insert(pos, insert);
        expect_all_paths_agree(input);
        if (::testing::Test::HasFatalFailure()) return;
      }
    }
  }
}

TEST(SanitizeFastPath, LongTerminalLogMatchesTheReference) {
  std::mt19937 rng(7);
  std::string log;
  while (log.size() < (1u << 20)) {
    log += "\x1b[1;32muser@host\x1b[0m:\x1b[34m~/src\x1b[0m$ ls -l\r\n";
    log += "\x1b]0;title \xe2\x80\x94 term\x07";
    log += random_terminal_bytes(rng, 200);
    log += std::string(300, 'q') + "\r\n";
  }
  expect_all_paths_agree(log);
}

TEST(SanitizeFastPath, StrippedBytesNeverOutgrowTheInputAndTextIsAlwaysClean) {
  std::mt19937 rng(99);
  for (int round = 0; round < 2000; ++round) {
    const std::string input = random_terminal_bytes(rng, round % 257);
    EXPECT_LE(strip_terminal_bytes(input).size(), input.size());
    const std::string text = sanitize_for_agent(input);
    for (char ch : text) {
      const u8 c = static_cast<u8>(ch);
      ASSERT_TRUE(c >= 0x20 || c == '\t' || c == '\n') << ::testing::PrintToString(input);
    }
    EXPECT_EQ(sanitize_for_agent(text), text);  // cleaning clean text changes nothing
  }
}

// --- the 64-byte block path ---------------------------------------------------

// Mostly control sequences, back to back or with short text between, so that
// whole blocks hold nothing else; now and then one nested in another (its
// `[` is then the outer one's final byte), cut short, or mixed with the
// other kinds of escape, controls and multi-byte characters.
std::string random_sequence_heavy_bytes(std::mt19937& rng, std::size_t len) {
  static const std::vector<std::string> pieces = {
      "\x1b[0m", "\x1b[1;32m", "\x1b[38;2;255;128;0m", "\x1b[", "\x1b[?25l", "\x1b[K", "\x1b[1\x1b[2m",
      "\x1b[3\x1b\x1b[m", "\x1b[\x1b[", "\x1b[\r\n\x07;", "ab", "text ", "\xe2\x94\x80", "\xc3", "\xa9",
      "\r\n", "\x1b]0;t\x07", "\x1b]8;;x\x1b\\", "\x1b(B", "\x1b", "\x1bP1\x1b\\", "\t", "\x08",
      "\x1b(", "\x1b# ", "\x1b]0;t", "\x18", "\x1b[1\x1a", "\x1bPq"};
  std::discrete_distribution<std::size_t> pick(
      {8, 8, 6, 1, 4, 4, 1, 1, 1, 1, 6, 6, 4, 1, 1, 3, 1, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1});
  std::string s;
  while (s.size() < len) s += pieces[pick(rng)];
  s.resize(len);
  return s;
}

TEST(SanitizeBlocks, SequenceHeavyInputsMatchTheReferenceAtEveryShift) {
  std::mt19937 rng(4242);
  for (int round = 0; round < 400; ++round) {
    const std::string body = random_sequence_heavy_bytes(rng, 60 + static_cast<std::size_t>(round) % 260);
    for (std::size_t shift = 0; shift < 64; shift += 1 + static_cast<std::size_t>(round) % 3) {
      expect_all_paths_agree(std::string(shift, 'p') + body);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

TEST(SanitizeBlocks, SequencesOfEveryLengthAcrossTheBlockEdges) {
  // Each kind of escape, with bodies from empty to longer than a block,
  // starting at every offset around the first two block edges.
  const std::vector<std::pair<std::string, std::string>> kinds = {
      {"\x1b[", "m"}, {"\x1b]", "\x07"}, {"\x1b]", "\x1b\\"}, {"\x1bP", "\x1b\\"}, {"\x1b_", "\x1b\\"},
      {"\x1b[", "\x18"}, {"\x1bP", "\x1a"}, {"\x1b]", "\x1b[m"}, {"\x1b( ", "B"}, {"\x1b(", "\n"}};
  for (const auto& [open, close] : kinds) {
    for (std::size_t body = 0; body <= 70; body += 1 + body / 8) {
      for (std::size_t at = 40; at <= 132; ++at) {
        std::string input(at, 'a');
        input += open + std::string(body, '1') + close + "tail of plain text after the sequence, long enough";
        expect_all_paths_agree(input);
        // and cut short at every length, so that it never ends
        if (body % 5 == 0) expect_all_paths_agree(input.substr(0, at + open.size() + body));
        if (::testing::Test::HasFatalFailure()) return;
      }
    }
  }
}

TEST(SanitizeBlocks, EscapeInTheLastByteOfABlock) {
  // The introducer, or the backslash of a terminator, is the first byte of
  // the next block.
  for (const std::string& rest : {std::string("[31mx"), std::string("]0;t\x07x"), std::string("\\x"),
                                  std::string("Pq\x1b\\x"), std::string("(Bx"), std::string("( (Bx"),
                                  std::string("(\xc3\xa9x"), std::string("\x18x"), std::string("")}) {
    for (std::size_t at = 60; at <= 130; ++at) {
      expect_all_paths_agree(std::string(at, 'a') + "\x1b" + rest + std::string(70, 'b'));
      expect_all_paths_agree(std::string(at, 'a') + "\x1b]0;" + std::string(at % 7, 't') + "\x1b" + rest +
                             std::string(70, 'b'));
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

TEST(SanitizeBlocks, EachPathIsTheOneItSaysAndAgreesOnALongLog) {
  // The dispatching entry points pick the widest path the processor has;
  // every path must give the same text whichever one that is.
  std::mt19937 rng(11);
  std::string log;
  while (log.size() < (1u << 19)) {
    log += random_sequence_heavy_bytes(rng, 500);
    log += "\x1b[01;32muser@host\x1b[00m:\x1b[01;34m~\x1b[00m$ caf\xc3\xa9 \xe2\x96\x88\xe2\x96\x88\r\n";
  }
  const std::string text = reference::sanitize(log);
  EXPECT_EQ(sanitize_for_agent(log), text);
  EXPECT_EQ(sanitize_for_agent_sse2(log), text);
  EXPECT_EQ(sanitize_for_agent_portable(log), text);
  if (!avx2_supported()) GTEST_SKIP() << "no AVX2 on this processor: its path cannot run";
  EXPECT_EQ(sanitize_for_agent_avx2(log), text);
  EXPECT_EQ(strip_terminal_bytes_avx2(log), reference::strip(log));
}

// --- the vector UTF-8 check -----------------------------------------------------

void expect_check_agrees(const std::string& bytes) {
  ASSERT_EQ(is_well_formed_utf8_avx2(bytes), reference::well_formed(bytes)) << ::testing::PrintToString(bytes);
}

TEST(SanitizeUtf8Check, EveryShortSequenceAtEachPlaceInABlockIsJudgedRight) {
  if (!avx2_supported()) GTEST_SKIP() << "no AVX2 on this processor: its check cannot run";
  std::vector<int> edges;  // every lead, and the edges of each continuation range
  for (int b = 0xC0; b <= 0xFF; ++b) edges.push_back(b);
  for (int b : {0x00, 0x41, 0x7F, 0x80, 0x81, 0x8F, 0x90, 0x9F, 0xA0, 0xBF}) edges.push_back(b);
  // Before, across and after the edge between two 32-byte blocks, and at
  // the very end, where a cut character must count as ill formed.
  for (std::size_t at : {0u, 29u, 30u, 31u, 32u, 61u}) {
    const std::string pad(at, 'x');
    for (int a : edges) {
      for (int b : edges) {
        expect_check_agrees(pad + bytes({a, b}));
        for (int c : edges) {
          expect_check_agrees(pad + bytes({a, b, c}) + "y");
          if (::testing::Test::HasFatalFailure()) return;
        }
      }
    }
  }
}

TEST(SanitizeUtf8Check, FourByteFormsAndRandomTextAreJudgedRight) {
  if (!avx2_supported()) GTEST_SKIP() << "no AVX2 on this processor: its check cannot run";
  const std::vector<int> after = {0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC2, 0xE0, 0xF0};
  for (std::size_t at : {0u, 28u, 29u, 30u, 31u}) {
    for (int lead : {0xE0, 0xE1, 0xED, 0xEF, 0xF0, 0xF1, 0xF4, 0xF5}) {
      for (int b : after) {
        for (int c : after) {
          for (int d : after) {
            expect_check_agrees(std::string(at, 'x') + bytes({lead, b, c, d}) + "zz");
            if (::testing::Test::HasFatalFailure()) return;
          }
        }
      }
    }
  }
  // Well-formed text of every width with one byte changed somewhere.
  std::mt19937 rng(5);
  std::uniform_int_distribution<std::uint32_t> cp(0x20, 0x10FFFF);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    while (text.size() < 40 + static_cast<std::size_t>(round % 200)) {
      const std::uint32_t c = cp(rng) >> (rng() % 20);
      if (c >= 0xD800 && c <= 0xDFFF) continue;
      text += encode(c < 0x20 ? c + 0x20 : c);
    }
    expect_check_agrees(text);
    text[rng() % text.size()] = static_cast<char>(byte(rng));
    expect_check_agrees(text);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

// --- where a read may end ----------------------------------------------------

struct TailRow {
  std::string input;
  std::size_t held;
};

TEST(SanitizeTail, HoldsBackExactlyWhatLaterBytesCouldStillComplete) {
  const std::vector<TailRow> rows = {
      {"", 0},
      {"ok\xe2\x82", 2},
      {"ok\xe2\x82\xac", 0},
      {"ok\xf0\x9f\x98", 3},
      {"ok\xed\xa0", 0},  // a surrogate is ill-formed already
      {"ok\xc0", 0},
      {"ok\xe2\x82 ", 0},
      {"ok\x1b", 1},
      {"ok\x1b[3", 3},
      {"ok\x1b[31m", 0},
      {"ok\x1b[12\x18", 0},
      {"ok\x1b]0;title", 9},
      {"ok\x1b]0;title\x07", 0},
      {"ok\x1b]0;title\x1b\\", 0},
      {"ok\x1bPq\x1b\\", 0},
      {"ok\x1bPq\x07", 4},  // BEL does not end a device-control string
      {"ok\x1bPq\x1b", 1},  // the ESC has ended it and waits for its partner
      {"ok\x1b(", 2},
      {"ok\x1b(B", 0},
      {"ok\x1b\x1b[3", 0},   // ESC ESC, then text
      {"ok\x1b[1\x1b[", 0},  // the inner ESC [ is a parameter and a final byte
      // A character's bytes around an escape still make one character.
      {"ok\xe2\x82\x1b[0m", 6},
      {"ok\xe2\x1b[0m\x82", 6},
      {"ok\xe2\r\x82", 3},
      // The bound: a longer open string is cleaned where it stands.
      {"ok\x1b]" + std::string(MAX_HELD_TAIL_BYTES - 2, 'x'), MAX_HELD_TAIL_BYTES},
      {"ok\x1b]" + std::string(MAX_HELD_TAIL_BYTES - 1, 'x'), 0},
      {std::string(3 * MAX_HELD_TAIL_BYTES, 'x') + "\x1b[0m\xe2\x82", 2},
      {std::string(3 * MAX_HELD_TAIL_BYTES, 'x') + "\x1b]0;t\x1b[3", 3},
  };
  for (const TailRow& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.input.size() > 80 ? row.input.substr(0, 80) : row.input));
    EXPECT_EQ(incomplete_tail_length(row.input), row.held);
  }
}

TEST(SanitizeTail, EveryPrefixSplitsWhereCleaningThePartsEqualsCleaningTheWhole) {
  for (std::uint32_t seed = 1; seed <= 300; ++seed) {
    std::mt19937 rng(seed);
    const std::string input = seed % 2 ? random_terminal_bytes(rng, 120) : random_sequence_heavy_bytes(rng, 120);
    const std::string whole = sanitize_for_agent(input);
    for (std::size_t k = 0; k <= input.size(); ++k) {
      const std::string_view prefix = std::string_view(input).substr(0, k);
      const std::size_t held = incomplete_tail_length(prefix);
      ASSERT_EQ(held, reference::tail_length(prefix, MAX_HELD_TAIL_BYTES))
          << ::testing::PrintToString(input) << " read up to " << k;
      const std::size_t cut = k - held;
      ASSERT_EQ(sanitize_for_agent(input.substr(0, cut)) + sanitize_for_agent(input.substr(cut)), whole)
          << ::testing::PrintToString(input) << " cut at " << cut;
    }
  }
}

// --- cleaning while the output still comes -----------------------------------

// Output that grows in pieces of any size, cleaned as it comes, then cut
// back by what a read holds (an incomplete escape or character at its end)
// and finished with the cleaning of the rest, must give exactly the bytes of
// cleaning the whole. Escapes longer than the piece's tail, finished later
// or never, make the cleaner leave the rest to the end.
TEST(OutputCleanerTest, CleaningAsItComesThenTheRestEqualsCleaningTheWhole) {
  using morvik::session::OutputCleaner;
  for (std::uint32_t seed = 1; seed <= 12; ++seed) {
    std::mt19937 rng(seed);
    std::string input;
    const std::size_t len = 3 * OutputCleaner::CLEAN_AHEAD_BYTES + rng() % OutputCleaner::CLEAN_AHEAD_BYTES;
    while (input.size() < len) {
      if (seed % 4 == 1) {
        // Well-formed text of every width between escapes, so that the
        // shape has something to measure.
        for (std::uint32_t cp : {0x41u, 0xE9u, 0x2500u, 0x1F600u, 0x20u}) input += encode(cp + rng() % 3);
        input += "\x1b[3" + std::to_string(rng() % 8) + "m";
        continue;
      }
      input += seed % 2 ? random_terminal_bytes(rng, 4000) : random_sequence_heavy_bytes(rng, 4000);
      // Now and then a string longer than the tail the cleaner leaves.
      if (rng() % 300 == 0) input += "\x1b]0;" + std::string(OutputCleaner::CLEAN_TAIL_BYTES + rng() % 40000, 't') + "\x07";
    }
    if (seed % 3 == 0) input += "\x1b]0;never ends " + std::string(70000, 'u');
    morvik::ByteBuffer raw;
    morvik::ByteBuffer cleaned;
    OutputCleaner cleaner;
    for (std::size_t at = 0; at < input.size();) {
      const std::size_t n = std::min<std::size_t>(input.size() - at, 1 + rng() % 70000);
      raw.append(std::string_view(input).substr(at, n));
      at += n;
      cleaner.advance(raw.view(), cleaned);
      ASSERT_LE(cleaner.settled(), raw.size() - std::min(raw.size(), MAX_HELD_TAIL_BYTES));
    }
    raw.truncate(raw.size() - incomplete_tail_length(raw.view()));
    const std::string rest = strip_terminal_bytes(raw.view().substr(cleaner.settled()));
    const std::string whole = strip_terminal_bytes(raw.view());
    // Compared whole, reported by size: the texts run to megabytes.
    ASSERT_TRUE(std::string(cleaned.view()) + rest == whole)
        << "seed " << seed << ", settled " << cleaner.settled() << ": " << cleaned.size() + rest.size()
        << " bytes where cleaning the whole gives " << whole.size();
    const bool ascii = std::all_of(cleaned.view().begin(), cleaned.view().end(),
                                   [](char c) { return static_cast<u8>(c) < 0x80; });
    ASSERT_EQ(cleaner.ascii(), ascii);
    ASSERT_GT(cleaner.settled(), 0u) << "nothing was cleaned ahead";
    // The shape it measured piece by piece is that of the whole text.
    const auto shape = cleaner.shape(whole);
    ASSERT_EQ(shape.has_value(), reference::decode(whole) == whole) << "seed " << seed;
    if (seed % 4 == 1) ASSERT_TRUE(shape.has_value()) << "seed " << seed;
    if (shape) {
      const auto expected = morvik::text::measure_utf8(whole);
      EXPECT_EQ(shape->characters, expected.characters) << "seed " << seed;
      EXPECT_EQ(shape->max_character, expected.max_character) << "seed " << seed;
    }
  }
}

}  // namespace
