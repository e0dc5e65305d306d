// The ready rule, driven by made-up event sequences with made-up times: no
// terminal, no clock, so every case runs the same on a loaded machine. Each
// step reports one event and says what the rule must ask for next.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "session/ready_rule.h"

using morvik::session::ReadyRule;
using morvik::session::WaitEnd;
using Do = ReadyRule::Do;
using Kernel = ReadyRule::Kernel;

namespace {

enum class Ev { None, Output, PromptOutput, Nothing, ChildEnded, OutputEnded, Cancel, Cap, Confirmed, NotConfirmed,
                PromptGone, Asked, ShellPrompt };

struct Step {
  Ev ev;
  long at_us;  // when it happened, and when next() is asked
  Kernel answer;  // for Asked
  Do what;        // expected
  WaitEnd end;    // expected, for End
  long until_us;  // expected, for Wait (-1: not checked)
  bool just_taken = false;  // expected, for ConfirmPrompt
};

struct Case {
  std::string name;
  long deadline_us;
  std::optional<std::uint64_t> quiet_ms;
  bool prompts;
  std::vector<Step> steps;
  bool child_exited = false;
};

constexpr long FOREVER = 1000000000;  // 1000 s
constexpr auto W = Do::Wait;
constexpr auto E = Do::End;
constexpr auto C = Do::ConfirmPrompt;
constexpr auto A = Do::AskKernel;
constexpr auto R = WaitEnd::Ready;
constexpr auto X = WaitEnd::Timeout;  // unused for non-End steps
constexpr auto K = Kernel::Busy;      // unused for non-Asked steps

const std::vector<Case> CASES = {
    {"a confirmed prompt ends ready", FOREVER, std::nullopt, true,
     {{Ev::PromptOutput, 100, K, C, X, -1, true}, {Ev::Confirmed, 100, K, E, R, -1}}},
    {"an unconfirmed prompt is looked at again a gap later", FOREVER, std::nullopt, true,
     {{Ev::PromptOutput, 100, K, C, X, -1, true},
      {Ev::NotConfirmed, 110, K, W, X, 350},
      {Ev::Nothing, 349, K, W, X, 350},
      {Ev::Nothing, 350, K, C, X, -1, false},
      {Ev::Confirmed, 120, K, E, R, -1}}},
    {"a prompt that stays unconfirmed leaves the question to the kernel", FOREVER, std::nullopt, true,
     {{Ev::PromptOutput, 0, K, C, X, -1, true},
      {Ev::NotConfirmed, 0, K, W, X, 250},
      {Ev::Nothing, 250, K, C, X, -1, false},
      {Ev::NotConfirmed, 260, K, A, X, -1},
      {Ev::Asked, 260, Kernel::Waiting, E, R, -1}}},
    {"output without a prompt: the kernel is asked as soon as nothing more comes", FOREVER, std::nullopt, false,
     {{Ev::Output, 100, K, W, X, 100},
      {Ev::Nothing, 100, K, A, X, -1},
      {Ev::Asked, 101, Kernel::Waiting, E, R, -1}}},
    {"new output brings the question forward and restarts the gaps", FOREVER, std::nullopt, false,
     {{Ev::Nothing, 0, K, A, X, -1},
      {Ev::Asked, 0, Kernel::Busy, W, X, 50},
      {Ev::Nothing, 50, K, A, X, -1},
      {Ev::Asked, 50, Kernel::Busy, W, X, 150},
      {Ev::Output, 300, K, W, X, 300},
      {Ev::Nothing, 300, K, A, X, -1},
      {Ev::Asked, 300, Kernel::Busy, W, X, 350}}},
    {"a busy program is asked at gaps that double up to the longest", FOREVER, std::nullopt, false,
     {{Ev::Nothing, 0, K, A, X, -1},
      {Ev::Asked, 0, Kernel::Busy, W, X, 50},
      {Ev::Nothing, 49, K, W, X, 50},
      {Ev::Nothing, 50, K, A, X, -1},
      {Ev::Asked, 50, Kernel::Busy, W, X, 150},
      {Ev::Nothing, 150, K, A, X, -1},
      {Ev::Asked, 150, Kernel::Busy, W, X, 350},
      {Ev::Nothing, 350, K, A, X, -1},
      {Ev::Asked, 350, Kernel::Busy, W, X, 750},
      {Ev::Nothing, 750, K, A, X, -1},
      {Ev::Asked, 750, Kernel::Busy, W, X, 1550},
      {Ev::Nothing, 1550, K, A, X, -1},
      {Ev::Asked, 1550, Kernel::Busy, W, X, 3150},
      {Ev::Nothing, 3150, K, A, X, -1},
      {Ev::Asked, 3150, Kernel::Busy, W, X, 6350},
      {Ev::Nothing, 6350, K, A, X, -1},
      {Ev::Asked, 6350, Kernel::Busy, W, X, 12750},
      {Ev::Nothing, 12750, K, A, X, -1},
      {Ev::Asked, 12750, Kernel::Busy, W, X, 24750},
      {Ev::Nothing, 24750, K, A, X, -1},
      {Ev::Asked, 24750, Kernel::Busy, W, X, 36750}}},
    {"flowing output is not asked about and does not back off", FOREVER, std::nullopt, false,
     {{Ev::Nothing, 0, K, A, X, -1},
      {Ev::Asked, 50, Kernel::Flowing, W, X, 100},
      {Ev::Nothing, 100, K, A, X, -1},
      {Ev::Asked, 100, Kernel::Interrupted, W, X, 150}}},
    {"a program reading the answer to its own query is asked again soon", FOREVER, std::nullopt, false,
     {{Ev::Nothing, 0, K, A, X, -1},
      {Ev::Asked, 0, Kernel::Busy, W, X, 50},
      {Ev::Nothing, 50, K, A, X, -1},
      {Ev::Asked, 50, Kernel::Busy, W, X, 150},
      {Ev::Nothing, 150, K, A, X, -1},
      {Ev::Asked, 160, Kernel::Answering, W, X, 210},
      {Ev::Nothing, 210, K, A, X, -1},
      {Ev::Asked, 210, Kernel::Busy, W, X, 260}}},
    {"where the kernel cannot tell, a quiet gap ends a wait without prompts", FOREVER, std::nullopt, false,
     {{Ev::Output, 0, K, W, X, 0},
      {Ev::Nothing, 0, K, A, X, -1},
      {Ev::Asked, 0, Kernel::Unknown, W, X, 300000},
      {Ev::Nothing, 299999, K, W, X, 300000},
      {Ev::Nothing, 300000, K, E, WaitEnd::Quiet, -1}}},
    {"where the kernel cannot tell, prompts still decide and no quiet gap ends", FOREVER, std::nullopt, true,
     {{Ev::Output, 0, K, W, X, 250},
      {Ev::Nothing, 250, K, A, X, -1},
      {Ev::Asked, 250, Kernel::Unknown, W, X, FOREVER},
      {Ev::PromptOutput, 400000, K, C, X, -1, true},
      {Ev::NotConfirmed, 400000, K, W, X, 400250},
      {Ev::Nothing, 400250, K, C, X, -1, false},
      {Ev::NotConfirmed, 400250, K, W, X, 400300},
      {Ev::Nothing, 400300, K, C, X, -1, false},
      {Ev::NotConfirmed, 400300, K, W, X, 400400},
      {Ev::Nothing, 400400, K, C, X, -1, false},
      {Ev::Confirmed, 400400, K, E, R, -1}}},
    {"the caller's quiet gap ends a wait without prompts, counted from the last output", FOREVER, 1, false,
     {{Ev::Output, 0, K, W, X, 0},
      {Ev::Nothing, 0, K, A, X, -1},
      {Ev::Asked, 0, Kernel::Busy, W, X, 50},
      {Ev::Output, 500, K, W, X, 500},
      {Ev::Nothing, 500, K, A, X, -1},
      {Ev::Asked, 500, Kernel::Busy, W, X, 550},
      {Ev::Nothing, 1499, K, A, X, -1},
      {Ev::Asked, 1499, Kernel::Busy, W, X, 1500},
      {Ev::Nothing, 1500, K, E, WaitEnd::Quiet, -1}}},
    {"no quiet end before any output", FOREVER, 1, false,
     {{Ev::Nothing, 0, K, A, X, -1}, {Ev::Asked, 0, Kernel::Busy, W, X, 50}, {Ev::Nothing, 5000, K, A, X, -1}}},
    {"no quiet end with prompts given, and the kernel asked a while after output", FOREVER, 1, true,
     {{Ev::Output, 0, K, W, X, 250},
      {Ev::Nothing, 0, K, W, X, 250},
      {Ev::Nothing, 250, K, A, X, -1},
      {Ev::Asked, 250, Kernel::Busy, W, X, 300},
      {Ev::Nothing, 5000, K, A, X, -1}}},
    {"the deadline bounds every wait and ends with a timeout", 600, std::nullopt, false,
     {{Ev::Output, 500, K, W, X, 500},
      {Ev::Nothing, 500, K, A, X, -1},
      {Ev::Asked, 500, Kernel::Busy, W, X, 550},
      {Ev::Nothing, 550, K, A, X, -1},
      {Ev::Asked, 550, Kernel::Busy, W, X, 600},
      {Ev::Nothing, 600, K, E, WaitEnd::Timeout, -1}}},
    {"the child's end: what is queued is taken first, then exited", FOREVER, std::nullopt, false,
     {{Ev::ChildEnded, 10, K, W, X, 10},
      {Ev::Output, 20, K, W, X, 20},
      {Ev::Nothing, 30, K, E, WaitEnd::Exited, -1}}},
    {"a child already ended when the wait began", FOREVER, std::nullopt, true,
     {{Ev::None, 0, K, W, X, 0}, {Ev::Nothing, 0, K, E, WaitEnd::Exited, -1}}, true},
    {"the output's end ends the wait as exited", FOREVER, std::nullopt, false,
     {{Ev::OutputEnded, 5, K, E, WaitEnd::Exited, -1}}},
    {"a cancel wins over the end it causes", FOREVER, std::nullopt, false,
     {{Ev::Cancel, 5, K, E, WaitEnd::Cancelled, -1}, {Ev::OutputEnded, 6, K, E, WaitEnd::Cancelled, -1}}},
    {"a decided ready wins over a cancel after it", FOREVER, std::nullopt, true,
     {{Ev::PromptOutput, 0, K, C, X, -1, true},
      {Ev::Confirmed, 0, K, E, R, -1},
      {Ev::Cancel, 1, K, E, R, -1},
      {Ev::Cap, 1, K, E, R, -1}}},
    {"the cap ends the wait", FOREVER, std::nullopt, false, {{Ev::Cap, 0, K, E, WaitEnd::Cap, -1}}},
    {"a prompt the shell drew ends ready without asking the kernel", FOREVER, std::nullopt, false,
     {{Ev::Output, 100, K, W, X, 100}, {Ev::ShellPrompt, 100, K, E, R, -1}}},
    {"a shell's prompt after the wait's end changes nothing", FOREVER, std::nullopt, false,
     {{Ev::Cap, 0, K, E, WaitEnd::Cap, -1}, {Ev::ShellPrompt, 1, K, E, WaitEnd::Cap, -1}}},
    {"a drain that took the prompt away goes back to waiting", FOREVER, std::nullopt, true,
     {{Ev::PromptOutput, 0, K, C, X, -1, true},
      {Ev::PromptGone, 0, K, W, X, 250},
      {Ev::Nothing, 250, K, A, X, -1}}},
    {"a relay's word that the program behind it waits counts a gap after the last output", FOREVER, std::nullopt,
     false,
     {{Ev::Output, 100, K, W, X, 100},
      {Ev::Nothing, 100, K, A, X, -1},
      {Ev::Asked, 110, Kernel::WaitingBehindRelay, W, X, 350},
      {Ev::Nothing, 350, K, A, X, -1},
      {Ev::Asked, 350, Kernel::WaitingBehindRelay, E, R, -1}}},
    {"a reader of keys left on an empty line ends quiet, output or not, unless a prompt follows", FOREVER,
     std::nullopt, false,
     {{Ev::Nothing, 0, K, A, X, -1},
      {Ev::Asked, 10, Kernel::WaitingUnsure, W, X, 60},
      {Ev::Nothing, 300000, K, E, WaitEnd::Quiet, -1}}},
    {"... and a later plain waiting is ready", FOREVER, std::nullopt, false,
     {{Ev::Output, 100, K, W, X, 100},
      {Ev::Nothing, 100, K, A, X, -1},
      {Ev::Asked, 110, Kernel::WaitingUnsure, W, X, 160},
      {Ev::Output, 200000, K, W, X, 200000},
      {Ev::Nothing, 200000, K, A, X, -1},
      {Ev::Asked, 200010, Kernel::Waiting, E, R, -1}}},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class ReadyRuleCase : public testing::TestWithParam<Case> {};

TEST_P(ReadyRuleCase, AsksForWhatTheEventsCallFor) {
  const Case& c = GetParam();
  const ReadyRule::Clock::time_point t0{std::chrono::hours(1)};
  auto at = [&](long us) { return t0 + std::chrono::microseconds(us); };
  ReadyRule rule({t0, at(c.deadline_us), c.quiet_ms, c.prompts, c.child_exited});
  for (std::size_t i = 0; i < c.steps.size(); ++i) {
    const Step& s = c.steps[i];
    switch (s.ev) {
      case Ev::None: break;
      case Ev::Output: rule.output(at(s.at_us), false); break;
      case Ev::PromptOutput: rule.output(at(s.at_us), true); break;
      case Ev::Nothing: rule.nothing_came(at(s.at_us)); break;
      case Ev::ChildEnded: rule.child_ended(); break;
      case Ev::OutputEnded: rule.output_ended(); break;
      case Ev::Cancel: rule.cancelled(); break;
      case Ev::Cap: rule.capped(); break;
      case Ev::Confirmed: rule.prompt_checked(true, true, at(s.at_us)); break;
      case Ev::NotConfirmed: rule.prompt_checked(false, true, at(s.at_us)); break;
      case Ev::PromptGone: rule.prompt_checked(false, false, at(s.at_us)); break;
      case Ev::Asked: rule.kernel_said(s.answer, at(s.at_us)); break;
      case Ev::ShellPrompt: rule.shell_prompt_drawn(); break;
    }
    const ReadyRule::Next next = rule.next(at(s.at_us));
    SCOPED_TRACE("step " + std::to_string(i));
    ASSERT_EQ(next.what, s.what);
    if (s.what == Do::End) {
      EXPECT_EQ(next.end, s.end);
    }
    if (s.what == Do::Wait && s.until_us >= 0) {
      EXPECT_EQ(next.until, at(s.until_us));
    }
    if (s.what == Do::ConfirmPrompt) {
      EXPECT_EQ(next.just_taken, s.just_taken);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sequences, ReadyRuleCase, testing::ValuesIn(CASES),
                         [](const testing::TestParamInfo<Case>& info) {
                           std::string name;
                           for (char ch : info.param.name) name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                           return name;
                         });

TEST(ReadyRule, StatusNamesFollowTheEndsInOrder) {
  EXPECT_EQ(morvik::session::wait_end_name(WaitEnd::Ready), "ready");
  EXPECT_EQ(morvik::session::wait_end_name(WaitEnd::Cap), "cap");
}

}  // namespace
