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
#include <string>
#include <vector>

#include "base/unique_fd.h"

namespace morvik::session::standin {

namespace {

int pidfd_open(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }
int pidfd_signal(int fd, int sig) { return static_cast<int>(::syscall(SYS_pidfd_send_signal, fd, sig, nullptr, 0)); }

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

void terminate_session(pid_t sid, int child_pidfd) noexcept try {
  if (sid <= 0) return;
  std::vector<UniqueFd> members;
  for (pid_t p : all_pids()) {
    char state;
    pid_t pgrp, session;
    if (p == sid || !read_stat(p, state, pgrp, session) || session != sid) continue;
    UniqueFd h{pidfd_open(p)};
    if (!h.valid() || !read_stat(p, state, pgrp, session) || session != sid) continue;
    members.push_back(std::move(h));
  }
  if (child_pidfd >= 0) members.emplace_back(::fcntl(child_pidfd, F_DUPFD_CLOEXEC, 3));
  for (auto& m : members) {
    (void)pidfd_signal(m.get(), SIGHUP);
    (void)pidfd_signal(m.get(), SIGCONT);
  }
  wait_all(members, std::chrono::milliseconds(300));
  for (auto& m : members) (void)pidfd_signal(m.get(), SIGTERM);
  wait_all(members, std::chrono::milliseconds(300));
  for (auto& m : members) (void)pidfd_signal(m.get(), SIGKILL);
  wait_all(members, std::chrono::milliseconds(1000));
} catch (...) {
}

InputWait foreground_input_wait(int master, dev_t tty) noexcept try {
  const pid_t fg = ::tcgetpgrp(master);
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
      const int r = task_reads_tty(p, e->d_name, tty, unknown);
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
