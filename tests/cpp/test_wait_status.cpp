// Decoding of what waitid reports (every kind, the code no kernel reports)
// and the non-blocking wait through a process handle on a real child.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "base/internal_failure.h"
#include "base/unique_fd.h"
#include "pty/wait_status.h"

using morvik::Errno;
using morvik::InternalFailure;
using morvik::UniqueFd;
using morvik::pty::decode_child_info;
using morvik::pty::ExitStatus;
using morvik::pty::wait_nohang;
using morvik::pty::WaitOutcome;
using morvik::pty::WaitStatus;

namespace {

siginfo_t child_info(pid_t pid, int code, int status) {
  siginfo_t info{};
  info.si_pid = pid;
  info.si_code = code;
  info.si_status = status;
  return info;
}

TEST(WaitStatusTest, EachReportDecodesAsRunningEndedOrChanged) {
  struct Row {
    const char* what;
    siginfo_t info;
    WaitStatus status;
    ExitStatus exit;
  };
  const Row rows[] = {
      {"nothing to report", child_info(0, 0, 0), WaitStatus::StillAlive, {}},
      {"exit 0", child_info(7, CLD_EXITED, 0), WaitStatus::Ended, ExitStatus::exited(0)},
      {"exit 255", child_info(7, CLD_EXITED, 255), WaitStatus::Ended, ExitStatus::exited(255)},
      {"killed", child_info(7, CLD_KILLED, SIGKILL), WaitStatus::Ended, ExitStatus::killed(SIGKILL, false)},
      {"core dumped", child_info(7, CLD_DUMPED, SIGSEGV), WaitStatus::Ended, ExitStatus::killed(SIGSEGV, true)},
      // A real-time signal ends the child like any other.
      {"killed by 40", child_info(7, CLD_KILLED, 40), WaitStatus::Ended, ExitStatus::killed(40, false)},
      {"stopped", child_info(7, CLD_STOPPED, SIGSTOP), WaitStatus::Changed, {}},
      {"trace stop", child_info(7, CLD_TRAPPED, SIGTRAP), WaitStatus::Changed, {}},
      {"continued", child_info(7, CLD_CONTINUED, SIGCONT), WaitStatus::Changed, {}},
  };
  for (const Row& row : rows) {
    const WaitOutcome seen = decode_child_info(row.info);
    EXPECT_EQ(seen.status, row.status) << row.what;
    EXPECT_EQ(seen.exit, row.exit) << row.what;
  }
}

TEST(WaitStatusTest, CodeNoKernelReportsIsAnInternalFailure) {
  try {
    (void)decode_child_info(child_info(7, 99, 0));
    ADD_FAILURE() << "no failure";
  } catch (const InternalFailure& f) {
    EXPECT_EQ(f.message(), "assertion failed: continued(status)");
  }
}

TEST(WaitStatusTest, WaitThroughTheHandleSeesRunningThenExitedChildThenNothing) {
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
  UniqueFd handle(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  ASSERT_TRUE(handle.valid());

  auto running = wait_nohang(handle.get());
  ASSERT_TRUE(running.ok());
  EXPECT_EQ(running->status, WaitStatus::StillAlive);

  ::close(go[1]);  // lets the child exit
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  morvik::Result<WaitOutcome> r = WaitOutcome{};
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    r = wait_nohang(handle.get());
    ASSERT_TRUE(r.ok());
  } while (r->status == WaitStatus::StillAlive && std::chrono::steady_clock::now() < deadline);
  EXPECT_EQ(r->status, WaitStatus::Ended);
  EXPECT_EQ(r->exit, ExitStatus::exited(7));

  // Collected: the next wait finds no such child.
  auto again = wait_nohang(handle.get());
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error(), Errno::from_raw(ECHILD));
}

}  // namespace
