// The agent face's stop of a whole terminal session: how long each kind of
// program takes to go, that background jobs of the session go with it, and
// that a process that left the session is not touched.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>

#include "pty/proc.h"
#include "pty/pty_process.h"
#include "pty_test_support.h"

namespace pty = morvik::pty;
using morvik::test::Clock;
using morvik::test::ms_since;
using morvik::test::read_until;
using morvik::test::TempDir;

namespace {

bool process_gone(pid_t pid) {
  const auto st = pty::proc::read_stat(pid);
  return !st || st->state == 'Z' || st->state == 'X';
}

bool gone_within(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!process_gone(pid)) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Whether `pid` has let go of every terminal it held (its descriptors name
// no /dev/pts/N any more), waiting up to `limit`.
bool holds_no_terminal_within(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    bool holds = false;
    std::error_code ec;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
      holds = holds || std::filesystem::read_symlink(fd.path(), ec).string().starts_with("/dev/pts/");
    }
    if (!holds) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

pid_t reported(const std::string& text, const std::string& tag) {
  std::smatch m;
  if (!std::regex_search(text, m, std::regex(tag + " (\\d+)"))) return -1;
  return static_cast<pid_t>(std::stol(m[1]));
}

TEST(TerminateSessionTest, EveryProcessOfTheSessionGoesInTimeAndNothingOutsideIt) {
  struct Row {
    const char* what;
    const char* script;
    long long max_ms;          // the whole stop
    const char* background;    // the tag of a background process the script reports, if any
    bool background_survives;  // it left the session
    // Whether the stop may read all of /proc: only when a process that
    // neither the child's tree nor the places orphans land show still
    // holds the terminal.
    bool full_scan = false;
    // The background process lets go of the terminal once it reported.
    bool lets_go = false;
  };
  const Row rows[] = {
      {"ends on SIGHUP", "echo READY; exec sleep 100", 150, nullptr, false},
      {"ignores SIGHUP, ends on SIGTERM", "trap '' HUP; echo READY; exec sleep 100",
       pty::HANGUP_GRACE.count() + 400, nullptr, false},
      {"ignores every signal it can", "trap '' HUP INT TERM; echo READY; exec sleep 100",
       (pty::HANGUP_GRACE + pty::TERMINATE_GRACE).count() + 500, nullptr, false},
      {"background job that ignores SIGHUP",
       "sh -c 'trap \"\" HUP; exec sleep 100' & echo \"BG $!\"; echo READY; exec sleep 100",
       pty::HANGUP_GRACE.count() + 400, "BG", false},
      {"background job that left the session",
       "setsid sh -c 'echo \"BG $$\"; exec sleep 100' & echo READY; exec sleep 100", 150, "BG", true, true},
      {"orphan that ignores SIGHUP, parent gone",
       "sh -c 'trap \"\" HUP; exec sleep 100 & echo \"BG $!\"'; echo READY; exec sleep 100",
       pty::HANGUP_GRACE.count() + 400, "BG", false},
      // No group of the session holds it and it holds no terminal: only
      // where orphans land shows it.
      {"orphan in a group of its own that let go of the terminal",
       "sh -c 'python3 -c \"import os, signal, time; os.setpgid(0, 0); signal.signal(signal.SIGHUP, "
       "signal.SIG_IGN); os.write(1, b\\\"BG %d\\n\\\" % os.getpid()); os.close(0); os.close(1); os.close(2); "
       "time.sleep(100)\" &'; echo READY; exec sleep 100",
       pty::HANGUP_GRACE.count() + 400, "BG", false, false, true},
  };
  TempDir dir;
  for (const Row& row : rows) {
    auto spawned = pty::PtyProcess::spawn(pty::ProcessDescription::command(dir.script("job.sh", row.script)));
    ASSERT_TRUE(spawned.ok()) << row.what;
    pty::PtyProcess& p = *spawned;
    std::string out = read_until(p.master_fd(), "READY");
    // A job that leaves the session reports only once it has left.
    if (row.background && out.find(std::string(row.background) + " ") == std::string::npos) {
      out += read_until(p.master_fd(), std::string(row.background) + " ");
    }
    ASSERT_NE(out.find("READY"), std::string::npos) << row.what << ": " << out;
    const pid_t background = row.background ? reported(out, row.background) : -1;
    if (row.background) {
      ASSERT_GT(background, 0) << row.what << ": " << out;
    }
    const pid_t child = p.pid();
    if (row.lets_go) {
      ASSERT_TRUE(holds_no_terminal_within(background, std::chrono::seconds(10))) << row.what;
    }

    const std::uint64_t scans_before = pty::proc::full_scans();
    const auto start = Clock::now();
    auto stopped = p.terminate_session();
    const long long took = ms_since(start);
    EXPECT_EQ(pty::proc::full_scans() != scans_before, row.full_scan) << row.what;
    ASSERT_TRUE(stopped.ok()) << row.what << ": " << stopped.error().text();
    EXPECT_TRUE(stopped.value()) << row.what;
    EXPECT_LT(took, row.max_ms) << row.what;
    EXPECT_TRUE(process_gone(child)) << row.what;
    ASSERT_TRUE(p.exit_status().has_value()) << row.what;  // collected by the stop
    if (background > 0) {
      if (row.background_survives) {
        EXPECT_FALSE(process_gone(background)) << row.what;
        ::kill(background, SIGKILL);
      }
      // Reparented once its parent went, and reaped by whoever adopted it.
      EXPECT_TRUE(gone_within(background, std::chrono::seconds(5))) << row.what;
    }
    auto again = p.terminate_session();
    ASSERT_TRUE(again.ok());
    EXPECT_TRUE(again.value()) << row.what;
  }
  int status = 0;
  EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1);
}

}  // namespace
