// The shell marks' scanner, fed made-up output in every split: what it
// must read, and what a command's own output must never make it read.
#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <string>
#include <vector>

#include "session/shell_marks.h"

using morvik::session::ShellMarks;
using Stage = ShellMarks::Stage;

namespace {

constexpr char NONCE[] = "n0nce";

std::string osc(const std::string& body, bool st = false) { return "\x1b]" + body + (st ? "\x1b\\" : "\a"); }
std::string own(const std::string& kind) { return osc("133;" + kind + ";morvik=" + NONCE); }

struct Case {
  std::string name;
  std::string nonce;
  std::string output;
  bool ended;                   // a command ended
  std::optional<int> status;    // its status
  Stage stage;
  std::uint64_t prompts;
  std::optional<std::string> cwd;
};

const std::string PROMPT = own("A") + "$ " + osc("133;B");
const std::string RAN = PROMPT + "ls\r\n" + osc("133;C") + "out\r\n";

const std::vector<Case> CASES = {
    {"a command's cycle", NONCE, RAN + own("D;2") + PROMPT, true, 2, Stage::Input, 2, std::nullopt},
    {"ST ends a mark as BEL does", "", osc("133;A", true) + osc("133;B", true) + osc("133;C", true) +
     osc("133;D;7", true), true, 7, Stage::Ended, 1, std::nullopt},
    {"a D with no command before it ends none", NONCE, PROMPT + own("D;130") + PROMPT, false, std::nullopt,
     Stage::Input, 2, std::nullopt},
    {"a D without a status ends a command of unknown status", NONCE, RAN + own("D"), true, std::nullopt,
     Stage::Ended, 1, std::nullopt},
    {"a forged D between C and D changes nothing", NONCE, RAN + osc("133;D;0") + own("D;1"), true, 1,
     Stage::Ended, 1, std::nullopt},
    {"a D with another nonce is forged", NONCE, RAN + osc("133;D;0;morvik=guess") + own("D;1"), true, 1,
     Stage::Ended, 1, std::nullopt},
    {"forged A and B inside a command draw no prompt", NONCE, RAN + osc("133;A") + osc("133;B"), false,
     std::nullopt, Stage::Running, 1, std::nullopt},
    {"without a nonce, a command's output cannot draw a prompt either", "",
     osc("133;A") + osc("133;B") + osc("133;C") + osc("133;A") + osc("133;B"), false, std::nullopt, Stage::Running,
     1, std::nullopt},
    {"an abandoned mark is no mark", NONCE, RAN + "\x1b]133;D;0;morvik=n0nce\x18" + "\x1b]133;D;0;morvik=n0nce\x1b[m",
     false, std::nullopt, Stage::Running, 1, std::nullopt},
    {"the folder is percent-decoded and its host dropped", NONCE, osc("7;file://box/tmp/a%20b%2") + PROMPT, false,
     std::nullopt, Stage::Input, 1, "/tmp/a b%2"},
    {"a folder reported inside a command is forged", NONCE, RAN + osc("7;file://box/etc"), false, std::nullopt,
     Stage::Running, 1, std::nullopt},
    {"other escapes and a too long mark pass by", NONCE,
     osc("0;title") + "\x1b[1m" + osc("133;A;" + std::string(5000, 'x') + ";morvik=n0nce") + RAN + own("D;0"),
     true, 0, Stage::Ended, 1, std::nullopt},
};

class ShellMarksCase : public testing::TestWithParam<Case> {};

TEST_P(ShellMarksCase, ReadsTheSameInEverySplit) {
  const Case& c = GetParam();
  // Whole, then cut in two at every byte, then byte by byte.
  std::vector<std::vector<std::string>> splits = {{c.output}};
  for (std::size_t at = 1; at < c.output.size(); ++at) splits.push_back({c.output.substr(0, at), c.output.substr(at)});
  std::vector<std::string> bytes;
  for (char ch : c.output) bytes.emplace_back(1, ch);
  splits.push_back(bytes);
  for (const auto& pieces : splits) {
    ShellMarks marks(c.nonce);
    for (const auto& piece : pieces) marks.feed(piece);
    const ShellMarks::Ended ended = marks.take_ended();
    ASSERT_EQ(ended.ended, c.ended) << pieces.front().size();
    ASSERT_EQ(ended.status, c.status) << pieces.front().size();
    ASSERT_EQ(marks.stage(), c.stage) << pieces.front().size();
    ASSERT_EQ(marks.prompts_drawn(), c.prompts) << pieces.front().size();
    ASSERT_EQ(marks.cwd(), c.cwd) << pieces.front().size();
    ASSERT_FALSE(marks.take_ended().ended);  // taken once
  }
}

INSTANTIATE_TEST_SUITE_P(Outputs, ShellMarksCase, testing::ValuesIn(CASES),
                         [](const testing::TestParamInfo<Case>& info) {
                           std::string name;
                           for (char ch : info.param.name) name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                           return name;
                         });

}  // namespace
