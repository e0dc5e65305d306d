// The waits' marker test must answer exactly as cleaning the window and
// searching it would, after every chunk, however the markers are broken up
// by escapes, carriage returns and chunk edges, and however far back in the
// window they lie. Driven with random output full of markers, their first
// parts and escapes inside them, against that plain search.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "base/byte_buffer.h"
#include "session/marker_watch.h"
#include "text/cleaning.h"
#include "text/utf8.h"

using morvik::ByteBuffer;
using morvik::session::MARKER_WINDOW_BYTES;
using morvik::session::MarkerWatch;

namespace {

bool plain_search(const ByteBuffer& collected, const std::vector<std::string>& markers) {
  const std::string_view all = collected.view();
  const std::size_t n = std::min(all.size(), MARKER_WINDOW_BYTES);
  const std::string window = morvik::text::sanitize_for_agent(all.substr(all.size() - n));
  for (const auto& m : markers) {
    std::string text;
    morvik::text::append_utf8_with_replacement(m, text);
    if (window.find(text) != std::string::npos) return true;
  }
  return false;
}

// Output in which each marker shows now and then: whole, cut by an escape,
// a CR or a control byte, only its first part, inside a string that hides
// it, and among plain text, colours, titles and stray bytes.
std::string random_output(std::mt19937& rng, const std::vector<std::string>& markers, std::size_t len) {
  static const std::vector<std::string> noise = {
      "plain words ", "\x1b[1;31m", "\x1b[0m", "\r\n", "\x1b]0;title\x07", "\x1b]8;;x\x1b\\", "\x1bP q\x1b\\",
      "\x1b(B", "\x07", "\x08", "\xc3\xa9", "\xe2\x94\x80", "\xff", "\x1b[", "\x1b", "\t", "\x18", "(", "$", ">",
      "\x1b]0;hidden (gdb) \x07"};
  std::uniform_int_distribution<int> what(0, 9);
  std::string s;
  while (s.size() < len) {
    const int w = what(rng);
    const std::string& m = markers[rng() % markers.size()];
    if (w < 5 || m.empty()) {
      s += noise[rng() % noise.size()];
    } else if (w < 7) {
      s += m;
    } else {
      // The marker up to some byte, then something dropped, then maybe the rest.
      const std::size_t cut = rng() % (m.size() + 1);
      s += m.substr(0, cut);
      s += noise[1 + rng() % 6];
      if (w == 7) s += m.substr(cut);
    }
    // Long runs between markers, so that some leave the window again.
    if (what(rng) == 0) s += std::string(rng() % 9000, 'x');
  }
  return s;
}

}  // namespace

TEST(MarkerWatchTest, AnswersAsTheSearchOfTheCleanedWindowAfterEveryChunk) {
  const std::vector<std::vector<std::string>> marker_lists = {
      {"(gdb) "}, {"pwndbg> ", "(gdb) "}, {"$ "}, {"\xc3\xa9> "}, {"x"}, {"\t>"},
      {"a\x1b" "b"},           // can never show: cleaning drops the ESC
      {"END> ", "\xef\xbf\xbd>"},  // U+FFFD: always cleaned
      {""},                    // the empty marker shows at once
      {"xyxyz> ", "xxxx"},     // markers that overlap themselves, and the runs of x
  };
  std::mt19937 rng(4242);
  for (const auto& markers : marker_lists) {
    for (int round = 0; round < 12; ++round) {
      const std::string out = random_output(rng, markers, 30000);
      MarkerWatch watch(markers);
      ByteBuffer collected;
      std::size_t at = 0;
      while (at < out.size()) {
        const std::size_t n = std::min<std::size_t>(out.size() - at, 1 + rng() % (round % 2 ? 64 : 5000));
        collected.append(std::string_view(out).substr(at, n));
        at += n;
        ASSERT_EQ(watch.seen(collected), plain_search(collected, markers))
            << "markers " << ::testing::PrintToString(markers) << ", after " << at << " bytes of "
            << ::testing::PrintToString(out.substr(at > 200 ? at - 200 : 0, 200));
      }
    }
  }
}
