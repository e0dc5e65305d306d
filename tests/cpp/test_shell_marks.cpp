// The shell marks' scanner, fed made-up output whole, cut in two at every
// byte, and byte by byte: each split must read the same.
#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "session/shell_marks.h"

using morvik::session::ShellMarks;
using Stage = ShellMarks::Stage;

namespace {

std::string osc(const std::string& body, bool st = false) { return "\x1b]" + body + (st ? "\x1b\\" : "\a"); }
std::string own(const std::string& kind) { return osc("133;" + kind + ";morvik=n0nce"); }
const std::string PROMPT = own("A") + "$ " + osc("133;B");
const std::string RAN = PROMPT + "ls\r\n" + osc("133;C") + "out\r\n";

struct Case {
  std::string name, nonce, output;
  bool ended;  // a command ended, with this status
  std::optional<int> status;
  Stage stage;
  std::uint64_t prompts;
  std::optional<std::string> cwd;
};

const std::vector<Case> CASES = {
    {"a command's cycle", "n0nce", RAN + own("D;2") + PROMPT, true, 2, Stage::Input, 2, std::nullopt},
    {"ST ends a mark as BEL does", "", osc("133;A", true) + osc("133;B", true) + osc("133;C", true) +
     osc("133;D;7", true), true, 7, Stage::Ended, 1, std::nullopt},
    {"a D with no command before it ends none", "n0nce", PROMPT + own("D;130") + PROMPT, false, std::nullopt,
     Stage::Input, 2, std::nullopt},
    {"a D without a status ends a command of unknown status", "n0nce", RAN + own("D"), true, std::nullopt,
     Stage::Ended, 1, std::nullopt},
    {"without a nonce, a command's output cannot draw a prompt", "",
     osc("133;A") + osc("133;B") + osc("133;C") + osc("133;A") + osc("133;B"), false, std::nullopt, Stage::Running,
     1, std::nullopt},
    {"an abandoned mark is no mark", "n0nce", RAN + "\x1b]133;D;0;morvik=n0nce\x18\x1b]133;D;0;morvik=n0nce\x1b[m",
     false, std::nullopt, Stage::Running, 1, std::nullopt},
    {"the folder is percent-decoded and its host dropped", "n0nce", osc("7;file://box/tmp/a%20b%2") + PROMPT, false,
     std::nullopt, Stage::Input, 1, "/tmp/a b%2"},
    {"a folder reported inside a command is forged", "n0nce", RAN + osc("7;file://box/etc"), false, std::nullopt,
     Stage::Running, 1, std::nullopt},
    {"other escapes and a too long mark pass by", "n0nce",
     osc("0;title") + "\x1b[1m" + osc("133;A;" + std::string(5000, 'x') + ";morvik=n0nce") + RAN + own("D;0"),
     true, 0, Stage::Ended, 1, std::nullopt},
};

class ShellMarksCase : public testing::TestWithParam<Case> {};

TEST_P(ShellMarksCase, ReadsTheSameInEverySplit) {
  const Case& c = GetParam();
  std::vector<std::vector<std::string>> splits = {{c.output}, {}};
  for (char ch : c.output) splits.back().emplace_back(1, ch);
  for (std::size_t at = 1; at < c.output.size(); ++at) splits.push_back({c.output.substr(0, at), c.output.substr(at)});
  for (const auto& pieces : splits) {
    ShellMarks marks(c.nonce);
    for (const auto& piece : pieces) marks.feed(piece);
    const ShellMarks::Ended ended = marks.take_ended();
    ASSERT_EQ(std::make_tuple(ended.ended, ended.status), std::make_tuple(c.ended, c.status)) << pieces.front().size();
    ASSERT_EQ(std::make_tuple(marks.stage(), marks.prompts_drawn(), marks.cwd()), std::make_tuple(c.stage, c.prompts, c.cwd));
    ASSERT_FALSE(marks.take_ended().ended);  // taken once
  }
}

INSTANTIATE_TEST_SUITE_P(Outputs, ShellMarksCase, testing::ValuesIn(CASES), [](const auto& info) {
  std::string name;
  for (char ch : info.param.name) name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
  return name;
});

}  // namespace
