// The PTY layer against real children: what a started program sees (its
// terminal, window, echo, session, descriptors, signal dispositions), what a
// failed start leaves behind (nothing), the timing of the stop sequence, and
// what releasing or moving a record does to the child. Child programs are
// small /bin/sh scripts in a temporary folder or plain coreutils.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/internal_failure.h"
#include "pty/pty_process.h"
#include "pty_test_support.h"

namespace pty = morvik::pty;
using morvik::Errno;
using pty::PtyProcess;
using morvik::test::Clock;
using morvik::test::ms_since;
using morvik::test::read_file;
using morvik::test::read_until;
using morvik::test::TempDir;

namespace {

// --- helpers ----------------------------------------------------------------

std::set<int> open_fds(const std::string& proc_fd_dir) {
  std::set<int> out;
  DIR* dir = ::opendir(proc_fd_dir.c_str());
  if (dir == nullptr) return out;
  const int own = ::dirfd(dir);
  while (dirent* e = ::readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    const int fd = std::atoi(e->d_name);
    if (proc_fd_dir != "/proc/self/fd" || fd != own) out.insert(fd);
  }
  ::closedir(dir);
  return out;
}

std::set<int> own_fds() { return open_fds("/proc/self/fd"); }

// True when this process has no child at all, zombies included.
bool no_children() {
  int status = 0;
  return ::waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
}

std::string link_target(const std::string& path) {
  char buf[256] = {};
  const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

// Fields of /proc/<pid>/stat after the command name.
struct ProcStat {
  char state = '?';
  long pgrp = 0;
  long session = 0;
  long tty_nr = 0;
};

ProcStat proc_stat(pid_t pid) {
  const std::string text = read_file("/proc/" + std::to_string(pid) + "/stat");
  ProcStat st;
  const auto close_paren = text.rfind(')');
  if (close_paren == std::string::npos) return st;
  std::istringstream rest(text.substr(close_paren + 1));
  long ppid = 0;
  rest >> st.state >> ppid >> st.pgrp >> st.session >> st.tty_nr;
  return st;
}

// The kernel's encoding of a device number in /proc/<pid>/stat.
long encoded_tty(dev_t dev) {
  const unsigned long mj = major(dev), mn = minor(dev);
  return static_cast<long>((mn & 0xFF) | (mj << 8) | ((mn & ~0xFFul) << 12));
}

pty::ProcessDescription describe(std::string program, std::vector<std::string> args = {}) {
  pty::ProcessDescription d = pty::ProcessDescription::command(std::move(program));
  for (std::string& arg : args) d.argv.push_back(std::move(arg));
  return d;
}

PtyProcess spawn_ok(std::string program, std::vector<std::string> args = {}) {
  auto r = PtyProcess::spawn(describe(std::move(program), std::move(args)));
  if (!r.ok()) throw std::runtime_error("spawn failed: " + r.error().text());
  return std::move(r).value();
}

// Runs `body` in a forked copy of the test process, so that it may change
// process-wide state (standard descriptors, the host terminal); its return
// value is the copy's exit status, -1 if it did not end within the time.
int run_in_forked_process(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int code = 99;
    try {
      code = body();
    } catch (...) {
    }
    ::_exit(code);
  }
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  int status = 0;
  while (Clock::now() < deadline) {
    const pid_t got = ::waitpid(pid, &status, WNOHANG);
    if (got == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 200 + WTERMSIG(status);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return -1;
}

// The child's script has set its traps once it prints READY.
PtyProcess spawn_ready_script(const TempDir& dir, const std::string& traps) {
  PtyProcess p = spawn_ok(dir.script("traps.sh", traps + "\necho READY\nexec sleep 100"));
  const std::string out = read_until(p.master_fd(), "READY");
  if (out.find("READY") == std::string::npos) throw std::runtime_error("script never ready");
  return p;
}

// --- failed starts ---------------------------------------------------------

TEST(PtyTest, MissingProgramFailsWithEnoentAndLeavesNoDescriptorOrChild) {
  const std::set<int> before = own_fds();
  auto r = PtyProcess::spawn(describe("morvik-no-such-program-here"));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), Errno::from_raw(ENOENT));
  EXPECT_EQ(r.error().text(), "ENOENT: No such file or directory");
  EXPECT_EQ(own_fds(), before);
  EXPECT_TRUE(no_children());
}

TEST(PtyTest, ProgramNameWithBlankIsNotSplitIntoArguments) {
  auto r = PtyProcess::spawn(describe("ls -l"));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), Errno::from_raw(ENOENT));
  EXPECT_TRUE(no_children());
}

TEST(PtyTest, DirectoryAsProgramFailsWithEacces) {
  TempDir dir;
  const std::set<int> before = own_fds();
  auto r = PtyProcess::spawn(describe(dir.path()));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), Errno::from_raw(EACCES));
  EXPECT_EQ(own_fds(), before);
  EXPECT_TRUE(no_children());
}

TEST(PtyTest, NameWithNulByteIsRejectedAsInvalid) {
  const std::set<int> before = own_fds();
  auto r = PtyProcess::spawn(describe(std::string("sh\0-c", 5)));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), Errno::from_raw(EINVAL));
  auto with_arg = PtyProcess::spawn(describe("sh", {std::string("-c\0true", 7)}));
  ASSERT_FALSE(with_arg.ok());
  EXPECT_EQ(with_arg.error(), Errno::from_raw(EINVAL));
  EXPECT_EQ(own_fds(), before);
  EXPECT_TRUE(no_children());
}

// A child killed on its way to its exec (here while it works through a long
// PATH) is a failed start, never a session whose program never ran.
TEST(PtyTest, ChildKilledBeforeItsExecIsAFailedStart) {
  std::string path = "PATH=";
  for (int i = 0; i < 3000; ++i) path += "/nonexistent-morvik/" + std::to_string(i) + ":";
  path += "/bin:/usr/bin";
  const std::string self = link_target("/proc/self/exe");
  const std::string children = "/proc/self/task/" + std::to_string(::gettid()) + "/children";
  int failed_starts = 0;
  for (int attempt = 0; attempt < 30 && failed_starts == 0; ++attempt) {
    std::atomic<bool> done{false};
    std::thread killer([&] {
      while (!done) {
        const std::string text = read_file(children);
        if (text.empty()) continue;
        const pid_t pid = std::stoi(text);
        // Still the test's own image: not yet exec'd.
        if (link_target("/proc/" + std::to_string(pid) + "/exe") == self) {
          ::kill(pid, SIGKILL);
          return;
        }
      }
    });
    pty::ProcessDescription d = describe("sleep", {"30"});
    d.env = std::vector<std::string>{path};
    auto r = PtyProcess::spawn(std::move(d));
    done = true;
    killer.join();
    if (r.ok()) continue;  // the exec came first, or the kill came after it
    ++failed_starts;
    EXPECT_EQ(r.error(), Errno::from_raw(EINTR));
  }
  EXPECT_EQ(failed_starts, 1);
  EXPECT_TRUE(no_children());
}

// --- what the started program sees ------------------------------------------

TEST(PtyTest, ChildSeesItsTerminalWithEchoOffAndA24By80Window) {
  TempDir dir;
  const std::string probe = dir.script("probe.sh",
                                       "echo \"ARGS:$#:$1:$2\"\n"
                                       "echo \"TTY:$(tty)\"\n"
                                       "echo \"SIZE:$(stty size)\"\n"
                                       "echo \"MODES:$(stty -a | tr '\\n;' '  ')\"\n"
                                       "echo END\n"
                                       "sleep 30");
  PtyProcess p = spawn_ok(probe, {"a b", "c"});
  const std::string out = read_until(p.master_fd(), "END");
  auto slave = pty::get_slave_name(p.master_fd());
  ASSERT_TRUE(slave.ok());
  EXPECT_EQ(slave.value().rfind("/dev/pts/", 0), 0u) << slave.value();

  EXPECT_NE(out.find("ARGS:2:a b:c\r\n"), std::string::npos) << out;
  EXPECT_NE(out.find("TTY:" + slave.value() + "\r\n"), std::string::npos) << out;
  EXPECT_NE(out.find("SIZE:24 80\r\n"), std::string::npos) << out;

  const auto modes_at = out.find("MODES:");
  ASSERT_NE(modes_at, std::string::npos) << out;
  std::istringstream modes(out.substr(modes_at + 6, out.find('\r', modes_at) - modes_at - 6));
  std::set<std::string> words;
  for (std::string w; modes >> w;) words.insert(w);
  EXPECT_TRUE(words.count("-echo")) << out;
  EXPECT_FALSE(words.count("echo")) << out;
}

TEST(PtyTest, ChildLeadsANewSessionWithTheTerminalAsControllingTerminal) {
  PtyProcess p = spawn_ok("sleep", {"30"});
  auto slave = pty::get_slave_name(p.master_fd());
  ASSERT_TRUE(slave.ok());
  struct stat sb {};
  ASSERT_EQ(::stat(slave.value().c_str(), &sb), 0);

  const ProcStat st = proc_stat(p.pid());
  EXPECT_EQ(st.session, p.pid());
  EXPECT_EQ(st.pgrp, p.pid());
  EXPECT_EQ(st.tty_nr, encoded_tty(sb.st_rdev));
  EXPECT_NE(st.session, static_cast<long>(::getsid(0)));

  const std::string fd_dir = "/proc/" + std::to_string(p.pid()) + "/fd/";
  for (int fd : {0, 1, 2}) EXPECT_EQ(link_target(fd_dir + std::to_string(fd)), slave.value()) << fd;
}

TEST(PtyTest, NoHostDescriptorLeaksIntoTheChild) {
  // Inheritable descriptors of the host, including one far up the range.
  std::vector<int> extra;
  for (int i = 0; i < 3; ++i) extra.push_back(::open("/dev/null", O_RDONLY));
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  extra.push_back(ends[0]);
  extra.push_back(ends[1]);
  extra.push_back(::dup2(ends[0], 900));
  for (int fd : extra) ASSERT_GE(fd, 0);

  PtyProcess p = spawn_ok("sleep", {"30"});
  for (int fd : extra) ::close(fd);

  // Start-up of the program may open and close files of its own; a leaked
  // descriptor stays.
  const std::string fd_dir = "/proc/" + std::to_string(p.pid()) + "/fd";
  const std::set<int> expected{0, 1, 2};
  std::set<int> seen = open_fds(fd_dir);
  const auto deadline = Clock::now() + std::chrono::seconds(3);
  while (seen != expected && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    seen = open_fds(fd_dir);
  }
  EXPECT_EQ(seen, expected);
}

// A host run in the background ignores SIGHUP, SIGINT and SIGQUIT, an
// interpreter ignores SIGPIPE, and host threads block signals: none of it
// may reach the program.
TEST(PtyTest, ChildStartsWithDefaultDispositionsAndNothingBlockedWhateverTheHostHas) {
  constexpr int IGNORED[] = {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGXFSZ, SIGUSR2};
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  struct sigaction old[std::size(IGNORED)] = {};
  for (std::size_t i = 0; i < std::size(IGNORED); ++i) ASSERT_EQ(::sigaction(IGNORED[i], &ignore, &old[i]), 0);
  // glibc will not touch 33, one of the two it keeps for itself; a host can
  // still have it ignored, so the kernel is asked directly.
  constexpr int LIBC_INTERNAL = 33;
  const unsigned long ignore_raw[4] = {reinterpret_cast<unsigned long>(SIG_IGN), 0, 0, 0};
  unsigned long old_raw[4] = {};
  ASSERT_EQ(::syscall(SYS_rt_sigaction, LIBC_INTERNAL, ignore_raw, old_raw, 8), 0);
  sigset_t blocked, old_mask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGUSR1);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &old_mask), 0);
  std::optional<PtyProcess> p;
  try {
    p.emplace(spawn_ok("sleep", {"30"}));
  } catch (...) {
  }
  ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  for (std::size_t i = 0; i < std::size(IGNORED); ++i) ::sigaction(IGNORED[i], &old[i], nullptr);
  ::syscall(SYS_rt_sigaction, LIBC_INTERNAL, old_raw, nullptr, 8);
  ASSERT_TRUE(p.has_value());

  const std::string status = read_file("/proc/" + std::to_string(p->pid()) + "/status");
  for (const char* field : {"SigIgn:", "SigBlk:"}) {
    const auto at = status.find(field);
    ASSERT_NE(at, std::string::npos) << field;
    EXPECT_EQ(std::stoull(status.substr(at + 7), nullptr, 16), 0u) << field;
  }
}

// --- what to start -----------------------------------------------------------

std::vector<std::string> nul_separated(const std::string& text) {
  std::vector<std::string> out;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find('\0', at);
    out.push_back(text.substr(at, end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return out;
}

// What the program gets is what the description says, nothing of the
// host's: argv[0] as given, exactly the environment, the directory, the size.
TEST(PtyTest, ProgramGetsExactlyTheDescribedArgvEnvironmentDirectoryAndWindow) {
  TempDir dir;
  struct Row {
    const char* what;
    bool held;  // run through a descriptor from open_executable
  };
  for (const Row row : {Row{"searched along PATH", false}, Row{"held descriptor", true}}) {
    pty::ProcessDescription d;
    d.argv = {row.held ? "any-name-at-all" : "sh", "-c", "read line", "a b", ""};
    d.env = std::vector<std::string>{"PATH=/usr/bin:/bin", "MORVIK_PROBE=x y", "EMPTY="};
    d.cwd = dir.path();
    d.size = {50, 132};
    if (row.held) {
      auto found = pty::open_executable("sh", d.env);
      ASSERT_TRUE(found.ok()) << found.error().text();
      EXPECT_TRUE(found->path == "/usr/bin/sh" || found->path == "/bin/sh") << found->path;
      d.executable = std::move(found->fd);
    }
    auto r = PtyProcess::spawn(std::move(d));
    ASSERT_TRUE(r.ok()) << row.what << ": " << r.error().text();
    const std::string proc = "/proc/" + std::to_string(r->pid()) + "/";
    // The exec closes the status pipe before it has laid out the new
    // program's arguments; a moment later they are there.
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (read_file(proc + "cmdline").empty() && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const std::vector<std::string> argv{row.held ? "any-name-at-all" : "sh", "-c", "read line", "a b", ""};
    EXPECT_EQ(nul_separated(read_file(proc + "cmdline")), argv) << row.what;
    EXPECT_EQ(nul_separated(read_file(proc + "environ")),
              (std::vector<std::string>{"PATH=/usr/bin:/bin", "MORVIK_PROBE=x y", "EMPTY="}))
        << row.what;
    EXPECT_EQ(link_target(proc + "cwd"), dir.path()) << row.what;
    struct winsize ws {};
    ASSERT_EQ(::ioctl(r->master_fd(), TIOCGWINSZ, &ws), 0);
    EXPECT_EQ(ws.ws_row, 50);
    EXPECT_EQ(ws.ws_col, 132);
    // Nothing but the terminal is inherited, the held descriptor included.
    // The program's own start-up opens and closes descriptors (its dynamic
    // loader's libc was caught here as descriptor 3, and on a busy machine a
    // later open between two looks that had settled): look once it is done,
    // asleep reading its terminal.
    while (r->foreground_input_wait() != pty::InputWait::Waiting && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(open_fds(proc + "fd"), (std::set<int>{0, 1, 2})) << row.what;
  }
}

// The held descriptor is what runs, whatever the path names by then; a
// script (ldd is one) runs through it too, its interpreter reading it as
// /dev/fd/N.
TEST(PtyTest, HeldExecutableRunsTheFileThatWasOpenedEvenAfterTheNameChanges) {
  TempDir dir;
  const std::string path = dir.script("tool", "echo ORIGINAL; sleep 30");
  auto found = pty::open_executable(path);
  ASSERT_TRUE(found.ok()) << found.error().text();
  EXPECT_EQ(found->path, path);
  ASSERT_EQ(::rename(path.c_str(), (path + ".old").c_str()), 0);
  dir.script("tool", "echo SWAPPED; sleep 30");

  pty::ProcessDescription d;
  d.argv = {path};
  d.executable = std::move(found->fd);
  PtyProcess p = std::move(PtyProcess::spawn(std::move(d))).value();
  const std::string out = read_until(p.master_fd(), "\n");
  EXPECT_NE(out.find("ORIGINAL"), std::string::npos) << out;
  EXPECT_EQ(out.find("SWAPPED"), std::string::npos) << out;

  auto ldd = pty::open_executable("ldd");
  if (!ldd.ok()) GTEST_SKIP() << "no ldd on this machine";
  pty::ProcessDescription l;
  l.argv = {"ldd", "/bin/sh"};
  l.executable = std::move(ldd->fd);
  auto listed = PtyProcess::spawn(std::move(l));
  ASSERT_TRUE(listed.ok()) << listed.error().text();
  const std::string libs = read_until(listed->master_fd(), "libc.so");
  EXPECT_NE(libs.find("libc.so"), std::string::npos) << libs;
}

// execvp's search, done by the parent: a file that may not be run is
// passed over for a later one; only such files give EACCES; nothing gives
// ENOENT; a file without "#!" runs with /bin/sh.
TEST(PtyTest, LookupAlongPathPassesOverWhatCannotRun) {
  TempDir dir;
  const std::string denied = dir.path() + "/denied", allowed = dir.path() + "/allowed";
  ASSERT_EQ(::mkdir(denied.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(allowed.c_str(), 0755), 0);
  std::ofstream(denied + "/prog") << "#!/bin/sh\necho DENIED\n";
  ::chmod((denied + "/prog").c_str(), 0644);
  std::ofstream(allowed + "/prog") << "#!/bin/sh\necho ALLOWED; sleep 30\n";
  ::chmod((allowed + "/prog").c_str(), 0755);
  std::ofstream(allowed + "/bare") << "echo BARE; sleep 30\n";
  ::chmod((allowed + "/bare").c_str(), 0755);
  struct Row {
    const char* name;
    std::string path;
    int error;            // 0: starts
    const char* output;   // what it prints when it starts
  };
  const Row rows[] = {
      {"prog", "PATH=" + denied + ":" + allowed, 0, "ALLOWED"},
      {"prog", "PATH=" + denied, EACCES, nullptr},
      {"prog", "PATH=/nonexistent:" + dir.path(), ENOENT, nullptr},
      {"bare", "PATH=" + allowed, 0, "BARE"},
  };
  for (const Row& row : rows) {
    const std::vector<std::string> env{row.path, "LC_ALL=C"};
    auto found = pty::open_executable(row.name, env);
    pty::ProcessDescription d;
    d.argv = {row.name};
    d.env = env;
    auto r = PtyProcess::spawn(std::move(d));
    if (row.error != 0) {
      ASSERT_FALSE(found.ok()) << row.path;
      EXPECT_EQ(found.error(), Errno::from_raw(row.error)) << row.path;
      ASSERT_FALSE(r.ok()) << row.path;
      EXPECT_EQ(r.error(), Errno::from_raw(row.error)) << row.path;
      continue;
    }
    ASSERT_TRUE(found.ok()) << row.path;
    ASSERT_TRUE(r.ok()) << row.path << ": " << r.error().text();
    const std::string out = read_until(r->master_fd(), row.output);
    EXPECT_NE(out.find(row.output), std::string::npos) << row.path << ": " << out;
  }
  EXPECT_TRUE(no_children());
}

TEST(PtyTest, ResizeReachesTheProgramAsAWindowChange) {
  TempDir dir;
  PtyProcess p = spawn_ok(dir.script("winch.sh",
                                     "trap 'echo \"WINCH $(stty size)\"' WINCH\n"
                                     "echo READY\n"
                                     "while :; do sleep 0.05; done"));
  ASSERT_NE(read_until(p.master_fd(), "READY").find("READY"), std::string::npos);
  ASSERT_TRUE(p.resize({40, 100}).ok());
  const std::string out = read_until(p.master_fd(), "WINCH 40 100");
  EXPECT_NE(out.find("WINCH 40 100"), std::string::npos) << out;
}

TEST(PtyTest, DescriptionThatCannotBePassedIsRejectedBeforeAnythingStarts) {
  const std::set<int> before = own_fds();
  pty::ProcessDescription empty;
  auto none = PtyProcess::spawn(std::move(empty));
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.error(), Errno::from_raw(EINVAL));
  pty::ProcessDescription env_nul = describe("true");
  env_nul.env = std::vector<std::string>{std::string("A=b\0c", 5)};
  auto bad = PtyProcess::spawn(std::move(env_nul));
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error(), Errno::from_raw(EINVAL));
  EXPECT_EQ(own_fds(), before);
  EXPECT_TRUE(no_children());
}

// --- the parent's side ------------------------------------------------------

TEST(PtyTest, SuccessfulSpawnKeepsOnlyTheMasterAndTheProcessHandleAndReleaseClosesThem) {
  const std::set<int> before = own_fds();
  {
    PtyProcess p = spawn_ok("sleep", {"30"});
    std::set<int> now = own_fds();
    EXPECT_EQ(now.size(), before.size() + 2);
    EXPECT_TRUE(now.count(p.master_fd()));
    EXPECT_TRUE(now.count(p.pidfd()));
    EXPECT_GE(p.master_fd(), 3);
    EXPECT_GE(p.pidfd(), 3);
    EXPECT_NE(::fcntl(p.pidfd(), F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_GT(p.pid(), 0);
  }
  EXPECT_EQ(own_fds(), before);
  EXPECT_TRUE(no_children());
  EXPECT_FALSE(morvik::take_deferred_internal_failure().has_value());
}

TEST(PtyTest, MasterShowsTheWindowAndNeitherItNorTheRawHandleIsInherited) {
  PtyProcess p = spawn_ok("sleep", {"30"});
  struct winsize ws {};
  ASSERT_EQ(::ioctl(p.master_fd(), TIOCGWINSZ, &ws), 0);
  EXPECT_EQ(ws.ws_row, 24);
  EXPECT_EQ(ws.ws_col, 80);
  EXPECT_NE(::fcntl(p.master_fd(), F_GETFD) & FD_CLOEXEC, 0);

  auto raw = p.get_raw_handle();
  ASSERT_TRUE(raw.ok());
  EXPECT_NE(raw->get(), p.master_fd());
  EXPECT_GE(raw->get(), 3);
  EXPECT_NE(::fcntl(raw->get(), F_GETFD) & FD_CLOEXEC, 0);
  struct stat a {}, b {};
  ASSERT_EQ(::fstat(raw->get(), &a), 0);
  ASSERT_EQ(::fstat(p.master_fd(), &b), 0);
  EXPECT_EQ(a.st_rdev, b.st_rdev);
  EXPECT_EQ(a.st_ino, b.st_ino);
}

TEST(PtyTest, SpawnWorksWhenHostRunsWithStandardDescriptorsClosed) {
  const int code = run_in_forked_process([] {
    ::close(0);
    ::close(1);
    ::close(2);
    PtyProcess p = spawn_ok("sleep", {"30"});
    if (p.master_fd() < 3 || p.pidfd() < 3) return 10;
    auto slave = pty::get_slave_name(p.master_fd());
    if (!slave.ok()) return 11;
    const std::string fd_dir = "/proc/" + std::to_string(p.pid()) + "/fd/";
    for (int fd : {0, 1, 2}) {
      if (link_target(fd_dir + std::to_string(fd)) != slave.value()) return 12 + fd;
    }
    auto alive = p.is_alive();
    if (!alive.ok() || !alive.value()) return 15;
    return 0;
  });
  EXPECT_EQ(code, 0);
}

// --- status and the stop sequence ------------------------------------------

// The stop tests count pauses; one of them keeps the real 100 ms, the others
// run at SHORT_PAUSE so that the suite does not wait on it.
constexpr long long SHORT_PAUSE = 20;

class ShortSignalPause {
 public:
  ShortSignalPause() { pty::set_signal_pause_for_tests(std::chrono::milliseconds(SHORT_PAUSE)); }
  ~ShortSignalPause() { pty::set_signal_pause_for_tests(pty::SIGNAL_PAUSE); }
};

TEST(PtyTest, ExitEndsDefaultHangupProgramAfterOnePause) {
  PtyProcess p = spawn_ok("sleep", {"100"});
  const auto start = Clock::now();
  auto r = p.exit(true);
  const long long took = ms_since(start);
  ASSERT_TRUE(r.ok()) << r.error().text();
  EXPECT_TRUE(r.value());
  EXPECT_GE(took, 100);
  EXPECT_LT(took, 1500);
  auto alive = p.is_alive();
  ASSERT_TRUE(alive.ok());
  EXPECT_FALSE(alive.value());
}

TEST(PtyTest, ExitNeedsInterruptForProgramIgnoringHangup) {
  ShortSignalPause short_pause;
  TempDir dir;
  PtyProcess p = spawn_ready_script(dir, "trap '' HUP");
  const auto start = Clock::now();
  auto r = p.exit(true);
  const long long took = ms_since(start);
  ASSERT_TRUE(r.ok()) << r.error().text();
  EXPECT_TRUE(r.value());
  EXPECT_GE(took, 3 * SHORT_PAUSE);
  EXPECT_LT(took, 3 * SHORT_PAUSE + 1500);
}

TEST(PtyTest, ExitWithoutForceLeavesStubbornProgramRunningAndForceKillsIt) {
  ShortSignalPause short_pause;
  TempDir dir;
  PtyProcess p = spawn_ready_script(dir, "trap '' HUP INT TERM");
  auto start = Clock::now();
  auto gentle = p.exit(false);
  long long took = ms_since(start);
  ASSERT_TRUE(gentle.ok()) << gentle.error().text();
  EXPECT_FALSE(gentle.value());
  EXPECT_GE(took, 4 * SHORT_PAUSE);
  EXPECT_LT(took, 4 * SHORT_PAUSE + 1600);
  EXPECT_EQ(::kill(p.pid(), 0), 0);
  auto alive = p.is_alive();
  ASSERT_TRUE(alive.ok());
  EXPECT_TRUE(alive.value());

  start = Clock::now();
  auto forced = p.exit(true);
  took = ms_since(start);
  ASSERT_TRUE(forced.ok()) << forced.error().text();
  EXPECT_TRUE(forced.value());
  EXPECT_GE(took, 5 * SHORT_PAUSE);
  EXPECT_LT(took, 5 * SHORT_PAUSE + 2000);
  EXPECT_EQ(::kill(p.pid(), 0), -1);
}

TEST(PtyTest, ProgramThatEndedOnItsOwnIsCollectedOnceAndStopsAtOnce) {
  std::optional<PtyProcess> p(spawn_ok("true"));
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  morvik::Result<bool> alive = true;
  while (Clock::now() < deadline) {
    alive = p->is_alive();
    ASSERT_TRUE(alive.ok()) << alive.error().text();
    if (!alive.value()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_FALSE(alive.value());
  alive = p->is_alive();
  ASSERT_TRUE(alive.ok());
  EXPECT_FALSE(alive.value());

  auto start = Clock::now();
  auto r = p->exit(true);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r.value());
  EXPECT_LT(ms_since(start), 50);

  start = Clock::now();
  p.reset();
  EXPECT_LT(ms_since(start), 50);
  EXPECT_TRUE(no_children());
}

TEST(PtyTest, ExitResumesStoppedProgramSoHeldHangupEndsIt) {
  ShortSignalPause short_pause;
  PtyProcess p = spawn_ok("sleep", {"100"});
  ASSERT_EQ(::kill(p.pid(), SIGSTOP), 0);
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (proc_stat(p.pid()).state != 'T' && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(proc_stat(p.pid()).state, 'T');
  auto alive = p.is_alive();
  ASSERT_TRUE(alive.ok());
  EXPECT_TRUE(alive.value());

  const auto start = Clock::now();
  auto r = p.exit(true);
  const long long took = ms_since(start);
  ASSERT_TRUE(r.ok()) << r.error().text();
  EXPECT_TRUE(r.value());
  EXPECT_GE(took, 2 * SHORT_PAUSE);
  EXPECT_LT(took, 2 * SHORT_PAUSE + 1300);
}

TEST(PtyTest, ChildKilledByRealTimeSignalIsNotAliveFromTheFirstCall) {
  PtyProcess p = spawn_ok("sleep", {"100"});
  ASSERT_EQ(::kill(p.pid(), SIGRTMIN + 1), 0);
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  morvik::Result<bool> alive = true;
  while (Clock::now() < deadline) {
    alive = p.is_alive();
    if (!alive.ok() || !alive.value()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(alive.ok()) << alive.error().text();
  EXPECT_FALSE(alive.value());
  auto stopped = p.exit(true);
  ASSERT_TRUE(stopped.ok());
  EXPECT_TRUE(stopped.value());
}

// The status of the first collecting wait is kept; a child that another
// party collected has none, and nothing reaches its number any more.
TEST(PtyTest, ExitStatusIsRecordedByTheCollectingWait) {
  struct Row {
    const char* script;
    std::optional<pty::ExitStatus> expected;  // nullopt: the host collects it itself
  };
  const Row rows[] = {
      {"exit 7", pty::ExitStatus::exited(7)},
      {"exit 0", pty::ExitStatus::exited(0)},
      {"kill -TERM $$", pty::ExitStatus::killed(SIGTERM, false)},
      {"exec sleep 30", std::nullopt},
  };
  TempDir dir;
  for (const Row& row : rows) {
    PtyProcess p = spawn_ok(dir.script("status.sh", row.script));
    if (!row.expected) {
      ASSERT_EQ(::kill(p.pid(), SIGKILL), 0);
      int status = 0;
      ASSERT_EQ(::waitpid(p.pid(), &status, 0), p.pid());
    }
    EXPECT_EQ(p.exit_status(), std::nullopt) << row.script;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    morvik::Result<bool> alive = true;
    while (Clock::now() < deadline) {
      alive = p.is_alive();
      if (!alive.ok() || !alive.value()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(alive.ok()) << row.script << ": " << alive.error().text();
    EXPECT_FALSE(alive.value()) << row.script;
    EXPECT_EQ(p.exit_status(), row.expected) << row.script;
    const auto start = Clock::now();
    auto stopped = p.exit(true);
    ASSERT_TRUE(stopped.ok());
    EXPECT_TRUE(stopped.value());
    EXPECT_LT(ms_since(start), 50) << row.script;
  }
  EXPECT_TRUE(no_children());
}

// --- release and moves -----------------------------------------------------

TEST(PtyTest, ReleaseKillsChildThatIgnoresEveryStopSignal) {
  ShortSignalPause short_pause;
  TempDir dir;
  const std::set<int> before = own_fds();
  std::optional<PtyProcess> p(spawn_ready_script(dir, "trap '' HUP INT TERM"));
  const pid_t pid = p->pid();
  const auto start = Clock::now();
  p.reset();
  const long long took = ms_since(start);
  EXPECT_GE(took, 5 * SHORT_PAUSE);
  EXPECT_LT(took, 5 * SHORT_PAUSE + 2000);
  EXPECT_EQ(::kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
  EXPECT_EQ(own_fds(), before);
  EXPECT_TRUE(no_children());
  EXPECT_FALSE(morvik::take_deferred_internal_failure().has_value());
}

TEST(PtyTest, MovedFromRecordReleasesNothingAndWaitsForNoOtherChild) {
  std::optional<PtyProcess> first(spawn_ok("sleep", {"30"}));
  const pid_t pid = first->pid();
  PtyProcess owner(std::move(*first));
  EXPECT_EQ(owner.pid(), pid);

  // An unrelated child of the host that has already ended: a moved-from
  // record asking after "its" child must not collect this one.
  const pid_t bystander = ::fork();
  ASSERT_GE(bystander, 0);
  if (bystander == 0) ::_exit(0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  auto moved_alive = first->is_alive();
  ASSERT_TRUE(moved_alive.ok());
  EXPECT_FALSE(moved_alive.value());
  int status = 0;
  EXPECT_EQ(::waitpid(bystander, &status, 0), bystander);

  const auto start = Clock::now();
  first.reset();
  EXPECT_LT(ms_since(start), 50);
  EXPECT_EQ(::kill(pid, 0), 0);
  auto alive = owner.is_alive();
  ASSERT_TRUE(alive.ok());
  EXPECT_TRUE(alive.value());
  EXPECT_NE(::fcntl(owner.master_fd(), F_GETFD), -1);
}

}  // namespace
