// The PTY layer's process handle: allocating the pseudo-terminal pair,
// forking the child that makes the subordinate side its controlling terminal
// and execs the program, carrying a failed start back through the status
// pipe, and later asking after the child, stopping it and releasing it.
// It must never throw for an operating-system failure (errors are values),
// never leave a descriptor or a zombie behind on a failure path, and never
// let the forked child touch anything a dead thread of the parent could hold.
#include "pty_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string_view>
#include <utility>

#include "base/eintr.h"
#include "base/fork_watch.h"
#include "base/internal_failure.h"
#include "wait_status.h"

namespace morvik::pty {

namespace {

// ptsname_r's buffer; /dev/pts/N needs far less.
constexpr std::size_t SLAVE_NAME_BUFFER = 64;
// Child step 12 when sysconf cannot name a limit (Linux always can): the
// kernel's default ceiling for per-process descriptors.
constexpr long FALLBACK_OPEN_MAX = 1 << 20;
constexpr int FIRST_NON_STDIO_FD = 3;
constexpr const char* CONTROLLING_TTY = "/dev/tty";
// Linux numbers signals 1 to 64 (the real-time ones from 32 up); the
// kernel's signal set is 64 bits.
constexpr int MAX_SIGNAL_NUMBER = 64;
constexpr unsigned long KERNEL_SIGSET_BYTES = 8;

// Where glibc's execvp and CPython look when the environment has no PATH.
constexpr const char* DEFAULT_SEARCH_PATH = "/bin:/usr/bin";
// What runs a file the kernel cannot run itself (no "#!" line), as execvp
// does.
constexpr const char* FALLBACK_SHELL = "/bin/sh";
// The child's name (at most 15 bytes) from its first step until its exec,
// which always renames it after the program's file.
constexpr const char* STARTING_NAME = "morvik-starting";
// How long an exec that has closed the status pipe may take to rename the
// child: a few microseconds of the kernel's own work; the bound only keeps
// a stuck /proc from holding a start.
constexpr std::chrono::milliseconds EXEC_RENAME_LIMIT{1000};

// The window size record, shared by the parent's call on the master and the
// child's on its terminal (a plain ioctl, fork-safe).
struct winsize window_record(WindowSize size) noexcept {
  struct winsize ws {};
  ws.ws_row = size.rows;
  ws.ws_col = size.columns;
  return ws;
}

// The kernel's calls, made directly so that the layer does not depend on a
// C library recent enough to wrap them.
[[maybe_unused]] int open_process_handle(pid_t pid) noexcept {
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}
int send_signal(int pidfd, int sig) noexcept {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
}

// Reaps a child that has reported failure (it is about to _exit), so that no
// zombie outlives the failed start. Through the handle: a number could
// already name another process if someone else collected ours.
void reap(int pidfd) noexcept {
  siginfo_t info{};
  (void)retry_on_eintr(
      [&] { return ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info, WEXITED); });
}

// Once the parent cannot tell whether the child started its program, nobody
// would ever own that child: stop it hard and collect it rather than leave an
// unowned process (or a zombie) behind.
void abandon_child(int pidfd) noexcept {
  (void)send_signal(pidfd, SIGKILL);
  reap(pidfd);
}

// The pause after each stop signal; only tests change it.
std::atomic<std::chrono::milliseconds::rep> g_signal_pause_ms{SIGNAL_PAUSE.count()};

// The full pause, even when a signal handler interrupts the sleep: the stop
// sequence's timing promises at least this much between signal and check.
void pause_fully(std::chrono::nanoseconds pause) noexcept {
  struct timespec deadline {};
  ::clock_gettime(CLOCK_MONOTONIC, &deadline);
  const long long total = static_cast<long long>(deadline.tv_nsec) + pause.count();
  deadline.tv_sec += static_cast<time_t>(total / 1'000'000'000);
  deadline.tv_nsec = static_cast<long>(total % 1'000'000'000);
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

// Everything the child needs, built by the parent before fork.
struct ChildPlan {
  const char* slave_path;
  char* const* argv;
  char* const* envp;
  // Without an executable descriptor: the files to try in turn, as execvp
  // would, and the argument vector that runs one of them with the shell
  // (slot 1 receives the file).
  const char* const* candidates;
  std::size_t candidate_count;
  char** shell_argv;
  int executable_fd;  // -1: use the candidates
  // With executable_fd: the path to run it by, and what that descriptor
  // is, which the path must still name at the exec. nullptr: run the
  // descriptor itself.
  const char* checked_path;
  dev_t executable_dev;
  ino_t executable_ino;
  const char* cwd;    // nullptr: the host's
  struct winsize window;
  int master_fd;
  int status_read_fd;
  int status_write_fd;
  // Set by the child once it bears STARTING_NAME, in memory the parent sees
  // (its own, or a shared page when the child is a forked copy).
  volatile int* name_marked;
};

// ---------------------------------------------------------------------------
// Code run in the forked child, up to exec.
//
// The host is a multi-threaded process (an interpreter with its own threads
// and ours), and fork copied only the calling thread. Any lock another thread
// held at that instant (malloc's arenas, stdio's FILE locks, the dynamic
// loader's, a C++ runtime's) stays locked forever in the child, so code here
// must not allocate, throw, log, touch iostreams or stdio, call into the
// interpreter or take any lock. It reads no state of the host either (not
// even `environ`, which another thread may be rewriting): it uses only plain
// system-call wrappers on data the parent prepared before the fork
// (ChildPlan), and it leaves only through exec or _exit: running exit()
// would flush the parent's copied stdio buffers a second time and run atexit
// handlers meant for the parent. The error number therefore becomes the exit
// status through _exit. The library is linked with `-z now`, so no call here
// runs the dynamic linker's lazy lookup, which takes the loader's lock.
//
// The child may also run in the host's own memory (see start_child): then it
// must write nothing but its own stack (and the one slot of the shell's
// argument vector that the parent set aside for it), never return from its
// entry point, and leave the rest of the plan untouched.
// ---------------------------------------------------------------------------

[[noreturn]] void report_and_exit(int status_fd, int err) noexcept {
  // A zero would read as success in the parent; the number out of the table
  // still reports a failure ("UnknownErrno").
  if (err == 0) err = -1;
  const auto word = static_cast<std::uint32_t>(err);
  const unsigned char message[4] = {
      static_cast<unsigned char>(word >> 24), static_cast<unsigned char>(word >> 16),
      static_cast<unsigned char>(word >> 8), static_cast<unsigned char>(word)};
  (void)retry_on_eintr([&] { return ::write(status_fd, message, sizeof message); });
  (void)::close(status_fd);
  ::_exit(err);
}

// Closes [first, last], clipped to the open-file limit when the kernel lacks
// close_range and the numbers must be tried one by one.
void close_span(unsigned first, unsigned last, unsigned limit) noexcept {
  if (first > last) return;
#ifdef SYS_close_range
  if (::syscall(SYS_close_range, first, last, 0) == 0) return;
#endif
  for (unsigned n = first; n <= last && n < limit; ++n) (void)::close(static_cast<int>(n));
}

// Every descriptor from 3 up closes except the ones this code still needs.
// With close_range the last span runs to the top of the number space, so a
// descriptor above a lowered soft limit does not slip through either.
void close_other_descriptors(const ChildPlan& plan, int slave_fd, unsigned limit) noexcept {
  constexpr int KEPT = 5;
  int keep[KEPT] = {plan.master_fd, slave_fd, plan.status_read_fd, plan.status_write_fd, plan.executable_fd};
  for (int i = 1; i < KEPT; ++i) {
    for (int j = i; j > 0 && keep[j - 1] > keep[j]; --j) std::swap(keep[j - 1], keep[j]);
  }
  unsigned next = FIRST_NON_STDIO_FD;
  for (int fd : keep) {
    if (fd < FIRST_NON_STDIO_FD || static_cast<unsigned>(fd) < next) continue;
    close_span(next, static_cast<unsigned>(fd) - 1, limit);
    next = static_cast<unsigned>(fd) + 1;
  }
  close_span(next, UINT_MAX, limit);
}

// The program must start with the signal state a program expects, not the
// host's: a host started with `nohup` or `&` ignores SIGHUP, SIGINT and
// SIGQUIT, an interpreter ignores SIGPIPE and SIGXFSZ, and an ignored
// disposition survives exec. A program that ignores SIGINT makes Ctrl-C do
// nothing, and one that ignores SIGHUP makes every stop take the long way.
// Handlers of the host are reset too, so none of them can run in the child
// before exec. The kernel's call is made directly: glibc refuses the two
// numbers it keeps for itself (32 and 33), yet a host can have them ignored
// (an interpreter started by another's subprocess module has them so), and
// an ignored disposition survives exec like any other. All-zero is SIG_DFL
// with no flags and an empty mask in every layout of the kernel's record.
//
// Each signal is ignored first: that discards whatever is pending for it.
// Until setsid the child is in the host's process group with every signal
// blocked, so a signal sent to that group meanwhile (a Ctrl-C in the host's
// terminal, a SIGINT the host itself ignores under nohup) waits in the
// child, and set straight to the default it would kill the child the moment
// it unblocks, before its exec. Ignored, then default, then unblocked
// (after setsid, so nothing more can come from the host's group), nothing
// of the host's is left to act.
void reset_signal_dispositions() noexcept {
  const unsigned long ignore_action[4] = {reinterpret_cast<unsigned long>(SIG_IGN), 0, 0, 0};
  const unsigned long default_action[4] = {0, 0, 0, 0};
  for (int sig = 1; sig <= MAX_SIGNAL_NUMBER; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP) continue;
    (void)::syscall(SYS_rt_sigaction, sig, ignore_action, nullptr, KERNEL_SIGSET_BYTES);
    (void)::syscall(SYS_rt_sigaction, sig, default_action, nullptr, KERNEL_SIGSET_BYTES);
  }
}

int execveat_empty_path(int fd, char* const* argv, char* const* envp) noexcept {
  static char empty[] = "";
  return static_cast<int>(::syscall(SYS_execveat, fd, empty, argv, envp, AT_EMPTY_PATH));
}

// Runs the program; returns only with the error number that stopped it.
int exec_program(const ChildPlan& plan) noexcept {
  if (plan.executable_fd >= 0 && plan.checked_path != nullptr) {
    // The path may have been swapped since the parent opened the file; the
    // window left is the few instructions between this check and the exec.
    struct stat named {};
    if (::stat(plan.checked_path, &named) != 0) return errno;
    if (named.st_dev != plan.executable_dev || named.st_ino != plan.executable_ino) return ESTALE;
    (void)::execve(plan.checked_path, plan.argv, plan.envp);
    return errno;
  }
  if (plan.executable_fd >= 0) {
    (void)execveat_empty_path(plan.executable_fd, plan.argv, plan.envp);
    if (errno != ENOENT) return errno;
    // A script: its interpreter is handed /dev/fd/N to open after the exec,
    // and the kernel refuses to start one whose N the exec would close. The
    // descriptor stays open in the program then; nothing else is inherited.
    if (::fcntl(plan.executable_fd, F_SETFD, 0) != 0) return errno;
    (void)execveat_empty_path(plan.executable_fd, plan.argv, plan.envp);
    return errno;
  }
  // execvp's search, on candidates the parent built from PATH.
  bool denied = false;
  int err = ENOENT;
  for (std::size_t i = 0; i < plan.candidate_count; ++i) {
    (void)::execve(plan.candidates[i], plan.argv, plan.envp);
    err = errno;
    if (err == ENOEXEC) {
      plan.shell_argv[1] = const_cast<char*>(plan.candidates[i]);
      (void)::execve(FALLBACK_SHELL, plan.shell_argv, plan.envp);
      err = errno;
    }
    switch (err) {
      case EACCES:
        denied = true;
        continue;
      case ENOENT:
      case ESTALE:
      case ENOTDIR:
      case ENODEV:
      case ETIMEDOUT:
        continue;
      default:
        return err;
    }
  }
  return denied ? EACCES : err;
}

[[noreturn]] void run_child(const ChildPlan& plan) noexcept {
  const int report = plan.status_write_fd;
  // The name an exec replaces (see died_before_exec).
  (void)::prctl(PR_SET_NAME, STARTING_NAME, 0, 0, 0);
  *plan.name_marked = 1;
  // Every signal stays blocked (see spawn) until the dispositions are reset
  // below, after setsid: no handler of the host can run here meanwhile.

  // Step 1, the subordinate's path, was taken by the parent (plan.slave_path).

  // Shed any controlling terminal inherited from the host.
  int fd = ::open(CONTROLLING_TTY, O_RDWR | O_NOCTTY);
  if (fd >= 0) {
    if (::close(fd) != 0) report_and_exit(report, errno);
  } else if (errno != ENXIO) {
    report_and_exit(report, errno);
  }
  if (::setsid() < 0) report_and_exit(report, errno);
  reset_signal_dispositions();
  fd = ::open(CONTROLLING_TTY, O_RDWR | O_NOCTTY);
  if (fd >= 0) {
    if (::close(fd) != 0) report_and_exit(report, errno);
    report_and_exit(report, EOPNOTSUPP);
  }
  if (errno != ENXIO) report_and_exit(report, EOPNOTSUPP);

  // The first terminal a session leader opens without O_NOCTTY becomes its
  // controlling terminal; no TIOCSCTTY is needed.
  fd = ::open(plan.slave_path, O_RDWR);
  if (fd < 0) report_and_exit(report, errno);
  if (::close(fd) != 0) report_and_exit(report, errno);
  fd = ::open(CONTROLLING_TTY, O_WRONLY);
  if (fd < 0) report_and_exit(report, errno);
  if (::close(fd) != 0) report_and_exit(report, errno);

  int slave = ::open(plan.slave_path, O_RDWR | O_NOCTTY);
  if (slave < 0) report_and_exit(report, errno);
  if (slave < FIRST_NON_STDIO_FD) {
    // Only when the host had a standard descriptor closed: the close of 0..2
    // below would otherwise take the subordinate with it.
    const int moved = ::fcntl(slave, F_DUPFD, FIRST_NON_STDIO_FD);
    if (moved < 0) report_and_exit(report, errno);
    (void)::close(slave);
    slave = moved;
  }

  (void)::close(STDIN_FILENO);
  (void)::close(STDOUT_FILENO);
  (void)::close(STDERR_FILENO);
  for (int target : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (::dup2(slave, target) < 0) report_and_exit(report, errno);
  }

  struct termios modes {};
  if (::tcgetattr(STDIN_FILENO, &modes) != 0) report_and_exit(report, errno);
  modes.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  if (::tcsetattr(STDIN_FILENO, TCSANOW, &modes) != 0) report_and_exit(report, errno);
  if (::ioctl(STDIN_FILENO, TIOCSWINSZ, &plan.window) != 0) report_and_exit(report, errno);

  errno = 0;
  long limit = ::sysconf(_SC_OPEN_MAX);
  if (limit < 0) {
    if (errno != 0) report_and_exit(report, errno);
    limit = FALLBACK_OPEN_MAX;
  }
  if (limit > INT_MAX) limit = INT_MAX;
  close_other_descriptors(plan, slave, static_cast<unsigned>(limit));

  if (::close(slave) != 0) report_and_exit(report, errno);
  if (::close(plan.status_read_fd) != 0) report_and_exit(report, errno);
  (void)::close(plan.master_fd);
  // Success is the exec closing this end: the parent's read then sees EOF.
  if (::fcntl(report, F_SETFD, FD_CLOEXEC) != 0) report_and_exit(report, errno);
  if (plan.cwd != nullptr && ::chdir(plan.cwd) != 0) report_and_exit(report, errno);

  // Every signal was blocked across the fork (see spawn) and every handler
  // is back to the default by now; the program starts with nothing blocked.
  // A signal still pending from the host arrives here and acts by default,
  // as it would have a moment after exec.
  sigset_t none;
  sigemptyset(&none);
  (void)::sigprocmask(SIG_SETMASK, &none, nullptr);
  report_and_exit(report, exec_program(plan));
}

// --------------------------------------------------------------------------
// End of code run in the forked child.
// --------------------------------------------------------------------------

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define MORVIK_SHARED_MEMORY_CHILD 0
#else
#define MORVIK_SHARED_MEMORY_CHILD 1
#endif

#if MORVIK_SHARED_MEMORY_CHILD
// The child shares the host's memory until exec (CLONE_VM), on a stack of
// its own, while the host's calling thread waits (CLONE_VFORK): nothing of
// the host is copied. A fork copies the page tables of the whole host,
// which costs a host holding 1 GiB some 60 ms on every start, and every
// page the host then writes is copied once more. The child code above
// writes nothing but its own stack and the errno slot of the waiting thread,
// and runs with every signal blocked until its handlers are reset, so it
// can share the memory. (A sanitizer's runtime does not follow a child onto
// a stack of its own; those builds fork.)
constexpr std::size_t CHILD_STACK_BYTES = 256 * 1024;

int child_entry(void* plan) { run_child(*static_cast<const ChildPlan*>(plan)); }
#endif

// The child's process id, or -1 with errno set; `pidfd` receives the
// process handle, or -1 when the child could not be given one. Returns once
// the child has exec'd or ended when its memory is shared, at once otherwise.
pid_t start_child(const ChildPlan& plan, int& pidfd) noexcept {
  pidfd = -1;
#if MORVIK_SHARED_MEMORY_CHILD
  // A guard page under the stack: a child that overran it would otherwise
  // write into whatever mapping of the host lies below, unseen.
  const std::size_t guard = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  void* mapping = ::mmap(nullptr, guard + CHILD_STACK_BYTES, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (mapping == MAP_FAILED) return -1;
  if (::mprotect(mapping, guard, PROT_NONE) != 0) {
    const int err = errno;
    ::munmap(mapping, guard + CHILD_STACK_BYTES);
    errno = err;
    return -1;
  }
  char* top = static_cast<char*>(mapping) + guard + CHILD_STACK_BYTES;
  // CLONE_PIDFD: the handle exists from the instant the child does, so no
  // one can collect the child, and the kernel give its number away, before
  // we hold it.
  const pid_t pid = ::clone(child_entry, top, CLONE_VM | CLONE_VFORK | CLONE_PIDFD | SIGCHLD,
                            const_cast<ChildPlan*>(&plan), &pidfd);
  const int err = errno;
  // The child has left this stack by now: exec replaced its memory, or it
  // ended.
  ::munmap(mapping, guard + CHILD_STACK_BYTES);
  errno = err;
  return pid;
#else
  pid_t pid;
  {
    const ForkToExec to_exec;
    pid = ::fork();
  }
  if (pid == 0) run_child(plan);
  // Sanitizer builds only. Until the parent reads the status pipe nobody
  // but a host that reaps every child can collect it, so the number is
  // still the child's here.
  if (pid > 0) pidfd = open_process_handle(pid);
  return pid;
#endif
}

// The word the child sets just before its exec, where the parent can read
// it afterwards: the parent's own memory when the child shares it, a shared
// page when the child is a forked copy.
class ExecMark {
 public:
  ExecMark() noexcept {
#if !MORVIK_SHARED_MEMORY_CHILD
    void* page = ::mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    word_ = page == MAP_FAILED ? nullptr : static_cast<volatile int*>(page);
    mapped_ = word_ != nullptr;
#endif
  }
  ~ExecMark() {
    if (mapped_) ::munmap(const_cast<int*>(word_), sizeof(int));
  }
  ExecMark(const ExecMark&) = delete;
  ExecMark& operator=(const ExecMark&) = delete;

  bool usable() const noexcept { return word_ != nullptr; }
  volatile int* word() noexcept { return word_; }
  bool reached() const noexcept { return *word_ != 0; }

 private:
  volatile int local_ = 0;
  volatile int* word_ = &local_;
  bool mapped_ = false;
};

bool bears_starting_name(pid_t pid) {
  char path[48];
  std::snprintf(path, sizeof path, "/proc/%d/comm", pid);
  UniqueFd fd{::open(path, O_RDONLY | O_CLOEXEC)};
  if (!fd.valid()) return false;
  char name[32] = {};
  const ssize_t got = retry_on_eintr([&] { return ::read(fd.get(), name, sizeof name - 1); });
  if (got <= 0) return false;
  return std::string_view(name, static_cast<std::size_t>(got)) == std::string(STARTING_NAME) + "\n";
}

// Whether a child whose status pipe gave end of file ended before its exec:
// either before it took its starting name, or ended still bearing it. An
// exec closes the pipe a moment before it renames the child, so a child
// that still bears the name but runs is given that moment. (The number is
// still ours to read: nobody has collected the child.) Without /proc the
// name cannot be read and the exec is assumed.
bool died_before_exec(pid_t pid, int pidfd, const ExecMark& mark) {
  if (!mark.reached()) return true;
  const auto until = std::chrono::steady_clock::now() + EXEC_RENAME_LIMIT;
  while (bears_starting_name(pid)) {
    // Not retried on EINTR: a host whose interval timer fires more often
    // than the poll's timeout (a sampling profiler) would interrupt every
    // retry, and the deadline below would never be looked at. An
    // interrupted poll is one more turn of this loop.
    pollfd ended{pidfd, POLLIN, 0};
    if (::poll(&ended, 1, 1) > 0) return bears_starting_name(pid);
    if (std::chrono::steady_clock::now() >= until) return false;
  }
  return false;
}

bool contains_nul(const std::string& s) noexcept { return s.find('\0') != std::string::npos; }

// The files execvp would try for `name`, in order: the name itself when it
// has a slash, else each PATH entry joined with it (an empty entry is the
// working directory). PATH is the first "PATH=" entry of `env`.
std::vector<std::string> search_candidates(const std::string& name, const std::vector<std::string>& env) {
  if (name.empty()) return {};
  if (name.find('/') != std::string::npos) return {name};
  std::string_view search = DEFAULT_SEARCH_PATH;
  for (const std::string& entry : env) {
    if (entry.compare(0, 5, "PATH=") == 0) {
      search = std::string_view(entry).substr(5);
      break;
    }
  }
  std::vector<std::string> out;
  for (;;) {
    const std::size_t colon = search.find(':');
    const std::string_view dir = search.substr(0, colon);
    if (dir.empty()) {
      out.push_back(name);
    } else {
      std::string path(dir);
      if (path.back() != '/') path.push_back('/');
      out.push_back(path + name);
    }
    if (colon == std::string_view::npos) break;
    search.remove_prefix(colon + 1);
  }
  return out;
}

std::vector<char*> pointers_to(std::vector<std::string>& strings) {
  std::vector<char*> out;
  out.reserve(strings.size() + 1);
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

// --- the terminal ----------------------------------------------------------

Result<std::string> get_slave_name(int master_fd) {
  char buf[SLAVE_NAME_BUFFER] = {};
  // ptsname_r returns the error number rather than -1.
  const int rc = ::ptsname_r(master_fd, buf, sizeof buf);
  if (rc != 0) return Errno::from_raw(rc);
  // The path as the kernel gave it: it is only ever opened again, and
  // turning a byte the kernel chose into U+FFFD could only make it unopenable.
  std::size_t len = 0;
  while (len < sizeof buf && buf[len] != '\0') ++len;
  return std::string(buf, len);
}

Result<void> set_term_size(int fd, WindowSize size) noexcept {
  const struct winsize ws = window_record(size);
  if (::ioctl(fd, TIOCSWINSZ, &ws) != 0) return Errno::last();
  return Result<void>::success();
}

void set_signal_pause_for_tests(std::chrono::milliseconds pause) noexcept {
  g_signal_pause_ms.store(pause.count());
}

// --- what to start ---------------------------------------------------------

ProcessDescription ProcessDescription::command(std::string program) {
  ProcessDescription d;
  d.argv.push_back(std::move(program));
  return d;
}

std::vector<std::string> host_environment() {
  std::vector<std::string> out;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) out.emplace_back(*entry);
  return out;
}

Result<Executable> open_executable(const std::string& name, const std::optional<std::vector<std::string>>& env,
                                   const std::optional<std::string>& cwd) {
  if (contains_nul(name) || (cwd && contains_nul(*cwd))) return Errno::from_raw(EINVAL);
  const std::vector<std::string> candidates = search_candidates(name, env ? *env : host_environment());
  bool denied = false;
  for (const std::string& candidate : candidates) {
    std::string path = candidate;
    if (cwd && path.front() != '/') path = *cwd + "/" + path;
    UniqueFd fd{::open(path.c_str(), O_PATH | O_CLOEXEC)};
    if (!fd.valid()) {
      const int err = errno;
      if (err == EACCES) denied = true;
      continue;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
      denied = true;
      continue;
    }
    // Whether exec may run it; exec checks again on the descriptor itself.
    static char empty[] = "";
    if (::syscall(SYS_faccessat2, fd.get(), empty, X_OK, AT_EMPTY_PATH | AT_EACCESS) != 0) {
      denied = true;
      continue;
    }
    if (auto moved = keep_above_stdio(fd); !moved) return moved.error();
    return Executable{std::move(fd), std::move(path)};
  }
  return Errno::from_raw(denied ? EACCES : ENOENT);
}

// --- spawn -----------------------------------------------------------------

Result<PtyProcess> PtyProcess::spawn(ProcessDescription description) noexcept try {
  // The child cannot allocate, nor read the host's environment safely:
  // every vector it uses is built here.
  if (description.argv.empty()) return Errno::from_raw(EINVAL);
  std::vector<std::string> env = description.env ? std::move(*description.env) : host_environment();
  bool passable = !(description.cwd && contains_nul(*description.cwd));
  for (const std::string& s : description.argv) passable = passable && !contains_nul(s);
  for (const std::string& s : env) passable = passable && !contains_nul(s);
  // A NUL byte would cut a name short: something else would run.
  if (!passable) return Errno::from_raw(EINVAL);
  std::vector<char*> argv = pointers_to(description.argv);
  std::vector<char*> envp = pointers_to(env);

  std::vector<std::string> candidates;
  std::vector<const char*> candidate_ptrs;
  std::string shell = FALLBACK_SHELL;
  std::vector<char*> shell_argv;
  struct stat executable_stat {};
  if (description.path && contains_nul(*description.path)) return Errno::from_raw(EINVAL);
  if (description.executable.valid()) {
    if (auto moved = keep_above_stdio(description.executable); !moved) return moved.error();
    if (description.path && ::fstat(description.executable.get(), &executable_stat) != 0) return Errno::last();
  } else {
    candidates = search_candidates(description.path ? *description.path : description.argv[0], env);
    if (candidates.empty()) return Errno::from_raw(ENOENT);
    for (const std::string& c : candidates) candidate_ptrs.push_back(c.c_str());
    shell_argv.push_back(shell.data());
    shell_argv.push_back(nullptr);  // the file, filled in by the child
    shell_argv.insert(shell_argv.end(), argv.begin() + 1, argv.end());  // the rest, and the final null
  }

  // Close-on-exec from the first instant: another thread of the host may
  // fork and exec at any moment, and a foreign program holding our master
  // would keep the terminal alive after we close it. The child closes its
  // own copy before exec regardless.
  UniqueFd master{::posix_openpt(O_RDWR | O_CLOEXEC)};
  if (!master.valid()) return Errno::last();
  if (auto moved = keep_above_stdio(master); !moved) return moved.error();
  if (::grantpt(master.get()) != 0) return Errno::last();
  if (::unlockpt(master.get()) != 0) return Errno::last();
  // ptsname_r may allocate inside libc, so the path is fetched before fork.
  Result<std::string> slave_path = get_slave_name(master.get());
  if (!slave_path) return slave_path.error();
  struct stat slave_stat {};
  if (::stat(slave_path->c_str(), &slave_stat) != 0) return Errno::last();
  // The window is set before the child exists. Set after its start, it
  // would undo whatever size the program chose for itself in its first
  // instants (a wrapper's `stty rows 50 cols 132`, say) whenever the
  // program was quicker than this thread.
  if (Result<void> sized = set_term_size(master.get(), description.size); !sized) return sized.error();

  // Both ends close-on-exec for the same reason as the master; the child
  // closes the read end itself and relies on exec closing the write end.
  int ends[2] = {-1, -1};
  if (::pipe2(ends, O_CLOEXEC) != 0) return Errno::last();
  UniqueFd status_read{ends[0]};
  UniqueFd status_write{ends[1]};
  if (auto moved = keep_above_stdio(status_read); !moved) return moved.error();
  if (auto moved = keep_above_stdio(status_write); !moved) return moved.error();

  ExecMark exec_mark;
  if (!exec_mark.usable()) return Errno::last();
  const ChildPlan plan{slave_path->c_str(),
                       argv.data(),
                       envp.data(),
                       candidate_ptrs.data(),
                       candidate_ptrs.size(),
                       shell_argv.data(),
                       description.executable.get(),
                       description.executable.valid() && description.path ? description.path->c_str() : nullptr,
                       executable_stat.st_dev,
                       executable_stat.st_ino,
                       description.cwd ? description.cwd->c_str() : nullptr,
                       window_record(description.size),
                       master.get(),
                       status_read.get(),
                       status_write.get(),
                       exec_mark.word()};

  // Every signal stays blocked from just before the fork until the child
  // has reset its handlers: a host handler run in the child would act on the
  // host's behalf (CPython's writes to the host's wake-up descriptor, which
  // the copy shares; with a shared memory, anything at all), and the host's
  // own thread must not see one of its signals vanish into the child either.
  sigset_t all;
  sigset_t host_mask;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &host_mask);
  int raw_pidfd = -1;
  const pid_t pid = start_child(plan, raw_pidfd);
  const int fork_errno = errno;
  ::pthread_sigmask(SIG_SETMASK, &host_mask, nullptr);
  if (pid < 0) return Errno::from_raw(fork_errno);
  UniqueFd pidfd{raw_pidfd};
  if (!pidfd.valid()) {
    // A forked child whose handle could not be opened: its number is all we
    // have, and it is still ours, since nobody has waited yet.
    const Errno err = Errno::last();
    (void)::kill(pid, SIGKILL);
    int status = 0;
    (void)retry_on_eintr([&] { return ::waitpid(pid, &status, 0); });
    return err;
  }
  if (auto moved = keep_above_stdio(pidfd); !moved) {
    abandon_child(pidfd.get());
    return moved.error();
  }

  if (::close(status_write.release()) != 0) {
    const Errno err = Errno::last();
    abandon_child(pidfd.get());
    return err;
  }
  // End of file means exec closed the write end; four bytes are the child's
  // error number (a pipe write of 4 bytes is atomic). Retried on EINTR: an
  // interpreter installs its signal handlers without SA_RESTART, so any
  // signal during a start (a SIGCHLD, a timer) would otherwise fail a start
  // that worked and abandon its child.
  unsigned char message[4] = {0, 0, 0, 0};
  const ssize_t got =
      retry_on_eintr([&] { return ::read(status_read.get(), message, sizeof message); });
  if (got < 0) {
    const Errno err = Errno::last();
    abandon_child(pidfd.get());
    return err;
  }
  if (::close(status_read.release()) != 0) {
    const Errno err = Errno::last();
    abandon_child(pidfd.get());
    return err;
  }
  const auto code = static_cast<std::int32_t>(
      (std::uint32_t{message[0]} << 24) | (std::uint32_t{message[1]} << 16) |
      (std::uint32_t{message[2]} << 8) | std::uint32_t{message[3]});
  if (code != 0) {
    reap(pidfd.get());
    return Errno::from_raw(code);
  }
  if (died_before_exec(pid, pidfd.get(), exec_mark)) {
    // End of file, yet the program never ran: a signal killed the child on
    // its way. That is a failed start, not a session.
    reap(pidfd.get());
    return Errno::from_raw(EINTR);
  }

  return PtyProcess(std::move(master), std::move(pidfd), pid, ::getpid(),
                    Subordinate{std::move(slave_path).value(), slave_stat.st_rdev});
} catch (const std::bad_alloc&) {
  // Every allocation happens before fork and every descriptor is owned by
  // then, so nothing is left behind.
  return Errno::from_raw(ENOMEM);
}

// --- status, stop, release -------------------------------------------------

PtyProcess::~PtyProcess() { release(); }

Result<UniqueFd> PtyProcess::get_raw_handle() const noexcept {
  // Close-on-exec from the instant it exists, and at 3 or above, for the
  // same reasons as the master itself.
  const int fd = ::fcntl(master_fd(), F_DUPFD_CLOEXEC, FIRST_NON_STDIO_FD);
  if (fd < 0) return Errno::last();
  return UniqueFd{fd};
}

Result<void> PtyProcess::resize(WindowSize size) noexcept {
  // The terminal is the original host's: a forked copy must not reshape it.
  if (!in_owner_process() || !master_.valid()) return Errno::from_raw(EBADF);
  return set_term_size(master_.get(), size);
}

void PtyProcess::close_in_forked_child() noexcept {
  if (pidfd_.valid()) (void)::close(pidfd_.release());
  if (master_.valid()) (void)::close(master_.release());
}

bool PtyProcess::in_owner_process() const noexcept { return ::getpid() == owner_pid_; }

bool PtyProcess::may_touch_child() const noexcept {
  // A moved-from record has no handle. Once collected, the child is gone
  // for good. In a forked copy of the host the child is not a child at all,
  // and still the original's: the copy's handle would signal it all the same.
  return pidfd_.valid() && !collected_ && in_owner_process();
}

Result<bool> PtyProcess::is_alive() { return check(true); }

Result<bool> PtyProcess::is_running() { return check(false); }

Result<bool> PtyProcess::check(bool collect) {
  if (!may_touch_child()) return false;
  // Ended, seen by an earlier check that left it uncollected.
  if (exit_ && !collect) return false;
  Result<WaitOutcome> seen = wait_nohang(pidfd_.get(), collect);
  if (!seen) {
    const Errno err = seen.error();
    // Collected by someone else: gone, and its status with it.
    if (err == Errno::from_raw(ECHILD) || err == Errno::from_raw(ESRCH)) {
      collected_ = true;
      return false;
    }
    return err;
  }
  switch (seen->status) {
    case WaitStatus::StillAlive:
      return true;
    case WaitStatus::Ended:
      collected_ = collect;
      if (!exit_) exit_ = seen->exit;
      return false;
    case WaitStatus::Changed:  // a stop or continuation, reported only to a tracer
      return false;
  }
  return false;
}

// true once sent; false when the child is gone already (ESRCH: it ended,
// and the handle can reach nothing else).
Result<bool> PtyProcess::signal(int sig) noexcept {
  if (send_signal(pidfd_.get(), sig) == 0) return true;
  const Errno err = Errno::last();
  if (err == Errno::from_raw(ESRCH)) return false;
  return err;
}

Result<bool> PtyProcess::exit(bool force) {
  Result<bool> alive = is_alive();
  if (!alive) return alive.error();
  if (!alive.value()) return true;

  const std::chrono::milliseconds pause{g_signal_pause_ms.load()};
  for (int sig : {SIGHUP, SIGCONT, SIGINT, SIGTERM}) {
    // A child that ended since the last check is no failure: the full pause
    // still follows, then the check collects it.
    if (Result<bool> sent = signal(sig); !sent) return sent.error();
    pause_fully(pause);
    alive = is_alive();
    if (!alive) return alive.error();
    if (!alive.value()) return true;
  }
  if (!force) return false;

  if (Result<bool> sent = signal(SIGKILL); !sent) return sent.error();
  pause_fully(pause);
  alive = is_alive();
  if (!alive) return alive.error();
  return !alive.value();
}

void PtyProcess::release() noexcept {
  if (may_touch_child()) {
    try {
      Result<WaitOutcome> seen = wait_nohang(pidfd_.get());
      if (seen && seen->status == WaitStatus::StillAlive) {
        Result<bool> stopped = exit(true);
        if (!stopped) defer_internal_failure("failed to stop the child: " + stopped.error().text());
      }
    } catch (const InternalFailure& failure) {
      defer_internal_failure(failure.message());
    } catch (...) {
      // Out of memory while naming a failure: the master still gets closed.
    }
  }
  pid_ = -1;
  if (!in_owner_process()) {
    // A forked copy closed its duplicates at the fork (close_in_forked_child);
    // a number it still sees may be a file the copy opened since.
    (void)pidfd_.release();
    (void)master_.release();
    return;
  }
  pidfd_.reset();
  master_.reset();
}

}  // namespace morvik::pty
