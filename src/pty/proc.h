// Reading other processes' state from /proc: their stat line, their
// threads and children, what their descriptors refer to, the system call a
// thread is blocked in. Parent side only (these allocate); every reader
// returns nothing rather than guess when a file is gone or refused.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace morvik::pty::proc {

// The fields of /proc/<pid>[/task/<tid>]/stat that the layer reads.
struct Stat {
  char state = '?';
  pid_t ppid = 0;
  pid_t pgrp = 0;
  pid_t session = 0;
  int tty_nr = 0;  // the controlling terminal, in the kernel's encoding
  pid_t tpgid = 0;  // that terminal's foreground process group; -1: none
  long threads = 0;  // how many threads the process has (a thread's own stat: its process's)
};

// /proc/<pid>/stat, or /proc/<pid>/task/<tid>/stat when tid is given.
std::optional<Stat> read_stat(pid_t pid, pid_t tid = 0);

// Every process id under /proc.
std::vector<pid_t> all_processes();
// How many times all_processes has read /proc, in this process: its cost
// grows with every process on the machine, so callers keep it off their
// common paths, and tests hold them to it.
std::uint64_t full_scans() noexcept;
// The threads of a process (empty when it is gone); with its stat just
// read, a process of one thread costs no listing.
std::vector<pid_t> threads_of(pid_t pid);
std::vector<pid_t> threads_of(pid_t pid, const Stat& known);
// The children of one thread of a process.
std::vector<pid_t> children_of(pid_t pid, pid_t tid);

// The descriptors a process has open (empty when it is gone or refused).
std::vector<int> descriptors_of(pid_t pid);
// The index N of the pseudo-terminal (/dev/pts/N) whose master descriptor
// `fd` of `pid` is, from its fdinfo; nullopt when it is no master.
std::optional<unsigned> master_index(pid_t pid, int fd);

// The kernel's encoding of a device number as /proc/<pid>/stat shows tty_nr.
int encode_tty(dev_t dev) noexcept;

// What a thread is doing, from /proc/<pid>/task/<tid>/syscall.
struct Syscall {
  enum class Kind { Running, Blocked, NotInSyscall, Refused, Gone } kind = Kind::Gone;
  long number = -1;
  std::uint64_t args[6] = {};
};
Syscall read_syscall(pid_t pid, pid_t tid);

// What descriptor `fd` of `pid` refers to; nullopt when it is not open or
// the kernel refuses to say.
std::optional<struct stat> descriptor_stat(pid_t pid, int fd);
// st_rdev of what descriptor `fd` of `pid` refers to; nullopt when it is
// not open, not a device, or the kernel refuses to say.
std::optional<dev_t> descriptor_device(pid_t pid, int fd);
// Whether socket `fd` of `pid` is connected to another program: one of the
// internet (TCP, UDP), or a local one whose peer is another process (a
// server such as docker's daemon); a pair the process made for itself is
// not. Asked through a duplicate taken with the process's pidfd; false when
// the kernel refuses to say.
bool socket_reaches_elsewhere(pid_t pid, int fd);
// The descriptors an epoll instance watches for input, from its fdinfo.
std::optional<std::vector<int>> epoll_input_targets(pid_t pid, int epfd);

}  // namespace morvik::pty::proc
