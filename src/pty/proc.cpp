// Readers of /proc for the layer's questions about processes it did not
// start itself (the members of the child's session and foreground group).
// Each file is read with one open and one read into a stack buffer: these
// run on every readiness check, and a stream or a heap buffer per file would
// cost more than the reading. A file that is gone or refused reads as
// nothing; nothing here ever treats a partial read as a whole one.
#include "proc.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/eintr.h"
#include "base/unique_fd.h"

namespace morvik::pty::proc {

namespace {

constexpr std::size_t STAT_BUFFER = 1024;
constexpr std::size_t FDINFO_BUFFER = 8192;
constexpr std::size_t CHILDREN_BUFFER = 4096;

std::atomic<std::uint64_t> g_full_scans{0};

// Reads up to size - 1 bytes of a small /proc file and terminates them;
// -1 with errno set when it cannot be read.
ssize_t read_small(const char* path, char* buf, std::size_t size) noexcept {
  UniqueFd fd{::open(path, O_RDONLY | O_CLOEXEC)};
  if (!fd.valid()) return -1;
  const ssize_t got = retry_on_eintr([&] { return ::read(fd.get(), buf, size - 1); });
  if (got < 0) return -1;
  buf[got] = '\0';
  return got;
}

bool is_number(const char* s) noexcept {
  if (*s == '\0') return false;
  for (; *s != '\0'; ++s) {
    if (*s < '0' || *s > '9') return false;
  }
  return true;
}

std::vector<pid_t> numeric_entries(const char* dir_path) {
  std::vector<pid_t> out;
  DIR* dir = ::opendir(dir_path);
  if (dir == nullptr) return out;
  while (const dirent* e = ::readdir(dir)) {
    if (is_number(e->d_name)) out.push_back(static_cast<pid_t>(std::atol(e->d_name)));
  }
  ::closedir(dir);
  return out;
}

}  // namespace

std::optional<Stat> read_stat(pid_t pid, pid_t tid) {
  char path[64];
  if (tid == 0) {
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
  } else {
    std::snprintf(path, sizeof path, "/proc/%d/task/%d/stat", pid, tid);
  }
  char buf[STAT_BUFFER];
  if (read_small(path, buf, sizeof buf) <= 0) return std::nullopt;
  // The command name may hold anything, ")" included: the fields start
  // after the last one.
  const char* close = std::strrchr(buf, ')');
  if (close == nullptr) return std::nullopt;
  Stat st;
  int ppid = 0, pgrp = 0, session = 0, tty = 0, tpgid = 0;
  // Fields 3-8, then (past flags, faults, times, priority and nice) 20.
  if (std::sscanf(close + 1, " %c %d %d %d %d %d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %ld", &st.state, &ppid,
                  &pgrp, &session, &tty, &tpgid, &st.threads) != 7) {
    return std::nullopt;
  }
  st.tpgid = tpgid;
  st.ppid = ppid;
  st.pgrp = pgrp;
  st.session = session;
  st.tty_nr = tty;
  return st;
}

std::vector<pid_t> all_processes() {
  g_full_scans.fetch_add(1, std::memory_order_relaxed);
  return numeric_entries("/proc");
}

std::uint64_t full_scans() noexcept { return g_full_scans.load(std::memory_order_relaxed); }

std::vector<pid_t> threads_of(pid_t pid, const Stat& known) {
  // One thread: its id is the process's, with no listing to read.
  if (known.threads == 1) return {pid};
  return threads_of(pid);
}

std::vector<pid_t> threads_of(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/task", pid);
  return numeric_entries(path);
}

std::vector<pid_t> children_of(pid_t pid, pid_t tid) {
  char path[80];
  std::snprintf(path, sizeof path, "/proc/%d/task/%d/children", pid, tid);
  char buf[CHILDREN_BUFFER];
  std::vector<pid_t> out;
  if (read_small(path, buf, sizeof buf) <= 0) return out;
  for (char* p = buf; *p != '\0';) {
    char* end = nullptr;
    const long v = std::strtol(p, &end, 10);
    if (end == p) break;
    out.push_back(static_cast<pid_t>(v));
    p = end;
  }
  return out;
}

std::vector<int> descriptors_of(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/fd", pid);
  std::vector<int> out;
  for (pid_t fd : numeric_entries(path)) out.push_back(static_cast<int>(fd));
  return out;
}

std::optional<unsigned> master_index(pid_t pid, int fd) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/fdinfo/%d", pid, fd);
  char buf[STAT_BUFFER];
  if (read_small(path, buf, sizeof buf) <= 0) return std::nullopt;
  const char* line = std::strstr(buf, "tty-index:");
  unsigned index = 0;
  if (line == nullptr || std::sscanf(line, "tty-index: %u", &index) != 1) return std::nullopt;
  return index;
}

int encode_tty(dev_t dev) noexcept {
  const unsigned long mj = major(dev), mn = minor(dev);
  return static_cast<int>((mn & 0xFF) | (mj << 8) | ((mn & ~0xFFul) << 12));
}

Syscall read_syscall(pid_t pid, pid_t tid) {
  char path[80];
  std::snprintf(path, sizeof path, "/proc/%d/task/%d/syscall", pid, tid);
  char buf[256];
  Syscall out;
  if (read_small(path, buf, sizeof buf) < 0) {
    out.kind = (errno == EACCES || errno == EPERM) ? Syscall::Kind::Refused : Syscall::Kind::Gone;
    return out;
  }
  if (std::strncmp(buf, "running", 7) == 0) {
    out.kind = Syscall::Kind::Running;
    return out;
  }
  char* end = nullptr;
  out.number = std::strtol(buf, &end, 10);
  if (end == buf) return out;  // Gone: nothing readable
  if (out.number < 0) {
    out.kind = Syscall::Kind::NotInSyscall;
    return out;
  }
  for (std::uint64_t& arg : out.args) {
    char* next = nullptr;
    arg = std::strtoull(end, &next, 16);
    if (next == end) return out;
    end = next;
  }
  out.kind = Syscall::Kind::Blocked;
  return out;
}

std::optional<struct stat> descriptor_stat(pid_t pid, int fd) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/fd/%d", pid, fd);
  struct stat st {};
  if (::stat(path, &st) != 0) return std::nullopt;
  return st;
}

std::optional<dev_t> descriptor_device(pid_t pid, int fd) {
  const std::optional<struct stat> st = descriptor_stat(pid, fd);
  if (!st || !S_ISCHR(st->st_mode)) return std::nullopt;
  return st->st_rdev;
}

namespace {

// A duplicate of socket `fd` of `pid`, for questions to it alone; invalid
// when the kernel refuses.
UniqueFd socket_of(pid_t pid, int fd) {
  UniqueFd handle{static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))};
  if (!handle.valid()) return UniqueFd{};
  return UniqueFd{static_cast<int>(::syscall(SYS_pidfd_getfd, handle.get(), fd, 0))};
}

int domain_of(int socket) {
  int domain = 0;
  socklen_t size = sizeof domain;
  return ::getsockopt(socket, SOL_SOCKET, SO_DOMAIN, &domain, &size) == 0 ? domain : -1;
}

std::optional<pid_t> peer_of(int socket, pid_t pid) {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return std::nullopt;
  // A pair the process made for itself names itself.
  if (peer.pid <= 0 || peer.pid == pid) return std::nullopt;
  return peer.pid;
}

}  // namespace

bool socket_reaches_elsewhere(pid_t pid, int fd) {
  const UniqueFd socket = socket_of(pid, fd);
  if (!socket.valid()) return false;
  // A server's listening socket, or an unconnected datagram one, reaches
  // no one in particular: a REPL that serves is no relay.
  sockaddr_storage peer{};
  socklen_t size = sizeof peer;
  if (::getpeername(socket.get(), reinterpret_cast<sockaddr*>(&peer), &size) != 0) return false;
  const int domain = domain_of(socket.get());
  if (domain == AF_INET || domain == AF_INET6) return true;
  return domain == AF_UNIX && peer_of(socket.get(), pid).has_value();
}

std::optional<std::vector<int>> epoll_input_targets(pid_t pid, int epfd) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/fdinfo/%d", pid, epfd);
  char buf[FDINFO_BUFFER];
  if (read_small(path, buf, sizeof buf) < 0) return std::nullopt;
  std::vector<int> out;
  constexpr unsigned long EPOLL_INPUT = 0x1 | 0x40;  // EPOLLIN | EPOLLRDNORM
  for (const char* line = std::strstr(buf, "tfd:"); line != nullptr; line = std::strstr(line + 4, "tfd:")) {
    int target = -1;
    unsigned long events = 0;
    if (std::sscanf(line, "tfd: %d events: %lx", &target, &events) == 2 && (events & EPOLL_INPUT) != 0) {
      out.push_back(target);
    }
  }
  return out;
}

}  // namespace morvik::pty::proc
