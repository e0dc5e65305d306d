// The kernel's answer to "does the program wait for input?" for the
// programs agents drive: shells, REPLs, debuggers and their queries, pagers,
// editors and plain readers must read Waiting with no prompt known in
// advance; programs that sleep, wait on something other than the terminal,
// compute or are stuck writing must never read Waiting.
#include <fcntl.h>
#include <glob.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pty/pty_process.h"
#include "pty_test_support.h"

namespace pty = morvik::pty;
using morvik::test::Clock;
using morvik::test::TempDir;
using pty::InputWait;

namespace {

// The first file a pattern finds (pyenv and Debian put interpreters in
// different places), or "".
std::string first_match(const std::vector<std::string>& patterns) {
  for (const std::string& pattern : patterns) {
    glob_t g{};
    const bool found = ::glob(pattern.c_str(), 0, nullptr, &g) == 0 && g.gl_pathc > 0;
    std::string path = found ? g.gl_pathv[g.gl_pathc - 1] : "";
    ::globfree(&g);
    if (!path.empty()) return path;
  }
  return "";
}

std::string python(const std::string& version) {
  const char* home = ::getenv("HOME");
  return first_match({"/usr/bin/python" + version, "/usr/local/bin/python" + version,
                      std::string(home ? home : "/root") + "/.pyenv/versions/" + version + "*/bin/python" + version});
}

// Everything the program wrote so far, without blocking.
void drain(int master, std::string& out) {
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(master, buf, sizeof buf);
    if (n <= 0) return;
    out.append(buf, static_cast<std::size_t>(n));
  }
}

struct Step {
  std::string input;   // written first
  std::string expect;  // then the output must show this and the program wait
};

struct Row {
  const char* what;
  std::vector<std::string> argv;  // argv[0] empty: the program is not on this machine
  std::vector<Step> steps;        // Waiting rows
};

class InputWaitTest : public ::testing::Test {
 protected:
  std::optional<pty::PtyProcess> start(const Row& row) {
    pty::ProcessDescription d;
    d.argv = row.argv;
    d.env = std::vector<std::string>{"PATH=/usr/local/bin:/usr/bin:/bin", "TERM=xterm-256color", "HOME=" + home_.path(),
                                     "LANG=C.UTF-8", "PS1=MORVIK$ "};
    d.cwd = home_.path();
    auto r = pty::PtyProcess::spawn(std::move(d));
    if (!r.ok()) {
      ADD_FAILURE() << row.what << ": " << r.error().text();
      return std::nullopt;
    }
    // drain() must never block.
    const int flags = ::fcntl(r->master_fd(), F_GETFL);
    ::fcntl(r->master_fd(), F_SETFL, flags | O_NONBLOCK);
    return std::move(r).value();
  }
  TempDir home_;
};

TEST_F(InputWaitTest, ProgramsWaitingForInputReadWaitingWithoutAnyPrompt) {
  const std::string file = home_.path() + "/page.txt";
  {
    std::ofstream out(file);
    for (int i = 0; i < 10; ++i) out << "line " << i << "\n";
  }
  const std::string py311 = python("3.11"), py313 = python("3.13");
  const Row rows[] = {
      {"bash", {"bash", "--norc", "--noprofile", "-i"}, {{"", "MORVIK$ "}, {"echo hi\n", "hi"}}},
      {"sh", {"sh", "-i"}, {{"", "MORVIK$ "}}},
      {"python 3.11 REPL", {py311, "-q", "-i"}, {{"", ">>> "}, {"1 + 41\n", "42"}}},
      {"python 3.13 REPL", {py313, "-q", "-i"}, {{"", ">>> "}, {"1 + 41\n", "42"}}},
      {"gdb prompt and its query",
       {"gdb", "-q", "-nx"},
       {{"", "(gdb) "}, {"break *0\n", "Breakpoint 1"}, {"delete\n", "(y or n)"}}},
      {"sqlite3", {"sqlite3"}, {{"", "sqlite> "}, {"select 6 * 7;\n", "42"}}},
      {"node REPL", {"node"}, {{"", "> "}}},
      {"read -p", {"bash", "--norc", "--noprofile", "-c", "read -p 'name? ' x"}, {{"", "name? "}}},
      {"input()", {"/usr/bin/python3", "-c", "input('name? ')"}, {{"", "name? "}}},
      {"less", {"less", file}, {{"", "line 9"}}},
      {"vim", {"vim", "-u", "NONE", "-N", "-n", file}, {{"", "line 9"}}},
      {"cat", {"cat"}, {{"", ""}, {"echo\n", "echo"}}},
  };
  // Debian has one Python; the other comes from elsewhere (pyenv) or not at all.
  EXPECT_FALSE(py311.empty() && py313.empty()) << "no Python 3.11 or 3.13 REPL to try";
  for (const Row& row : rows) {
    if (row.argv[0].empty()) {
      std::printf("[ SKIPPED  ] %s: not on this machine\n", row.what);
      continue;
    }
    std::optional<pty::PtyProcess> p = start(row);
    if (!p) continue;
    std::string out;
    for (const Step& step : row.steps) {
      if (!step.input.empty()) {
        ASSERT_EQ(::write(p->master_fd(), step.input.data(), step.input.size()),
                  static_cast<ssize_t>(step.input.size()));
      }
      const std::size_t from = out.size();
      InputWait seen = InputWait::Busy;
      const auto deadline = Clock::now() + std::chrono::seconds(20);
      while (Clock::now() < deadline) {
        drain(p->master_fd(), out);
        seen = p->foreground_input_wait();
        if (seen == InputWait::Waiting && out.find(step.expect, from) != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      EXPECT_EQ(seen, InputWait::Waiting) << row.what << " after " << step.input << ": " << out;
      EXPECT_NE(out.find(step.expect, from), std::string::npos) << row.what << ": " << out;
    }
    (void)p->terminate_session();
  }
}

// The answer says where it came from (the wait trusts a relay's word only
// once the relay had time to pass on the last output of the program behind
// it) and whether the reader's wait ends by itself at a time.
TEST_F(InputWaitTest, AnswerSaysWhetherFromBehindARelayAndWhetherTimed) {
  const struct {
    Row row;
    bool relayed, timed;
  } cases[] = {
      {{"bash", {"bash", "--norc", "--noprofile", "-i"}, {}}, false, false},
      {{"script relaying sh", {"script", "-q", "-c", "sh -i", "/dev/null"}, {}}, true, false},
      {{"select with a timeout", {"/usr/bin/python3", "-c", "import select; select.select([0], [], [], 60)"}, {}},
       false, true},
  };
  for (const auto& c : cases) {
    std::optional<pty::PtyProcess> p = start(c.row);
    if (!p) continue;
    std::string out;
    InputWait seen = InputWait::Busy;
    pty::WaitDetail detail;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline && seen != InputWait::Waiting) {
      drain(p->master_fd(), out);
      seen = p->foreground_input_wait(&detail);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(seen, InputWait::Waiting) << c.row.what << ": " << out;
    EXPECT_EQ(detail.relayed, c.relayed) << c.row.what;
    EXPECT_EQ(detail.timed, c.timed) << c.row.what;
    (void)p->terminate_session();
  }
}

TEST_F(InputWaitTest, ProgramsBusyWithAnythingButTheTerminalNeverReadWaiting) {
  const char* py = "/usr/bin/python3";
  struct Busy {
    Row row;
    bool drain;  // false: nobody reads the terminal, so the program's writes block
  };
  const Busy rows[] = {
      {{"sleep", {"sleep", "100"}, {}}, true},
      {{"read on a pipe", {py, "-c", "import os; r, w = os.pipe(); os.read(r, 1)"}, {}}, true},
      {{"select on a pipe", {py, "-c", "import os, select; r, w = os.pipe(); select.select([r], [], [])"}, {}}, true},
      {{"receive on a socket", {py, "-c", "import socket; a, b = socket.socketpair(); a.recv(1)"}, {}}, true},
      {{"busy loop", {"sh", "-c", "while :; do :; done"}, {}}, true},
      {{"a thread at work beside a reader",
        {py, "-c", "import sys, threading\ndef spin():\n    while True: pass\n"
                   "threading.Thread(target=spin, daemon=True).start(); sys.stdin.read(1)"},
        {}},
       true},
      {{"blocked writing", {"yes"}, {}}, false},
  };
  for (const Busy& busy : rows) {
    std::optional<pty::PtyProcess> p = start(busy.row);
    if (!p) continue;
    std::string out;
    // Past its start-up, whose reads of its own files are no input wait.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int waiting = 0, unknown = 0;
    for (int i = 0; i < 40; ++i) {
      if (busy.drain) drain(p->master_fd(), out);
      const InputWait seen = p->foreground_input_wait();
      waiting += seen == InputWait::Waiting;
      unknown += seen == InputWait::Unknown;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(waiting, 0) << busy.row.what;
    EXPECT_EQ(unknown, 0) << busy.row.what;
    auto alive = p->is_running();
    ASSERT_TRUE(alive.ok());
    EXPECT_TRUE(alive.value()) << busy.row.what << " ended early: " << out;
    (void)p->terminate_session();
  }
}

TEST_F(InputWaitTest, EndedSessionLeaderLeavesNoForegroundGroupToWait) {
  std::optional<pty::PtyProcess> p = start(Row{"true", {"true"}, {}});
  ASSERT_TRUE(p.has_value());
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (p->is_running().value() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(p->foreground_input_wait(), InputWait::Busy);
}

}  // namespace
