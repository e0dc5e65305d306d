// Decoding of raw wait status words (every kind, the words that cannot be
// represented, the word no kernel produces) and the non-blocking wait on a
// real child.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "base/internal_failure.h"
#include "pty/wait_status.h"

using morvik::Errno;
using morvik::InternalFailure;
using morvik::pty::decode_wait_status;
using morvik::pty::wait_nohang;
using morvik::pty::WaitStatus;

namespace {

TEST(WaitStatusTest, EachKindOfWordDecodesAsEndedOrChanged) {
  struct Row {
    const char* what;
    std::int32_t word;
    WaitStatus expected;
  };
  const Row rows[] = {
      {"exit 3", 0x0300, WaitStatus::Ended},
      {"exit 255", 0xFF00, WaitStatus::Ended},
      {"exit 0", 0, WaitStatus::Ended},
      {"killed", SIGKILL, WaitStatus::Ended},
      {"killed, core dumped", 0x80 | SIGABRT, WaitStatus::Ended},
      {"killed by 31", 31, WaitStatus::Ended},
      // A real-time signal ends the child like any other.
      {"killed by 32", 32, WaitStatus::Ended},
      {"killed by 64", 64, WaitStatus::Ended},
      {"killed by 40, core dumped", 0x80 | 40, WaitStatus::Ended},
      {"stopped", (SIGSTOP << 8) | 0x7F, WaitStatus::Changed},
      {"system-call trace stop", 0x857F, WaitStatus::Changed},
      {"trace event 4", (4 << 16) | (SIGTRAP << 8) | 0x7F, WaitStatus::Changed},
      {"trace event with the top bit set", static_cast<std::int32_t>(0xFFFF0000u | (SIGTRAP << 8) | 0x7F),
       WaitStatus::Changed},
      {"continued", 0xFFFF, WaitStatus::Changed},
  };
  for (const Row& row : rows) {
    auto r = decode_wait_status(row.word);
    ASSERT_TRUE(r.ok()) << row.what;
    EXPECT_EQ(r.value(), row.expected) << row.what;
  }
}

TEST(WaitStatusTest, SignalNumberNoKernelReportsIsInvalid) {
  // A kill above 64; a stop outside 1..31.
  for (std::int32_t word : {65, 0x7E, 0x007F, (32 << 8) | 0x7F, (0x84 << 8) | 0x7F}) {
    auto r = decode_wait_status(word);
    ASSERT_FALSE(r.ok()) << std::hex << word;
    EXPECT_EQ(r.error(), Errno::from_raw(EINVAL));
  }
}

TEST(WaitStatusTest, ImpossibleWordIsAnInternalFailure) {
  // Low byte 0xFF but not exactly 0xFFFF: neither exit, signal, stop nor
  // continuation.
  for (std::int32_t word : {0x00FF, 0x12FF, 0x1FFFF}) {
    try {
      (void)decode_wait_status(word);
      ADD_FAILURE() << "no failure for " << std::hex << word;
    } catch (const InternalFailure& f) {
      EXPECT_EQ(f.message(), "assertion failed: continued(status)");
    }
  }
}

TEST(WaitStatusTest, WaitNohangSeesRunningThenExitedChild) {
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Ends on the parent's close of the write end, or after 10 s at most.
    ::close(go[1]);
    ::alarm(10);
    char c;
    (void)::read(go[0], &c, 1);
    ::_exit(7);
  }
  ::close(go[0]);

  auto running = wait_nohang(pid);
  ASSERT_TRUE(running.ok());
  EXPECT_EQ(running.value(), WaitStatus::StillAlive);

  ::close(go[1]);  // lets the child exit
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  morvik::Result<WaitStatus> r = WaitStatus::StillAlive;
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    r = wait_nohang(pid);
    ASSERT_TRUE(r.ok());
  } while (r.value() == WaitStatus::StillAlive && std::chrono::steady_clock::now() < deadline);
  EXPECT_EQ(r.value(), WaitStatus::Ended);

  // Collected: the next wait finds no such child.
  auto again = wait_nohang(pid);
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error(), Errno::from_raw(ECHILD));
}

}  // namespace
