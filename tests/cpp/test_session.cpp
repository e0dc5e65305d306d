// Session behaviour best seen below Python: the start failure's text, the
// hand-back of a cut chunk, a teardown that a background holder of the
// terminal cannot hang, and a reader on borrowed descriptors that leaves a
// turn-holding wait its wake-up.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include <chrono>
#include <thread>

#include "session/reader_thread.h"
#include "session/session.h"
#include "text/cleaning.h"

using namespace morvik::session;
using morvik::text::sanitize_for_agent;
using namespace std::chrono_literals;

namespace {

std::unique_ptr<Session> start(const char* cmd, bool interactive = false) {
  auto s = Session::spawn(cmd, interactive);
  if (!s) ADD_FAILURE() << s.error().message;
  return std::move(s).value();
}

// Waits until `n` bytes of text are collected through read_available.
std::string collect(Session& s, std::size_t n, std::optional<std::uint64_t> budget = std::nullopt) {
  std::string out;
  const auto until = std::chrono::steady_clock::now() + 5s;
  while (out.size() < n && std::chrono::steady_clock::now() < until) {
    out += sanitize_for_agent(s.read_available(budget).view());
    if (out.size() < n) std::this_thread::sleep_for(5ms);
  }
  return out;
}

}  // namespace

TEST(SessionTest, StartFailureNamesTheCommandAndTheError) {
  auto s = Session::spawn("no-such-program-morvik", false);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().kind, ErrorKind::Exception);
  EXPECT_EQ(s.error().message,
            "Failed to spawn process with command 'no-such-program-morvik': "
            "ENOENT: No such file or directory");
}

TEST(SessionTest, BudgetCutLeavesTheRestForTheNextRead) {
  auto s = start("cat");
  ASSERT_TRUE(s->send_line("abcdefghij").ok());
  // cat echoes the line back: "abcdefghij\r\n" (12 raw bytes, CR dropped on cleaning).
  std::string first = collect(*s, 4, 4);
  EXPECT_EQ(first, "abcd");
  std::string rest = collect(*s, 7);
  EXPECT_EQ(rest, "efghij\n");
  EXPECT_EQ(sanitize_for_agent(s->history_contents()), "abcdefghij\n");
}

TEST(SessionTest, BackgroundHolderOfTheTerminalDoesNotHangTeardown) {
  char dir[] = "/tmp/morvik-test-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string script = std::string(dir) + "/holder";
  const std::string pidfile = std::string(dir) + "/pid";
  {
    FILE* f = std::fopen(script.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fprintf(f, "#!/bin/sh\n(trap '' HUP INT TERM; exec sleep 1000) &\necho $! > %s\nexec sleep 1000\n",
                 pidfile.c_str());
    std::fclose(f);
    ::chmod(script.c_str(), 0755);
  }
  auto s = start(script.c_str());
  pid_t holder = 0;
  for (int i = 0; i < 200 && holder == 0; ++i) {
    std::this_thread::sleep_for(10ms);
    if (FILE* f = std::fopen(pidfile.c_str(), "r")) {
      if (std::fscanf(f, "%d", &holder) != 1) holder = 0;
      std::fclose(f);
    }
  }
  ASSERT_GT(holder, 0);
  const auto t0 = std::chrono::steady_clock::now();
  s->close_inner();
  const auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_LT(took, 3s);
  EXPECT_EQ(::kill(holder, 0), 0);  // still holding the terminal, yet close returned
  ::kill(holder, SIGKILL);
  s.reset();
  std::remove(pidfile.c_str());
  std::remove(script.c_str());
  ::rmdir(dir);
}

// The wake-up a wait holding the turn polls is also the reader's: the reader
// must leave it readable for that wait (it may be a cancel), read again once
// the turn is back, and, joined, let go of what keeps the descriptors open.
TEST(ReaderThreadTest, BorrowedWakeUpIsLeftToTheWaitThatHoldsTheTurn) {
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_NONBLOCK | O_CLOEXEC), 0);
  morvik::UniqueFd output(ends[0]);
  morvik::UniqueFd input(ends[1]);
  morvik::UniqueFd wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  auto keeper = std::make_shared<int>(0);
  const std::weak_ptr<int> kept = keeper;
  auto [tx, rx] = make_channel();
  ReaderThread::StartError why;
  auto wait_set = ReaderThread::make_wait_set();
  ASSERT_TRUE(wait_set);
  ReaderThread reader = ReaderThread::start({output.get(), -1, wake.get(), std::move(keeper)},
                                            std::move(wait_set).value(), std::move(tx), why, nullptr);
  ASSERT_TRUE(reader.joinable()) << why.text;
  std::this_thread::sleep_for(50ms);  // most likely asleep in its poll by now
  ASSERT_TRUE(reader.take_turn());
  const std::uint64_t one = 1;
  ASSERT_EQ(::write(wake.get(), &one, sizeof one), static_cast<ssize_t>(sizeof one));
  std::this_thread::sleep_for(100ms);
  pollfd p{wake.get(), POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 0), 1) << "the reader took the wake-up of the wait that holds the turn";
  ASSERT_EQ(::write(input.get(), "x", 1), 1);
  reader.give_turn();
  Chunk chunk;
  ASSERT_EQ(rx.recv_timeout(chunk, 10s), Receiver::Status::Chunk);
  EXPECT_EQ(chunk, "x");
  input.reset();  // the end of the output ends the thread
  reader.join_within(10s);
  EXPECT_TRUE(kept.expired());
}
