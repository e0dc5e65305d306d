// The asciicast recording: every line a JSON value a player can read, the
// text it carries exactly what the program wrote (a character cut between
// reads kept whole, ill-formed bytes as U+FFFD), and a file that stops
// taking it never blocks the terminal, is cut off with one warning, and is
// let go of at close.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "pty_test_support.h"
#include "session/cast_recorder.h"
#include "text/utf8.h"

using namespace morvik::session;
using morvik::UniqueFd;
using namespace std::chrono_literals;

namespace {

// One JSON value, read strictly enough for a recording line: a raw control
// byte, an unknown escape or a string that is no UTF-8 fails the line (and
// so does an escape past \u00ff, which a recording never needs).
struct Json {
  double number = 0;
  std::string text;               // a string, decoded
  std::vector<std::string> keys;  // an object's
  std::vector<Json> items;        // an array's elements, an object's values
  const Json* at(std::string_view key) const {
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (keys[i] == key) return &items[i];
    }
    return nullptr;
  }
};

struct JsonReader {
  std::string_view s;
  std::size_t i = 0;

  bool eat(char c) {
    while (i < s.size() && s[i] == ' ') ++i;
    if (i >= s.size() || s[i] != c) return false;
    ++i;
    return true;
  }
  bool value(Json& v) {
    if (eat('"')) return string(v.text);
    for (const char open : {'[', '{'}) {
      if (!eat(open)) continue;
      const char close = open == '[' ? ']' : '}';
      if (eat(close)) return true;
      do {
        if (open == '{' && !(eat('"') && string(v.keys.emplace_back()) && eat(':'))) return false;
        if (!value(v.items.emplace_back())) return false;
      } while (eat(','));
      return eat(close);
    }
    const std::string rest(s.substr(i));
    char* end = nullptr;
    v.number = std::strtod(rest.c_str(), &end);
    i += static_cast<std::size_t>(end - rest.c_str());
    return end != rest.c_str();
  }
  bool string(std::string& out) {
    static constexpr std::string_view ESCAPES = "\"\\/bfnrt", MEANS = "\"\\/\b\f\n\r\t";
    while (i < s.size()) {
      const auto c = static_cast<unsigned char>(s[i++]);
      if (c == '"') return morvik::text::is_well_formed_utf8(out);
      if (c < 0x20 || (c == '\\' && i >= s.size())) return false;
      if (c != '\\') {
        out.push_back(static_cast<char>(c));
      } else if (const auto k = ESCAPES.find(s[i++]); k != std::string_view::npos) {
        out.push_back(MEANS[k]);
      } else if (s[i - 1] == 'u' && s.substr(i, 2) == "00" && i + 4 <= s.size() &&
                 std::isxdigit(static_cast<unsigned char>(s[i + 2])) &&
                 std::isxdigit(static_cast<unsigned char>(s[i + 3]))) {
        morvik::text::append_utf8(out, static_cast<char32_t>(std::stoi(std::string(s.substr(i + 2, 2)), nullptr, 16)));
        i += 4;
      } else {
        return false;
      }
    }
    return false;
  }
};

std::optional<Json> read_json(std::string_view line) {
  JsonReader r{line};
  Json v;
  if (!r.value(v) || r.i != line.size()) return std::nullopt;
  return v;
}

// Every line read as JSON (one that is not fails the test), the last one
// ended too.
std::vector<Json> read_recording(const std::string& text) {
  std::vector<Json> out;
  EXPECT_TRUE(text.empty() || text.back() == '\n') << "a line was cut";
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    auto v = read_json(line);
    EXPECT_TRUE(v.has_value()) << "not JSON: " << line;
    if (v) out.push_back(std::move(*v));
  }
  return out;
}

// The recorder's writer threads alive now (a sanitizer's runtime may start
// threads of its own at any time: they are not counted).
int thread_count() {
  int n = 0;
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
    if (morvik::test::read_file(task.path() / "comm") == "morvik_cast\n") ++n;
  }
  return n;
}

}  // namespace

TEST(CastRecorderTest, EveryLineIsJsonCarryingTheTextTheProgramWrote) {
  struct Case {
    const char* name;
    std::vector<std::string> outputs;
    std::string text;  // the "o" events' texts joined
  };
  const Case cases[] = {
      {"controls", {"a\x01\x1b[31m\x7f\"\\\t\r\n\x08"}, "a\x01\x1b[31m\x7f\"\\\t\r\n\x08"},
      {"cut once", {"caf\xc3", "\xa9 ok"}, "caf\xc3\xa9 ok"},
      {"cut twice", {"\xf0\x9f", "\x98", "\x80!"}, "\xf0\x9f\x98\x80!"},
      {"ill-formed", {"a\xff\xfe" "b"}, "a\xef\xbf\xbd\xef\xbf\xbd" "b"},
      {"cut then ascii", {"\xc3", "A"}, "\xef\xbf\xbd" "A"},
      {"cut at close", {"end\xe2\x82"}, "end\xef\xbf\xbd"},
  };
  for (const Case& c : cases) {
    morvik::test::TempDir dir;
    const std::string path = dir.path() + "/rec.cast";
    {
      CastRecorder rec(UniqueFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600)), 24, 80, "xterm\"x");
      for (const auto& o : c.outputs) rec.output(o);
      rec.close();
      EXPECT_EQ(rec.take_warning(), std::nullopt) << c.name;
    }
    const auto events = read_recording(morvik::test::read_file(path));
    ASSERT_FALSE(events.empty()) << c.name;
    const Json& header = events[0];
    ASSERT_TRUE(header.at("width") && header.at("height") && header.at("env")) << c.name;
    EXPECT_EQ(header.at("width")->number, 80);
    EXPECT_EQ(header.at("height")->number, 24);
    EXPECT_EQ(header.at("env")->at("TERM")->text, "xterm\"x");
    std::string text;
    double last = 0;
    for (std::size_t i = 1; i < events.size(); ++i) {
      const auto& e = events[i].items;
      ASSERT_EQ(e.size(), 3u) << c.name;
      EXPECT_EQ(e[1].text, "o") << c.name;
      EXPECT_GE(e[0].number, last) << c.name;
      last = e[0].number;
      text += e[2].text;
    }
    EXPECT_EQ(text, c.text) << c.name;
  }
}

TEST(CastRecorderTest, InputAndResizeAreEventsOfTheirOwnInTheirPlace) {
  morvik::test::TempDir dir;
  const std::string path = dir.path() + "/rec.cast";
  CastRecorder rec(UniqueFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600)), 24, 80, "");
  rec.output("$ ");
  rec.input("ls\r");
  rec.resize(30, 100);
  rec.output("a b\r\n");
  rec.close();
  const auto events = read_recording(morvik::test::read_file(path));
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events[0].at("env"), nullptr);
  const std::pair<const char*, const char*> expected[] = {{"o", "$ "}, {"i", "ls\r"}, {"r", "100x30"}, {"o", "a b\r\n"}};
  for (std::size_t i = 0; i < 4; ++i) {
    ASSERT_EQ(events[i + 1].items.size(), 3u);
    EXPECT_EQ(events[i + 1].items[1].text, expected[i].first);
    EXPECT_EQ(events[i + 1].items[2].text, expected[i].second);
  }
}

// A file that takes nothing (a pipe nobody reads) never holds up the
// terminal: the recording is cut off, said once, and a marker line ends it;
// what reaches the file is whole lines only, after the header even when the
// writer had not run before the cut.
TEST(CastRecorderTest, FileFallingBehindIsCutOffWithOneWarning) {
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  UniqueFd read_end(ends[0]);
  CastRecorder rec(UniqueFd(ends[1]), 24, 80, "");
  const std::string chunk(8192, 'x');
  const auto before = std::chrono::steady_clock::now();
  for (std::size_t sent = 0; sent < 2 * RECORDING_BACKLOG_BYTES + (256u << 10); sent += chunk.size()) rec.output(chunk);
  EXPECT_LT(morvik::test::ms_since(before), 5000) << "recording waited for the file";
  const auto warning = rec.take_warning();
  ASSERT_TRUE(warning.has_value());
  EXPECT_NE(warning->find("cut off"), std::string::npos) << *warning;
  EXPECT_EQ(rec.take_warning(), std::nullopt);
  rec.output("after the cut");
  // Now the file takes it all: up to the marker, and nothing after it.
  std::string got = morvik::test::read_until(read_end.get(), "\"m\"", 20s);
  rec.close();
  char buf[65536];
  for (ssize_t n; (n = ::read(read_end.get(), buf, sizeof buf)) > 0;) got.append(buf, static_cast<std::size_t>(n));
  const auto events = read_recording(got);
  ASSERT_GE(events.size(), 2u);
  EXPECT_NE(events.front().at("version"), nullptr) << "the header was cut off too";
  EXPECT_EQ(events.back().items.at(1).text, "m");
  EXPECT_EQ(got.find("after the cut"), std::string::npos);
}

// A file that stops taking output, or never takes it, is let go of at
// close within its grace, with the writer thread and every descriptor.
TEST(CastRecorderTest, CloseLetsGoOfAStuckOrBrokenFile) {
  struct Case {
    const char* name;
    bool reader_gone;
    std::size_t queued;
    const char* warning;  // nullptr: none
  };
  const Case cases[] = {
      {"fits", false, 1000, nullptr},
      {"stuck", false, 512u << 10, nullptr},
      {"broken", true, 1000, "stopped"},
  };
  for (const Case& c : cases) {
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    UniqueFd read_end(ends[0]);
    if (c.reader_gone) read_end.reset();
    const int fds = morvik::test::open_fd_count();
    const int threads = thread_count();
    CastRecorder rec(UniqueFd(ends[1]), 24, 80, "");
    rec.output(std::string(c.queued, 'y'));
    if (c.warning != nullptr) {
      std::optional<std::string> warning;
      for (int i = 0; i < 1000 && !warning; ++i, std::this_thread::sleep_for(10ms)) warning = rec.take_warning();
      ASSERT_TRUE(warning.has_value()) << c.name;
      EXPECT_NE(warning->find(c.warning), std::string::npos) << *warning;
    }
    const auto before = std::chrono::steady_clock::now();
    rec.close();
    EXPECT_LT(morvik::test::ms_since(before), RECORDING_CLOSE_GRACE.count() + 2500) << c.name;
    EXPECT_EQ(morvik::test::open_fd_count(), fds - 1) << c.name;
    EXPECT_EQ(thread_count(), threads) << c.name;
    if (c.warning == nullptr) {
      EXPECT_EQ(rec.take_warning(), std::nullopt) << c.name;
    }
  }
}
