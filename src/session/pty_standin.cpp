// TEMPORARY stand-in for the PTY layer's agent additions; see the header.
#include "pty_standin.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "base/eintr.h"

extern char** environ;

namespace morvik::session::standin {

namespace {

int pidfd_open(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }
int pidfd_signal(int fd, int sig) { return static_cast<int>(::syscall(SYS_pidfd_send_signal, fd, sig, nullptr, 0)); }

struct Plan {
  const char* slave;
  int exec_fd;
  bool keep_exec_fd;
  char* const* argv;
  char* const* envp;
  const char* cwd;
  struct winsize size;
  int report;
};

[[noreturn]] void fail(int report, int err) noexcept {
  (void)!::write(report, &err, sizeof err);
  ::_exit(127);
}

// Forked child: no allocation, no lock, leaves through exec or _exit.
[[noreturn]] void run_child(const Plan& p) noexcept {
  for (int sig = 1; sig < 65; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP) continue;
    const unsigned long dfl[4] = {0, 0, 0, 0};
    (void)::syscall(SYS_rt_sigaction, sig, dfl, nullptr, 8);
  }
  if (::setsid() < 0) fail(p.report, errno);
  int tty = ::open(p.slave, O_RDWR);
  if (tty < 0) fail(p.report, errno);
  if (tty < 3) {
    int moved = ::fcntl(tty, F_DUPFD, 3);
    (void)::close(tty);
    tty = moved;
  }
  for (int t = 0; t < 3; ++t) {
    if (::dup2(tty, t) < 0) fail(p.report, errno);
  }
  (void)::close(tty);
  struct termios modes {};
  if (::tcgetattr(0, &modes) == 0) {
    modes.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    (void)::tcsetattr(0, TCSANOW, &modes);
  }
  (void)::ioctl(0, TIOCSWINSZ, &p.size);
  if (p.cwd != nullptr && ::chdir(p.cwd) != 0) fail(p.report, errno);
  if (p.keep_exec_fd) (void)::fcntl(p.exec_fd, F_SETFD, 0);
  sigset_t none;
  sigemptyset(&none);
  (void)::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::syscall(SYS_execveat, p.exec_fd, "", p.argv, p.envp, AT_EMPTY_PATH);
  fail(p.report, errno);
}

bool is_script(int fd) {
  char head[2] = {0, 0};
  return ::pread(fd, head, 2, 0) == 2 && head[0] == '#' && head[1] == '!';
}

// Fields after the command name of /proc/<pid>/stat: state, ppid, pgrp, session.
bool read_stat(pid_t pid, char& state, pid_t& pgrp, pid_t& session) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
  std::ifstream f(path);
  std::string s;
  if (!std::getline(f, s)) return false;
  const auto close = s.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream rest(s.substr(close + 2));
  pid_t ppid = 0;
  rest >> state >> ppid >> pgrp >> session;
  return static_cast<bool>(rest);
}

std::vector<pid_t> all_pids() {
  std::vector<pid_t> out;
  DIR* d = ::opendir("/proc");
  if (d == nullptr) return out;
  while (dirent* e = ::readdir(d)) {
    char* end = nullptr;
    const long v = std::strtol(e->d_name, &end, 10);
    if (end != e->d_name && *end == '\0') out.push_back(static_cast<pid_t>(v));
  }
  ::closedir(d);
  return out;
}

// Waits until every handle in `fds` is readable or `limit` passed.
void wait_all(std::vector<UniqueFd>& fds, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  for (;;) {
    std::vector<pollfd> set;
    for (auto& fd : fds) {
      pollfd p{fd.get(), POLLIN, 0};
      if (::poll(&p, 1, 0) == 1) continue;
      set.push_back(p);
    }
    if (set.empty()) return;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    (void)::poll(set.data(), 1, static_cast<int>(left.count()));
  }
}

bool fd_is(pid_t pid, long fd, dev_t tty, bool& unknown) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/fd/%ld", pid, fd);
  struct stat st {};
  if (::stat(path, &st) != 0) {
    if (errno == EACCES || errno == EPERM) unknown = true;
    return false;
  }
  return S_ISCHR(st.st_mode) && st.st_rdev == tty;
}

#if defined(__x86_64__)
constexpr long NR_READ = 0, NR_READV = 19, NR_PREAD = 17, NR_POLL = 7, NR_PPOLL = 271, NR_SELECT = 23,
               NR_PSELECT = 270, NR_EPOLL_WAIT = 232, NR_EPOLL_PWAIT = 281, NR_EPOLL_PWAIT2 = 441;
#elif defined(__aarch64__)
constexpr long NR_READ = 63, NR_READV = 65, NR_PREAD = 67, NR_POLL = -1, NR_PPOLL = 73, NR_SELECT = -1,
               NR_PSELECT = 72, NR_EPOLL_WAIT = -1, NR_EPOLL_PWAIT = 22, NR_EPOLL_PWAIT2 = 441;
#endif

// 1: blocked reading the terminal, 0: asleep in something else, -1: running or unknown.
int task_reads_tty(pid_t pid, const std::string& task, dev_t tty, bool& unknown) {
  std::ifstream st("/proc/" + std::to_string(pid) + "/task/" + task + "/stat");
  std::string s;
  if (!std::getline(st, s)) return -1;
  const auto close = s.rfind(')');
  if (close == std::string::npos || close + 2 >= s.size()) return -1;
  const char state = s[close + 2];
  if (state != 'S') return -1;
  std::ifstream sc("/proc/" + std::to_string(pid) + "/task/" + task + "/syscall");
  std::string line;
  if (!std::getline(sc, line)) {
    unknown = true;
    return -1;
  }
  std::istringstream in(line);
  long nr = -1;
  if (!(in >> nr)) return -1;
  unsigned long a[6] = {};
  for (auto& v : a) in >> std::hex >> v;
  if (nr == NR_READ || nr == NR_READV || nr == NR_PREAD) return fd_is(pid, static_cast<long>(a[0]), tty, unknown) ? 1 : 0;
  if (nr == NR_POLL || nr == NR_PPOLL) {
    const std::size_t n = std::min<unsigned long>(a[1], 1024);
    std::vector<pollfd> fds(n);
    iovec local{fds.data(), n * sizeof(pollfd)};
    iovec remote{reinterpret_cast<void*>(a[0]), n * sizeof(pollfd)};
    if (::process_vm_readv(pid, &local, 1, &remote, 1, 0) != static_cast<ssize_t>(n * sizeof(pollfd))) {
      unknown = true;
      return -1;
    }
    for (auto& p : fds) {
      if ((p.events & POLLIN) && p.fd >= 0 && fd_is(pid, p.fd, tty, unknown)) return 1;
    }
    return 0;
  }
  if (nr == NR_SELECT || nr == NR_PSELECT) {
    const long n = std::min<long>(static_cast<long>(a[0]), 1024);
    if (a[1] == 0 || n <= 0) return 0;
    fd_set set;
    iovec local{&set, sizeof set};
    iovec remote{reinterpret_cast<void*>(a[1]), static_cast<size_t>((n + 7) / 8)};
    local.iov_len = remote.iov_len;
    if (::process_vm_readv(pid, &local, 1, &remote, 1, 0) != static_cast<ssize_t>(remote.iov_len)) {
      unknown = true;
      return -1;
    }
    for (long fd = 0; fd < n; ++fd) {
      if (FD_ISSET(fd, &set) && fd_is(pid, fd, tty, unknown)) return 1;
    }
    return 0;
  }
  if (nr == NR_EPOLL_WAIT || nr == NR_EPOLL_PWAIT || nr == NR_EPOLL_PWAIT2) {
    std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(a[0]));
    std::string l;
    while (std::getline(info, l)) {
      long fd = -1;
      unsigned events = 0;
      if (std::sscanf(l.c_str(), "tfd: %ld events: %x", &fd, &events) == 2 && (events & POLLIN) &&
          fd_is(pid, fd, tty, unknown)) {
        return 1;
      }
    }
    return 0;
  }
  return 0;
}

}  // namespace

Result<PtyProcess> PtyProcess::spawn(ProcessDescription d) noexcept try {
  if (d.argv.empty() || !d.executable.valid()) return Errno::from_raw(EINVAL);
  std::vector<char*> argv;
  for (auto& a : d.argv) {
    if (a.find('\0') != std::string::npos) return Errno::from_raw(EINVAL);
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  std::vector<char*> envp;
  if (d.env) {
    for (auto& e : *d.env) envp.push_back(e.data());
    envp.push_back(nullptr);
  }
  UniqueFd master{::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)};
  if (!master.valid()) return Errno::last();
  if (::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0) return Errno::last();
  char slave[64] = {};
  if (::ptsname_r(master.get(), slave, sizeof slave) != 0) return Errno::last();
  struct stat st {};
  if (::stat(slave, &st) != 0) return Errno::last();
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return Errno::last();
  UniqueFd rd{ends[0]}, wr{ends[1]};
  Plan plan{slave, d.executable.get(), is_script(d.executable.get()), argv.data(),
            d.env ? envp.data() : environ, d.cwd ? d.cwd->c_str() : nullptr, {}, wr.get()};
  plan.size.ws_row = d.size.rows;
  plan.size.ws_col = d.size.columns;
  (void)::ioctl(master.get(), TIOCSWINSZ, &plan.size);
  sigset_t all, old;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  const pid_t pid = ::fork();
  if (pid == 0) run_child(plan);
  const int fork_err = errno;
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (pid < 0) return Errno::from_raw(fork_err);
  wr.reset();
  int err = 0;
  const ssize_t got = retry_on_eintr([&] { return ::read(rd.get(), &err, sizeof err); });
  UniqueFd handle{pidfd_open(pid)};
  if (got > 0 || !handle.valid()) {
    int status = 0;
    (void)retry_on_eintr([&] { return ::waitpid(pid, &status, 0); });
    return Errno::from_raw(got > 0 ? err : ESRCH);
  }
  const int high = ::fcntl(handle.get(), F_DUPFD_CLOEXEC, 3);
  handle.reset(high);
  return PtyProcess(std::move(master), std::move(handle), pid, st.st_rdev);
} catch (const std::bad_alloc&) {
  return Errno::from_raw(ENOMEM);
}

PtyProcess::~PtyProcess() {
  if (pid_.get() > 0) terminate_session();
}

Result<UniqueFd> PtyProcess::get_raw_handle() const noexcept {
  const int fd = ::fcntl(master_.get(), F_DUPFD_CLOEXEC, 3);
  if (fd < 0) return Errno::last();
  return UniqueFd{fd};
}

std::optional<ExitStatus> PtyProcess::exit_status() noexcept {
  if (status_ || !pidfd_.valid()) return status_;
  siginfo_t info{};
  if (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd_.get()), &info, WEXITED | WNOHANG) != 0) {
    return std::nullopt;
  }
  if (info.si_pid == 0) return std::nullopt;
  ExitStatus s;
  if (info.si_code == CLD_EXITED) {
    s.code = info.si_status;
  } else {
    s.signal = info.si_status;
    s.core_dumped = info.si_code == CLD_DUMPED;
  }
  status_ = s;
  return status_;
}

Result<void> PtyProcess::resize(WindowSize size) noexcept {
  struct winsize ws {};
  ws.ws_row = size.rows;
  ws.ws_col = size.columns;
  if (::ioctl(master_.get(), TIOCSWINSZ, &ws) != 0) return Errno::last();
  return Result<void>::success();
}

void PtyProcess::terminate_session() noexcept try {
  if (pid_.get() <= 0) return;
  const pid_t sid = pid_.get();
  std::vector<UniqueFd> members;
  for (pid_t p : all_pids()) {
    char state;
    pid_t pgrp, session;
    if (p == sid || !read_stat(p, state, pgrp, session) || session != sid) continue;
    UniqueFd h{pidfd_open(p)};
    if (!h.valid() || !read_stat(p, state, pgrp, session) || session != sid) continue;
    members.push_back(std::move(h));
  }
  if (!status_) {
    UniqueFd own{::fcntl(pidfd_.get(), F_DUPFD_CLOEXEC, 3)};
    members.push_back(std::move(own));
  }
  for (auto& m : members) {
    (void)pidfd_signal(m.get(), SIGHUP);
    (void)pidfd_signal(m.get(), SIGCONT);
  }
  wait_all(members, std::chrono::milliseconds(300));
  for (auto& m : members) (void)pidfd_signal(m.get(), SIGTERM);
  wait_all(members, std::chrono::milliseconds(300));
  for (auto& m : members) (void)pidfd_signal(m.get(), SIGKILL);
  wait_all(members, std::chrono::milliseconds(1000));
  (void)exit_status();
  pid_ = -1;
} catch (...) {
}

InputWait PtyProcess::foreground_input_wait() const noexcept try {
  const pid_t fg = ::tcgetpgrp(master_.get());
  if (fg <= 0) return InputWait::Unknown;
  bool unknown = false;
  bool reading = false;
  for (pid_t p : all_pids()) {
    char state;
    pid_t pgrp, session;
    if (!read_stat(p, state, pgrp, session) || pgrp != fg) continue;
    DIR* d = ::opendir(("/proc/" + std::to_string(p) + "/task").c_str());
    if (d == nullptr) continue;
    int verdict = 0;
    while (dirent* e = ::readdir(d)) {
      if (e->d_name[0] == '.') continue;
      const int r = task_reads_tty(p, e->d_name, tty_, unknown);
      if (r < 0) {
        verdict = -1;
        break;
      }
      if (r == 1) reading = true;
    }
    ::closedir(d);
    if (verdict < 0) return unknown ? InputWait::Unknown : InputWait::Busy;
  }
  if (reading) return InputWait::Waiting;
  return unknown ? InputWait::Unknown : InputWait::Busy;
} catch (...) {
  return InputWait::Unknown;
}

}  // namespace morvik::session::standin
