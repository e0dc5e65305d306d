// The agent terminal's two sides on the reader's path: the input side,
// where the reader's answers to a program's queries must neither wait
// behind an input nor overtake one made before them nor get lost when the
// terminal is full, and the output observer, which answers those queries
// and keeps the screen.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "pty_test_support.h"
#include "session/agent_input.h"
#include "session/agent_output.h"

using namespace morvik::session;
using morvik::UniqueFd;
using namespace std::chrono_literals;

namespace {

// A pipe standing in for the terminal: the test reads what the program
// would; the write end is non-blocking, as the engine makes the master.
struct Terminal {
  UniqueFd r, w;
  Terminal() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    r.reset(fds[0]);
    w.reset(fds[1]);
  }
  // Leaves no room at all; what it wrote is dots, which take() leaves out.
  void fill() {
    const std::string dots(4096, '.');
    while (::write(w.get(), dots.data(), dots.size()) > 0) {
    }
    while (::write(w.get(), ".", 1) > 0) {
    }
  }
  // Everything the pipe holds now, the filler left out.
  std::string take() {
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = ::read(r.get(), buf, sizeof buf)) > 0;) {
      for (ssize_t i = 0; i < n; ++i) {
        if (buf[i] != '.') out.push_back(buf[i]);
      }
    }
    return out;
  }
};

// Whether thread `tid` sleeps in poll: the only place an input waits.
bool asleep_in_poll(pid_t tid) {
  const std::string text = morvik::test::read_file("/proc/self/task/" + std::to_string(tid) + "/syscall");
  const long number = text.empty() ? -1 : std::atol(text.c_str());
  return number == SYS_poll || number == SYS_ppoll;
}

}  // namespace

// An answer made when the terminal has no room is kept, and goes out with
// the next answer or input, ahead of it, since the program asked first.
TEST(AgentInputTest, AnswerWithNoRoomGoesOutAheadOfWhatComesNext) {
  struct Case {
    bool next_is_input;
    const char* expected;
  };
  for (const Case c : {Case{false, "\x1b[1;1R\x1b[?1;2c"}, Case{true, "\x1b[1;1Rls\r"}}) {
    Terminal t;
    AgentInput input(InputWriter(UniqueFd(::dup(t.w.get()))));
    t.fill();
    const auto before = std::chrono::steady_clock::now();
    input.answer("\x1b[1;1R");
    EXPECT_LT(morvik::test::ms_since(before), 1000) << "an answer waited for room";
    EXPECT_TRUE(input.answers_pending());
    EXPECT_EQ(t.take(), "");
    if (c.next_is_input) {
      ASSERT_TRUE(input.write("ls\r").ok());
    } else {
      input.answer("\x1b[?1;2c");
    }
    EXPECT_EQ(t.take(), c.expected) << c.next_is_input;
    EXPECT_FALSE(input.answers_pending());
  }
}

// The reader answers while an input is stuck on a full terminal: the answer
// returns at once (the reader must never wait for the input's lock), and the
// input's writer sends it right after the input, whole, once the program
// reads again.
TEST(AgentInputTest, AnswerDuringAStalledInputNeitherWaitsNorOvertakesIt) {
  Terminal t;
  AgentInput input(InputWriter(UniqueFd(::dup(t.w.get())), 20s));
  t.fill();
  std::atomic<pid_t> writer_tid{0};
  bool written = false;
  std::thread writer([&] {
    writer_tid = static_cast<pid_t>(::syscall(SYS_gettid));
    written = input.write("input-line\r").ok();
  });
  const auto until = std::chrono::steady_clock::now() + 10s;
  while ((writer_tid == 0 || !asleep_in_poll(writer_tid)) && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_TRUE(asleep_in_poll(writer_tid)) << "the input never waited for room";
  const auto before = std::chrono::steady_clock::now();
  input.answer("\x1b[5;9R");
  EXPECT_LT(morvik::test::ms_since(before), 2000) << "the answer waited behind the input";
  const std::string expected = "input-line\r\x1b[5;9R";
  std::string got;
  while (got.size() < expected.size() && std::chrono::steady_clock::now() < until + 10s) {
    got += t.take();
    std::this_thread::sleep_for(1ms);
  }
  writer.join();
  got += t.take();
  EXPECT_TRUE(written);
  EXPECT_EQ(got, expected);
  EXPECT_FALSE(input.answers_pending());
}

// Close lets go of the descriptor (a borrowed one stays its owner's);
// later inputs fail and answers go nowhere.
TEST(AgentInputTest, CloseLetsGoOfTheDescriptor) {
  for (const bool borrowed : {false, true}) {
    Terminal t;
    const int fd = ::dup(t.w.get());
    t.w.reset();
    AgentInput input(borrowed ? InputWriter::borrowing(fd) : InputWriter(UniqueFd(fd)));
    input.close();
    EXPECT_EQ(::fcntl(fd, F_GETFD) >= 0, borrowed) << borrowed;
    EXPECT_FALSE(input.write("x").ok());
    input.answer("\x1b[1;1R");
    EXPECT_FALSE(input.answers_pending());
    if (borrowed) ::close(fd);
    EXPECT_EQ(t.take(), "");
  }
}

// Each query is answered once, in order, as soon as the chunk that ends it
// is seen; plain output and a terminal kept without a model answer nothing.
TEST(AgentOutputTest, QueriesAreAnsweredOnceInOrder) {
  struct Case {
    const char* name;
    bool keep_screen;
    std::vector<std::string> chunks;
    const char* replies;
    std::uint64_t answers;
  };
  const Case cases[] = {
      {"cursor", true, {"ab\r\ncd", "\x1b[6n"}, "\x1b[2;3R", 1},
      {"split", true, {"xyz\x1b[", "6n"}, "\x1b[1;4R", 1},
      {"two in one chunk", true, {"\x1b[6n\x1b[c"}, "\x1b[1;1R\x1b[?1;2c", 1},
      {"two chunks", true, {"\x1b[c", "q\x1b[6n"}, "\x1b[?1;2c\x1b[1;2R", 2},
      {"plain", true, {"hello\r\n", "\x1b[31mred"}, "", 0},
      {"no model", false, {"\x1b[6n"}, "", 0},
  };
  for (const Case& c : cases) {
    Terminal t;
    auto input = std::make_shared<AgentInput>(InputWriter(UniqueFd(::dup(t.w.get()))));
    AgentOutput output(5, 20, c.keep_screen, input, nullptr);
    for (const auto& chunk : c.chunks) output.observe(chunk);
    EXPECT_EQ(t.take(), c.replies) << c.name;
    EXPECT_EQ(output.answers(), c.answers) << c.name;
  }
}

TEST(AgentOutputTest, ScreenShowsWhatWasDrawnAtItsSize) {
  auto input = std::make_shared<AgentInput>(InputWriter(UniqueFd(-1)));
  AgentOutput none(3, 10, false, input, nullptr);
  none.observe("hello");
  EXPECT_FALSE(none.screen().has_value());

  AgentOutput output(3, 10, true, input, nullptr);
  output.observe("hello\r\nwor");
  output.observe("ld");
  auto shot = output.screen();
  ASSERT_TRUE(shot.has_value());
  EXPECT_EQ(shot->lines, (std::vector<std::string>{"hello", "world", ""}));
  EXPECT_EQ(shot->row, 1);
  EXPECT_EQ(shot->column, 5);
  EXPECT_FALSE(shot->alternate);

  output.resize(4, 6);
  output.observe("\x1b[?1049h\x1b[HAB");
  shot = output.screen();
  ASSERT_TRUE(shot.has_value());
  EXPECT_EQ(shot->lines.size(), 4u);
  EXPECT_EQ(shot->lines[0], "AB");
  EXPECT_TRUE(shot->alternate);
}
