// The PTY layer's process handle: allocating the pseudo-terminal pair,
// forking the child that makes the subordinate side its controlling terminal
// and execs the program, carrying a failed start back through the status
// pipe, and later asking after the child, stopping it and releasing it.
// It must never throw for an operating-system failure (errors are values),
// never leave a descriptor or a zombie behind on a failure path, and never
// let the forked child touch anything a dead thread of the parent could hold.
#include "pty_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <new>
#include <utility>

#include "base/eintr.h"
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

// The one window size the layer ever sets, shared by the parent's call on
// the master and the child's on its terminal (a plain ioctl, fork-safe).
int apply_window_size(int fd) noexcept {
  struct winsize ws {};
  ws.ws_row = INITIAL_ROWS;
  ws.ws_col = INITIAL_COLUMNS;
  return ::ioctl(fd, TIOCSWINSZ, &ws);
}

// Child step 8 closes 0, 1 and 2 and step 9 puts the subordinate there, so a
// descriptor the child must keep may not sit on one of those numbers. That
// happens only when the host runs with a standard descriptor closed.
Result<void> keep_above_stdio(UniqueFd& fd) noexcept {
  if (fd.get() >= FIRST_NON_STDIO_FD) return Result<void>::success();
  const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, FIRST_NON_STDIO_FD);
  if (moved < 0) return Errno::last();
  fd.reset(moved);
  return Result<void>::success();
}

// Reaps a child that has reported failure (it is about to _exit), so that no
// zombie outlives the failed start.
void reap(pid_t pid) noexcept {
  int status = 0;
  (void)retry_on_eintr([&] { return ::waitpid(pid, &status, 0); });
}

// Once the parent cannot tell whether the child started its program, nobody
// would ever own that child: stop it hard and collect it rather than leave an
// unowned process (or a zombie) behind.
void abandon_child(pid_t pid) noexcept {
  (void)::kill(pid, SIGKILL);
  reap(pid);
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
  const char* file;
  char* const* argv;
  bool argv_passable;  // false when a NUL byte would cut a name short
  int master_fd;
  int status_read_fd;
  int status_write_fd;
};

// ---------------------------------------------------------------------------
// Code run in the forked child, up to exec.
//
// The host is a multi-threaded process (an interpreter with its own threads
// and ours), and fork copied only the calling thread. Any lock another thread
// held at that instant (malloc's arenas, stdio's FILE locks, the dynamic
// loader's, a C++ runtime's) stays locked forever in the child, so code here
// must not allocate, throw, log, touch iostreams or stdio, call into the
// interpreter or take any lock. It uses only plain system-call wrappers on
// data the parent prepared before the fork (ChildPlan), and it leaves only
// through exec or _exit: running exit() would flush the parent's copied stdio
// buffers a second time and run atexit handlers meant for the parent. The
// error number therefore becomes the exit status through _exit.
//
// The child may also run in the host's own memory (see start_child): then it
// must write nothing but its own stack, never return from its entry point,
// and leave the plan untouched.
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

// Every descriptor from 3 up closes except the four this code still needs.
// With close_range the last span runs to the top of the number space, so a
// descriptor above a lowered soft limit does not slip through either.
void close_other_descriptors(const ChildPlan& plan, int slave_fd, unsigned limit) noexcept {
  int keep[4] = {plan.master_fd, slave_fd, plan.status_read_fd, plan.status_write_fd};
  for (int i = 1; i < 4; ++i) {
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
void reset_signal_dispositions() noexcept {
  const unsigned long default_action[4] = {0, 0, 0, 0};
  for (int sig = 1; sig <= MAX_SIGNAL_NUMBER; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP) continue;
    (void)::syscall(SYS_rt_sigaction, sig, default_action, nullptr, KERNEL_SIGSET_BYTES);
  }
}

[[noreturn]] void run_child(const ChildPlan& plan) noexcept {
  const int report = plan.status_write_fd;
  reset_signal_dispositions();

  // Step 1, the subordinate's path, was taken by the parent (plan.slave_path).

  // Shed any controlling terminal inherited from the host.
  int fd = ::open(CONTROLLING_TTY, O_RDWR | O_NOCTTY);
  if (fd >= 0) {
    if (::close(fd) != 0) report_and_exit(report, errno);
  } else if (errno != ENXIO) {
    report_and_exit(report, errno);
  }
  if (::setsid() < 0) report_and_exit(report, errno);
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
  if (apply_window_size(STDIN_FILENO) != 0) report_and_exit(report, errno);

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

  if (!plan.argv_passable) report_and_exit(report, EINVAL);
  // Every signal was blocked across the fork (see spawn) and every handler
  // is back to the default by now; the program starts with nothing blocked.
  // A signal still pending from the host arrives here and acts by default,
  // as it would have a moment after exec.
  sigset_t none;
  sigemptyset(&none);
  (void)::sigprocmask(SIG_SETMASK, &none, nullptr);
  // glibc's execvp searches PATH with stack buffers only, no malloc.
  ::execvp(plan.file, plan.argv);
  report_and_exit(report, errno);
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

// The child's process id, or -1 with errno set. Returns once the child has
// exec'd or ended when its memory is shared, at once otherwise.
pid_t start_child(const ChildPlan& plan) noexcept {
#if MORVIK_SHARED_MEMORY_CHILD
  void* stack = ::mmap(nullptr, CHILD_STACK_BYTES, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (stack == MAP_FAILED) return -1;
  char* top = static_cast<char*>(stack) + CHILD_STACK_BYTES;
  const pid_t pid = ::clone(child_entry, top, CLONE_VM | CLONE_VFORK | SIGCHLD, const_cast<ChildPlan*>(&plan));
  const int err = errno;
  // The child has left this stack by now: exec replaced its memory, or it
  // ended.
  ::munmap(stack, CHILD_STACK_BYTES);
  errno = err;
  return pid;
#else
  const pid_t pid = ::fork();
  if (pid == 0) run_child(plan);
  return pid;
#endif
}

bool contains_nul(const std::string& s) noexcept { return s.find('\0') != std::string::npos; }

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

Result<void> set_term_size(int fd) noexcept {
  if (apply_window_size(fd) != 0) return Errno::last();
  return Result<void>::success();
}

void set_signal_pause_for_tests(std::chrono::milliseconds pause) noexcept {
  g_signal_pause_ms.store(pause.count());
}

// --- spawn -----------------------------------------------------------------

Result<PtyProcess> PtyProcess::spawn(ProcessDescription description) noexcept try {
  // The child cannot allocate: the argument vector is built here.
  std::vector<char*> argv;
  argv.reserve(description.args.size() + 2);
  argv.push_back(description.program.data());
  bool passable = !contains_nul(description.program);
  for (std::string& arg : description.args) {
    argv.push_back(arg.data());
    passable = passable && !contains_nul(arg);
  }
  argv.push_back(nullptr);

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
  // The window is set before the child exists. Set after its start, it
  // would undo whatever size the program chose for itself in its first
  // instants (a wrapper's `stty rows 50 cols 132`, say) whenever the
  // program was quicker than this thread.
  if (Result<void> sized = set_term_size(master.get()); !sized) return sized.error();

  // Both ends close-on-exec for the same reason as the master; the child
  // closes the read end itself and relies on exec closing the write end.
  int ends[2] = {-1, -1};
  if (::pipe2(ends, O_CLOEXEC) != 0) return Errno::last();
  UniqueFd status_read{ends[0]};
  UniqueFd status_write{ends[1]};
  if (auto moved = keep_above_stdio(status_read); !moved) return moved.error();
  if (auto moved = keep_above_stdio(status_write); !moved) return moved.error();

  const ChildPlan plan{slave_path->c_str(), argv[0],           argv.data(),       passable,
                       master.get(),        status_read.get(), status_write.get()};

  // Every signal stays blocked from just before the fork until the child
  // has reset its handlers: a host handler run in the child would act on the
  // host's behalf (CPython's writes to the host's wake-up descriptor, which
  // the copy shares; with a shared memory, anything at all), and the host's
  // own thread must not see one of its signals vanish into the child either.
  sigset_t all;
  sigset_t host_mask;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &host_mask);
  const pid_t pid = start_child(plan);
  const int fork_errno = errno;
  ::pthread_sigmask(SIG_SETMASK, &host_mask, nullptr);
  if (pid < 0) return Errno::from_raw(fork_errno);

  if (::close(status_write.release()) != 0) {
    const Errno err = Errno::last();
    abandon_child(pid);
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
    abandon_child(pid);
    return err;
  }
  if (::close(status_read.release()) != 0) {
    const Errno err = Errno::last();
    abandon_child(pid);
    return err;
  }
  const auto code = static_cast<std::int32_t>(
      (std::uint32_t{message[0]} << 24) | (std::uint32_t{message[1]} << 16) |
      (std::uint32_t{message[2]} << 8) | std::uint32_t{message[3]});
  if (code != 0) {
    reap(pid);
    return Errno::from_raw(code);
  }

  return PtyProcess(std::move(master), pid, ::getpid());
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

bool PtyProcess::in_owner_process() const noexcept { return ::getpid() == owner_pid_; }

bool PtyProcess::may_touch_child() const noexcept {
  // waitpid(-1) would collect any child of the host, and kill(-1) would
  // signal every process we may signal: a record without a child has none.
  // Once collected, the number is free for the kernel to give to any new
  // process (the host's own children included). In a forked copy of the
  // host the child is not a child at all, and still the original's.
  return pid_.get() > 0 && !collected_ && in_owner_process();
}

Result<bool> PtyProcess::is_alive() {
  if (!may_touch_child()) return false;
  Result<WaitStatus> status = wait_nohang(pid_.get());
  if (!status) {
    const Errno err = status.error();
    // Already collected, by someone else: never ours to wait for or signal again.
    if (err == Errno::from_raw(ECHILD) || err == Errno::from_raw(ESRCH)) {
      collected_ = true;
      return false;
    }
    return err;
  }
  switch (*status) {
    case WaitStatus::StillAlive:
      return true;
    case WaitStatus::Ended:
      collected_ = true;
      return false;
    case WaitStatus::Changed:  // a stop or continuation, reported only for a traced child
      return false;
  }
  return false;
}

Result<bool> PtyProcess::exit(bool force) {
  Result<bool> alive = is_alive();
  if (!alive) return alive.error();
  if (!alive.value()) return true;

  // Each signal goes out only right after a check found the child
  // uncollected, so its pid cannot have been reused by then.
  const std::chrono::milliseconds pause{g_signal_pause_ms.load()};
  for (int sig : {SIGHUP, SIGCONT, SIGINT, SIGTERM}) {
    if (::kill(pid_.get(), sig) != 0) return Errno::last();
    pause_fully(pause);
    alive = is_alive();
    if (!alive) return alive.error();
    if (!alive.value()) return true;
  }
  if (!force) return false;

  if (::kill(pid_.get(), SIGKILL) != 0) return Errno::last();
  pause_fully(pause);
  alive = is_alive();
  if (!alive) return alive.error();
  return !alive.value();
}

void PtyProcess::release() noexcept {
  if (may_touch_child()) {
    try {
      Result<WaitStatus> status = wait_nohang(pid_.get());
      if (status && *status == WaitStatus::StillAlive) {
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
  // In a forked copy this closes that copy's descriptor and nothing else.
  master_.reset();
}

}  // namespace morvik::pty
