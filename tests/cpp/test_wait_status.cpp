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

using morvik::InternalFailure;
using morvik::Errno;
using morvik::pty::wait_nohang;
using morvik::pty::WaitStatus;
using Kind = WaitStatus::Kind;

namespace {

WaitStatus decoded(std::int32_t word) {
  auto r = WaitStatus::from_raw(42, word);
  EXPECT_TRUE(r.ok()) << std::hex << word;
  return r.ok() ? r.value() : WaitStatus{};
}

TEST(WaitStatusTest, DecodesExitWithCode) {
  WaitStatus s = decoded(0x0300);
  EXPECT_EQ(s.kind, Kind::Exited);
  EXPECT_EQ(s.pid, 42);
  EXPECT_EQ(s.exit_code, 3);
  EXPECT_EQ(decoded(0xFF00).exit_code, 255);
  EXPECT_EQ(decoded(0).exit_code, 0);
}

TEST(WaitStatusTest, DecodesKillBySignalWithAndWithoutCore) {
  WaitStatus s = decoded(SIGKILL);
  EXPECT_EQ(s.kind, Kind::Signaled);
  EXPECT_EQ(s.signal, SIGKILL);
  EXPECT_FALSE(s.core_dumped);
  s = decoded(0x80 | SIGABRT);
  EXPECT_EQ(s.kind, Kind::Signaled);
  EXPECT_EQ(s.signal, SIGABRT);
  EXPECT_TRUE(s.core_dumped);
  EXPECT_EQ(decoded(31).signal, 31);
}

TEST(WaitStatusTest, KillByRealTimeSignalDecodesAsKilledAndBeyond64IsInvalid) {
  for (std::int32_t word : {32, 35, 64, 0x80 | 40}) {
    WaitStatus s = decoded(word);
    EXPECT_EQ(s.kind, Kind::Signaled) << word;
    EXPECT_EQ(s.signal, word & 0x7F);
  }
  for (std::int32_t word : {65, 0x7E}) {
    auto r = WaitStatus::from_raw(42, word);
    ASSERT_FALSE(r.ok()) << word;
    EXPECT_EQ(r.error(), Errno::from_raw(EINVAL));
  }
}

TEST(WaitStatusTest, DecodesStopsAndTraceStops) {
  WaitStatus s = decoded((SIGSTOP << 8) | 0x7F);
  EXPECT_EQ(s.kind, Kind::Stopped);
  EXPECT_EQ(s.signal, SIGSTOP);

  s = decoded(0x857F);
  EXPECT_EQ(s.kind, Kind::PtraceSyscall);
  EXPECT_EQ(s.pid, 42);

  // PTRACE_EVENT_EXEC (4) reported with SIGTRAP.
  s = decoded((4 << 16) | (SIGTRAP << 8) | 0x7F);
  EXPECT_EQ(s.kind, Kind::PtraceEvent);
  EXPECT_EQ(s.signal, SIGTRAP);
  EXPECT_EQ(s.event, 4);

  // The upper half is sign-extended.
  s = decoded(static_cast<std::int32_t>(0xFFFF0000u | (SIGTRAP << 8) | 0x7F));
  EXPECT_EQ(s.kind, Kind::PtraceEvent);
  EXPECT_EQ(s.event, -1);
}

TEST(WaitStatusTest, StopSignalOutsideClassicRangeIsInvalid) {
  for (std::int32_t word : {0x007F, (32 << 8) | 0x7F, (0x84 << 8) | 0x7F}) {
    auto r = WaitStatus::from_raw(42, word);
    ASSERT_FALSE(r.ok()) << std::hex << word;
    EXPECT_EQ(r.error(), Errno::from_raw(EINVAL));
  }
}

TEST(WaitStatusTest, DecodesContinued) {
  WaitStatus s = decoded(0xFFFF);
  EXPECT_EQ(s.kind, Kind::Continued);
  EXPECT_EQ(s.pid, 42);
}

TEST(WaitStatusTest, ImpossibleWordIsAnInternalFailure) {
  // Low byte 0xFF but not exactly 0xFFFF: neither exit, signal, stop nor
  // continuation.
  for (std::int32_t word : {0x00FF, 0x12FF, 0x1FFFF}) {
    try {
      (void)WaitStatus::from_raw(42, word);
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
  EXPECT_EQ(running->kind, Kind::StillAlive);

  ::close(go[1]);  // lets the child exit
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  morvik::Result<WaitStatus> r = WaitStatus{};
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    r = wait_nohang(pid);
    ASSERT_TRUE(r.ok());
  } while (r->kind == Kind::StillAlive && std::chrono::steady_clock::now() < deadline);
  EXPECT_EQ(r->kind, Kind::Exited);
  EXPECT_EQ(r->pid, pid);
  EXPECT_EQ(r->exit_code, 7);

  // Collected: the next wait finds no such child.
  auto again = wait_nohang(pid);
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error(), Errno::from_raw(ECHILD));
}

}  // namespace
