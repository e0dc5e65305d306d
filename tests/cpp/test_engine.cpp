// The session engine under both faces: a start that fails at any step
// leaves nothing behind, a wait that takes the turn reads the terminal
// itself while the reader leaves it alone, close ends the program and lets
// go of its four descriptors, and a forked copy of the host touches nothing
// of the original's program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "pty_test_support.h"
#include "session/engine.h"

using namespace morvik::session;
using namespace std::chrono_literals;
using morvik::test::Clock;

namespace {

EngineStart program(std::vector<std::string> argv) {
  EngineStart start;
  start.description.argv = std::move(argv);
  start.description.size = {24, 80};
  start.watch_child = true;
  return start;
}

std::unique_ptr<Engine> start_or_fail(EngineStart start) {
  auto e = Engine::start(std::move(start));
  if (!e) ADD_FAILURE() << "start failed: " << e.error().error.text();
  return e ? std::move(e).value() : nullptr;
}

// Everything received until `text` came whole, or ten seconds passed.
std::string receive_until(Engine& e, const std::string& text) {
  std::string got;
  const auto until = Clock::now() + 10s;
  Chunk chunk;
  while (got.find(text) == std::string::npos && Clock::now() < until) {
    if (e.receive(chunk, Clock::now() + 100ms) == Inbox::Status::Chunk) got += chunk;
  }
  return got;
}

// True when this process has no child at all, zombies included.
bool no_children() {
  int status = 0;
  return ::waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
}

// Gone, or a zombie nobody collects (it runs no more).
bool ended(pid_t pid) {
  const std::string stat = morvik::test::read_file("/proc/" + std::to_string(pid) + "/stat");
  const auto paren = stat.rfind(')');
  return paren == std::string::npos || stat.compare(paren + 2, 1, "Z") == 0;
}

// Records which threads saw which bytes.
struct SeenChunks final : ChunkObserver {
  std::mutex mutex;
  std::string bytes;
  std::set<std::thread::id> threads;
  void observe(std::string_view chunk) override {
    std::lock_guard<std::mutex> lock(mutex);
    bytes += chunk;
    threads.insert(std::this_thread::get_id());
  }
};

}  // namespace

// With fewer and fewer descriptors to spare the start fails, and each
// failure takes back every descriptor and the child it started.
TEST(EngineTest, StartThatFailsLeaksNeitherDescriptorsNorTheChild) {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Not under a sanitizer: its runtime opens descriptors of its own for
  // its checks (a pipe to test memory), and out of them it reports faults
  // that are not there.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int before = morvik::test::open_fd_count();
  int failures = 0;
  bool started = false;
  for (int spare = 0; spare <= 16 && !started; ++spare) {
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(before + spare);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    auto e = Engine::start(program({"/bin/sleep", "1000"}));
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    if (e) {
      started = true;
      EXPECT_EQ(morvik::test::open_fd_count(), before + 4);
      e.value()->close(StopHow::Child);
    } else {
      ++failures;
      EXPECT_EQ(e.error().error.value(), EMFILE) << spare << ": " << e.error().error.text();
    }
    EXPECT_EQ(morvik::test::open_fd_count(), before) << spare;
    EXPECT_TRUE(no_children()) << spare;
  }
  EXPECT_TRUE(started);
  EXPECT_GT(failures, 0);
#endif

  auto missing = Engine::start(program({"/no/such/program-morvik"}));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().step, StartFailure::Step::Spawn);
  EXPECT_EQ(missing.error().error.value(), ENOENT);
  EXPECT_TRUE(no_children());
}

// A wait that holds the turn reads the output on its own thread and the
// reader queues none of it; without the turn the reader reads it. Either
// way the observer sees each byte once, and nothing is received twice.
TEST(EngineTest, WaitThatTakesTheTurnReadsTheTerminalItself) {
  auto seen = std::make_shared<SeenChunks>();
  EngineStart start = program({"/bin/cat"});
  start.make_observer = [&](const std::shared_ptr<AgentInput>&) { return seen; };
  auto engine = start_or_fail(std::move(start));
  ASSERT_TRUE(engine);
  {
    std::lock_guard<std::mutex> waiting(engine->wait_mutex());
    for (const bool turn : {true, false}) {
      {
        std::lock_guard<std::mutex> lock(seen->mutex);
        seen->bytes.clear();
        seen->threads.clear();
      }
      const std::string word = turn ? "turned" : "queued";
      const std::string expected = word + "\r\n";  // from cat: the terminal echoes nothing
      std::optional<Engine::Turn> held;
      if (turn) held.emplace(*engine);
      EXPECT_EQ(engine->holds_turn(), turn);
      ASSERT_TRUE(engine->write(word + "\n").ok());
      const std::string got = receive_until(*engine, expected);
      EXPECT_EQ(got, expected) << word;
      held.reset();
      Chunk more;
      EXPECT_EQ(engine->receive(more, Clock::now() + 300ms), Inbox::Status::TimedOut) << word << ": " << more;
      std::lock_guard<std::mutex> lock(seen->mutex);
      EXPECT_EQ(seen->bytes, expected) << word;
      EXPECT_EQ(seen->threads.count(std::this_thread::get_id()), turn ? 1u : 0u) << word;
      EXPECT_EQ(seen->threads.size(), 1u) << word;
    }
  }
  engine->close(StopHow::Child);
}

// Close ends the program as asked and lets go of the master, the process
// handle, the wake-up and the reader's wait set, at once; a second close
// finds it done. A stop of the child leaves a background job that ignores
// hang-ups; a stop of the session does not.
TEST(EngineTest, CloseEndsTheProgramAndReleasesItsFourDescriptors) {
  struct Case {
    StopHow how;
    bool job_ends;
  };
  for (const Case c : {Case{StopHow::Child, false}, Case{StopHow::Session, true}}) {
    morvik::test::TempDir dir;
    const std::string pidfile = dir.path() + "/job";
    const int before = morvik::test::open_fd_count();
    auto engine = start_or_fail(program(
        {"/bin/sh", "-c", "(trap '' HUP INT TERM; exec sleep 1000) & echo $! > " + pidfile + "; exec sleep 1000"}));
    ASSERT_TRUE(engine);
    EXPECT_EQ(morvik::test::open_fd_count(), before + 4);
    pid_t job = 0;
    for (int i = 0; i < 1000 && job <= 0; ++i, std::this_thread::sleep_for(10ms)) {
      job = std::atoi(morvik::test::read_file(pidfile).c_str());
    }
    ASSERT_GT(job, 0);
    engine->close(c.how);
    engine->close(c.how);
    EXPECT_TRUE(engine->closed());
    EXPECT_EQ(morvik::test::open_fd_count(), before);
    EXPECT_TRUE(no_children());
    EXPECT_TRUE(ended(engine->pid()));
    EXPECT_EQ(ended(job), c.job_ends);
    ::kill(job, SIGKILL);
  }
}

// A forked copy of the host holds none of the terminal's descriptors and a
// closed engine: what it does with it (a poke, a stop, an input, a close,
// the end of the object) never reaches the original's program, which goes
// on answering the original.
TEST(EngineTest, ForkedCopyLeavesTheOriginalsProgramAlone) {
  const int before = morvik::test::open_fd_count();
  auto engine = start_or_fail(program({"/bin/cat"}));
  ASSERT_TRUE(engine);
  const pid_t copy = ::fork();
  ASSERT_GE(copy, 0);
  if (copy == 0) {
    // Only the exit code speaks here: each bit one fault.
    int faults = morvik::test::open_fd_count() == before ? 0 : 1;
    faults |= engine->closed() ? 0 : 2;
    engine->poke();
    engine->stop(StopHow::Session);
    faults |= engine->write("from the copy\n").ok() ? 4 : 0;
    engine->close(StopHow::Session);
    engine.reset();
    faults |= morvik::test::open_fd_count() == before ? 0 : 8;
    ::_exit(faults);
  }
  int status = 0;
  pid_t done = 0;
  for (int i = 0; i < 1000 && done == 0; ++i, std::this_thread::sleep_for(10ms)) done = ::waitpid(copy, &status, WNOHANG);
  if (done == 0) {
    ::kill(copy, SIGKILL);
    ::waitpid(copy, &status, 0);
    FAIL() << "the copy hung in its close";
  }
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << "faults in the copy (1 descriptors at the fork, 2 not closed, 4 wrote, "
                                       "8 descriptors at the end)";
  EXPECT_FALSE(engine->closed());
  std::lock_guard<std::mutex> waiting(engine->wait_mutex());
  ASSERT_TRUE(engine->write("still here\n").ok());
  EXPECT_EQ(receive_until(*engine, "still here\r\n"), "still here\r\n");
  EXPECT_FALSE(engine->child_exited());
}
