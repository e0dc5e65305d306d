// The kernel's view of whether a terminal's foreground program waits for
// input. It reads /proc and the blocked threads' own memory (the descriptor
// sets a poll or select waits on) and must never change, signal or stop
// anything it looks at. A thread can change state between two reads: every
// answer is a snapshot, and the caller asks again rather than trust one
// "Waiting" from a thread that was only passing through a read.
#include "input_wait.h"

#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <vector>

#include "proc.h"

namespace morvik::pty {

namespace {

// The most descriptors of one poll or select that are looked at: a program
// that waits on more than this is not an interactive prompt.
constexpr std::size_t MAX_WATCHED_DESCRIPTORS = 1024;
// /dev/tty: whichever terminal controls the process's session.
const dev_t CONTROLLING_TTY_DEVICE = makedev(5, 0);

enum class Call { Other, Read, Poll, Select, EpollWait };

Call classify(long nr) noexcept {
  switch (nr) {
    case SYS_read:
    case SYS_readv:
    case SYS_pread64:
    case SYS_preadv:
    case SYS_preadv2:
      return Call::Read;
#ifdef SYS_poll
    case SYS_poll:
#endif
    case SYS_ppoll:
      return Call::Poll;
#ifdef SYS_select
    case SYS_select:
#endif
    case SYS_pselect6:
      return Call::Select;
#ifdef SYS_epoll_wait
    case SYS_epoll_wait:
#endif
    case SYS_epoll_pwait:
#ifdef SYS_epoll_pwait2
    case SYS_epoll_pwait2:
#endif
      return Call::EpollWait;
    default:
      return Call::Other;
  }
}

// One member process of the foreground group and what its descriptors are.
class Member {
 public:
  Member(pid_t pid, int tty_nr, dev_t subordinate) : pid_(pid), tty_nr_(tty_nr), subordinate_(subordinate) {}

  bool is_terminal(int fd) {
    if (fd < 0) return false;
    const std::optional<dev_t> dev = proc::descriptor_device(pid_, fd);
    if (!dev) return false;
    if (*dev == subordinate_) return true;
    return *dev == CONTROLLING_TTY_DEVICE && tty_nr_ == proc::encode_tty(subordinate_);
  }

  // Whether the blocked call waits for input from the terminal.
  bool waits_on_terminal(const proc::Syscall& call) {
    const std::uint64_t* a = call.args;
    switch (classify(call.number)) {
      case Call::Read:
        return is_terminal(static_cast<int>(a[0]));
      case Call::Poll:
        return polls_terminal(a[0], a[1]);
      case Call::Select:
        return selects_terminal(a[0], a[1]);
      case Call::EpollWait: {
        const auto targets = proc::epoll_input_targets(pid_, static_cast<int>(a[0]));
        if (!targets) return false;
        for (int fd : *targets) {
          if (is_terminal(fd)) return true;
        }
        return false;
      }
      case Call::Other:
        return false;
    }
    return false;
  }

 private:
  bool read_memory(std::uint64_t address, void* out, std::size_t size) const {
    iovec local{out, size};
    iovec remote{reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)), size};
    return ::process_vm_readv(pid_, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(size);
  }

  bool polls_terminal(std::uint64_t fds_address, std::uint64_t count) {
    if (count == 0 || count > MAX_WATCHED_DESCRIPTORS) return false;
    std::vector<pollfd> fds(count);
    if (!read_memory(fds_address, fds.data(), count * sizeof(pollfd))) return false;
    for (const pollfd& p : fds) {
      if ((p.events & (POLLIN | POLLRDNORM)) != 0 && is_terminal(p.fd)) return true;
    }
    return false;
  }

  bool selects_terminal(std::uint64_t nfds, std::uint64_t readfds_address) {
    if (readfds_address == 0 || nfds == 0) return false;
    if (nfds > MAX_WATCHED_DESCRIPTORS) nfds = MAX_WATCHED_DESCRIPTORS;
    unsigned char bits[MAX_WATCHED_DESCRIPTORS / 8] = {};
    // The kernel reads whole longs of the set; the bytes that hold nfds bits
    // are all there is to read.
    const std::size_t bytes = (nfds + 7) / 8;
    if (!read_memory(readfds_address, bits, bytes)) return false;
    for (std::size_t fd = 0; fd < nfds; ++fd) {
      if ((bits[fd / 8] >> (fd % 8) & 1) != 0 && is_terminal(static_cast<int>(fd))) return true;
    }
    return false;
  }

  pid_t pid_;
  int tty_nr_;
  dev_t subordinate_;
};

// The foreground group's processes: found by walking the session leader's
// descendants, which is where they almost always are; a /proc scan only
// when the group's leader is not among them (reparented after its parent
// ended).
std::vector<pid_t> group_members(pid_t session_leader, pid_t group) {
  std::vector<pid_t> members;
  bool leader_seen = false;
  std::vector<pid_t> pending{session_leader};
  while (!pending.empty()) {
    const pid_t pid = pending.back();
    pending.pop_back();
    const std::optional<proc::Stat> st = proc::read_stat(pid);
    if (!st) continue;
    if (st->pgrp == group) {
      members.push_back(pid);
      leader_seen = leader_seen || pid == group;
    }
    for (pid_t tid : proc::threads_of(pid)) {
      for (pid_t child : proc::children_of(pid, tid)) pending.push_back(child);
    }
  }
  if (leader_seen) return members;
  members.clear();
  for (pid_t pid : proc::all_processes()) {
    const std::optional<proc::Stat> st = proc::read_stat(pid);
    if (st && st->pgrp == group && st->session == session_leader) members.push_back(pid);
  }
  return members;
}

}  // namespace

InputWait foreground_input_wait(int master_fd, pid_t session_leader, dev_t subordinate) {
  const pid_t group = ::tcgetpgrp(master_fd);
  if (group < 0) return InputWait::Unknown;
  // 0: no foreground group, as once the session leader is gone.
  if (group == 0) return InputWait::Busy;
  const std::vector<pid_t> members = group_members(session_leader, group);
  if (members.empty()) return InputWait::Busy;

  bool reading = false;
  bool refused = false;
  for (pid_t pid : members) {
    const std::optional<proc::Stat> st = proc::read_stat(pid);
    if (!st) continue;  // ended since the walk
    Member member(pid, st->tty_nr, subordinate);
    for (pid_t tid : proc::threads_of(pid)) {
      const std::optional<proc::Stat> thread = proc::read_stat(pid, tid);
      if (!thread || thread->state == 'Z' || thread->state == 'X') continue;
      // Running, in an uninterruptible wait, or stopped: not waiting for us.
      if (thread->state != 'S') return InputWait::Busy;
      if (reading) continue;  // one reader is enough; the rest need only be asleep
      const proc::Syscall call = proc::read_syscall(pid, tid);
      switch (call.kind) {
        case proc::Syscall::Kind::Running:
        case proc::Syscall::Kind::NotInSyscall:
          return InputWait::Busy;
        case proc::Syscall::Kind::Refused:
          refused = true;
          break;
        case proc::Syscall::Kind::Gone:
          break;
        case proc::Syscall::Kind::Blocked:
          reading = member.waits_on_terminal(call);
          break;
      }
    }
  }
  if (reading) return InputWait::Waiting;
  return refused ? InputWait::Unknown : InputWait::Busy;
}

}  // namespace morvik::pty
