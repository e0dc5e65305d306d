// The kernel's view of whether a terminal's foreground program waits for
// input. It reads /proc and the blocked threads' own memory (the descriptor
// sets a poll or select waits on) and must never change, signal or stop
// anything it looks at. A thread can change state between two reads: every
// answer is a snapshot, and the caller asks again rather than trust one
// "Waiting" from a thread that was only passing through a read.
#include "input_wait.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

#include "base/unique_fd.h"
#include "proc.h"

namespace morvik::pty {

namespace {

// The most descriptors of one poll or select that are looked at: a program
// that waits on more than this is not an interactive prompt.
constexpr std::size_t MAX_WATCHED_DESCRIPTORS = 1024;
// /dev/tty: whichever terminal controls the process's session.
const dev_t CONTROLLING_TTY_DEVICE = makedev(5, 0);
// /dev/ptmx (and devpts' own ptmx): a descriptor of it is a terminal's master.
const dev_t MASTER_MULTIPLEXER_DEVICE = makedev(5, 2);
// The subordinate sides /dev/pts/N: major 136 on, 256 minors each.
constexpr unsigned PTS_FIRST_MAJOR = 136;
constexpr unsigned PTS_MINORS_PER_MAJOR = 256;
// How many terminals deep a relay's relay is followed (sudo inside script
// inside sudo...); deeper, the verdict is Unknown.
constexpr int MAX_RELAY_DEPTH = 8;
// The most descendants of a relay looked at while finding the process its
// inner terminal controls.
constexpr std::size_t MAX_RELAY_DESCENDANTS = 4096;

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

// Whether a blocked read, poll, select or epoll wait ends by itself at a
// time: a timeout given (poll's and epoll's a count of milliseconds, -1 for
// none; the others' a pointer, null for none).
bool has_time_limit(const proc::Syscall& call) noexcept {
  const std::uint64_t* a = call.args;
  switch (call.number) {
#ifdef SYS_poll
    case SYS_poll:
      return static_cast<int>(a[2]) >= 0;
#endif
#ifdef SYS_epoll_wait
    case SYS_epoll_wait:
#endif
    case SYS_epoll_pwait:
      return static_cast<int>(a[3]) >= 0;
    case SYS_ppoll:
      return a[2] != 0;
#ifdef SYS_select
    case SYS_select:
#endif
    case SYS_pselect6:
      return a[4] != 0;
#ifdef SYS_epoll_pwait2
    case SYS_epoll_pwait2:
      return a[3] != 0;
#endif
    default:
      return false;
  }
}

// One member process of the foreground group and what its descriptors are.
class Member {
 public:
  Member(pid_t pid, int tty_nr, dev_t subordinate) : pid_(pid), tty_nr_(tty_nr), subordinate_(subordinate) {}

  bool is_terminal(int fd) { return is_terminal(describe(fd)); }

  // Whether the blocked call waits for input from the terminal. Also notes
  // whether the same call waits on a connection to another program: then
  // the reader relays our terminal to it (ssh -t, docker exec -t), and the
  // program behind is one whose state this terminal's kernel view does not
  // show.
  bool waits_on_terminal(const proc::Syscall& call) {
    if (classify(call.number) == Call::Read) {
      terminal_only_ = is_terminal(static_cast<int>(call.args[0]));
      return terminal_only_;
    }
    const std::vector<int> fds = watched(call);
    std::vector<std::optional<struct stat>> seen;  // one look at each
    bool terminal = false;
    terminal_only_ = !fds.empty();
    for (int fd : fds) {
      seen.push_back(describe(fd));
      terminal = terminal || is_terminal(seen.back());
      terminal_only_ = terminal_only_ && is_terminal(seen.back());
    }
    if (!terminal) return false;
    for (std::size_t i = 0; i < fds.size() && !network_; ++i) {
      network_ = seen[i] && S_ISSOCK(seen[i]->st_mode) && proc::socket_reaches_elsewhere(pid_, fds[i]);
    }
    return true;
  }
  bool waits_on_network() const noexcept { return network_; }
  // The blocked call waits on the terminal and on nothing else.
  bool waits_on_terminal_only() const noexcept { return terminal_only_; }

 private:
  std::optional<struct stat> describe(int fd) const {
    return fd < 0 ? std::nullopt : proc::descriptor_stat(pid_, fd);
  }

  bool is_terminal(const std::optional<struct stat>& st) const {
    if (!st || !S_ISCHR(st->st_mode)) return false;
    if (st->st_rdev == subordinate_) return true;
    return st->st_rdev == CONTROLLING_TTY_DEVICE && tty_nr_ == proc::encode_tty(subordinate_);
  }

  // The descriptors a poll, select or epoll wait watches for input; none
  // for any other call.
  std::vector<int> watched(const proc::Syscall& call) {
    const std::uint64_t* a = call.args;
    switch (classify(call.number)) {
      case Call::Poll:
        return polled(a[0], a[1]);
      case Call::Select:
        return selected(a[0], a[1]);
      case Call::EpollWait:
        return proc::epoll_input_targets(pid_, static_cast<int>(a[0])).value_or(std::vector<int>{});
      case Call::Read:
      case Call::Other:
        break;
    }
    return {};
  }

  bool read_memory(std::uint64_t address, void* out, std::size_t size) const {
    iovec local{out, size};
    iovec remote{reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)), size};
    return ::process_vm_readv(pid_, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(size);
  }

  std::vector<int> polled(std::uint64_t fds_address, std::uint64_t count) {
    if (count == 0 || count > MAX_WATCHED_DESCRIPTORS) return {};
    std::vector<pollfd> fds(count);
    if (!read_memory(fds_address, fds.data(), count * sizeof(pollfd))) return {};
    std::vector<int> out;
    for (const pollfd& p : fds) {
      if ((p.events & (POLLIN | POLLRDNORM)) != 0 && p.fd >= 0) out.push_back(p.fd);
    }
    return out;
  }

  std::vector<int> selected(std::uint64_t nfds, std::uint64_t readfds_address) {
    if (readfds_address == 0 || nfds == 0) return {};
    if (nfds > MAX_WATCHED_DESCRIPTORS) nfds = MAX_WATCHED_DESCRIPTORS;
    unsigned char bits[MAX_WATCHED_DESCRIPTORS / 8] = {};
    // The kernel reads whole longs of the set; the bytes that hold nfds bits
    // are all there is to read.
    const std::size_t bytes = (nfds + 7) / 8;
    if (!read_memory(readfds_address, bits, bytes)) return {};
    std::vector<int> out;
    for (std::size_t fd = 0; fd < nfds; ++fd) {
      if ((bits[fd / 8] >> (fd % 8) & 1) != 0) out.push_back(static_cast<int>(fd));
    }
    return out;
  }

  pid_t pid_;
  int tty_nr_;
  dev_t subordinate_;
  bool network_ = false;
  bool terminal_only_ = false;
};

// A member of the foreground group as the walk found it: what it read then
// is not read again (a question costs its system calls, and is asked after
// every burst of output).
struct Found {
  pid_t pid;
  proc::Stat stat;
  std::vector<pid_t> threads;
};

// The foreground group's processes: found by walking the session leader's
// descendants, which is where they almost always are; a /proc scan only
// when the group's leader is not among them (reparented after its parent
// ended).
// `known`: the group leader's stat, just read.
std::vector<Found> group_members(pid_t session_leader, pid_t group, const std::optional<proc::Stat>& known) {
  std::vector<Found> members;
  bool leader_seen = false;
  std::vector<pid_t> pending{session_leader};
  while (!pending.empty()) {
    const pid_t pid = pending.back();
    pending.pop_back();
    const std::optional<proc::Stat> st = pid == group && known ? known : proc::read_stat(pid);
    if (!st) continue;
    std::vector<pid_t> threads = proc::threads_of(pid, *st);
    for (pid_t tid : threads) {
      for (pid_t child : proc::children_of(pid, tid)) pending.push_back(child);
    }
    if (st->pgrp == group) {
      members.push_back({pid, *st, std::move(threads)});
      leader_seen = leader_seen || pid == group;
    }
  }
  if (leader_seen) return members;
  members.clear();
  for (pid_t pid : proc::all_processes()) {
    const std::optional<proc::Stat> st = proc::read_stat(pid);
    if (st && st->pgrp == group && st->session == session_leader) {
      members.push_back({pid, *st, proc::threads_of(pid, *st)});
    }
  }
  return members;
}

// Whether input the relay copied is still queued on its terminal, unread:
// then the program behind it, though asleep reading, has a line to take.
// Asked on a descriptor of the subordinate opened for the question alone
// (read-only, never made a controlling terminal, never read).
InputWait unless_input_queued(unsigned index, dev_t inner) {
  char path[48];
  std::snprintf(path, sizeof path, "/dev/pts/%u", index);
  UniqueFd fd{::open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)};
  struct stat st {};
  // Another mount of the terminals (a container's) names another terminal.
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || st.st_rdev != inner) return InputWait::Unknown;
  pollfd p{fd.get(), POLLIN, 0};
  const int ready = ::poll(&p, 1, 0);
  if (ready < 0) return InputWait::Unknown;
  return ready > 0 ? InputWait::Busy : InputWait::Waiting;
}

// Whether output of the program behind the relay still waits in the
// inner terminal for the relay to take it: then the relay has more to copy
// to ours, and the program's answer is not all on its way yet. The master
// is the relay's own; a duplicate of its descriptor (pidfd_getfd, allowed
// only where the relay may be traced) is only polled, which moves what the
// program wrote into the queue it is counted in, then closed. The number
// may have been reused since it was read: the duplicate must still be the
// master of terminal `index`.
InputWait unless_output_unrelayed(pid_t relay, int fd, unsigned index) {
  UniqueFd handle{static_cast<int>(::syscall(SYS_pidfd_open, relay, 0))};
  if (!handle.valid()) return errno == ESRCH ? InputWait::Busy : InputWait::Unknown;
  UniqueFd master{static_cast<int>(::syscall(SYS_pidfd_getfd, handle.get(), fd, 0))};
  if (!master.valid()) return errno == EBADF ? InputWait::Busy : InputWait::Unknown;
  unsigned number = 0;
  if (::ioctl(master.get(), TIOCGPTN, &number) != 0 || number != index) return InputWait::Busy;
  pollfd p{master.get(), POLLIN, 0};
  const int ready = ::poll(&p, 1, 0);
  if (ready < 0) return InputWait::Unknown;
  return ready > 0 ? InputWait::Busy : InputWait::Waiting;
}

// The master of another terminal held by one of `members` (a relay:
// script, sudo with use_pty): its holder and descriptor and the terminal's
// index. None held: nullopt; more than one, or one whose index the kernel
// will not give: `unknown`.
struct HeldMaster {
  pid_t holder;
  int fd;
  unsigned index;
};
std::optional<HeldMaster> master_held(const std::vector<Found>& members, bool& unknown) {
  std::optional<HeldMaster> held;
  for (const Found& f : members) {
    for (int fd : proc::descriptors_of(f.pid)) {
      if (proc::descriptor_device(f.pid, fd) != MASTER_MULTIPLEXER_DEVICE) continue;
      const std::optional<unsigned> index = proc::master_index(f.pid, fd);
      if (!index || held) {
        unknown = true;
        return std::nullopt;
      }
      held = HeldMaster{f.pid, fd, *index};
    }
  }
  return held;
}

// A process the relay's terminal controls: the relay started that session,
// so it is among the relay's descendants.
std::optional<proc::Stat> controlled_by(pid_t relay, dev_t terminal) {
  const int nr = proc::encode_tty(terminal);
  std::vector<pid_t> pending{relay};
  std::size_t seen = 0;
  while (!pending.empty() && seen++ < MAX_RELAY_DESCENDANTS) {
    const pid_t next = pending.back();
    pending.pop_back();
    std::optional<proc::Stat> st;
    if (next != relay) {
      st = proc::read_stat(next);
      if (st && st->tty_nr == nr) return st;
    }
    for (pid_t tid : st ? proc::threads_of(next, *st) : proc::threads_of(next)) {
      for (pid_t child : proc::children_of(next, tid)) pending.push_back(child);
    }
  }
  return std::nullopt;
}

// Whether the members are all asleep with one of them reading the
// terminal: Waiting; Busy when one is at work or none reads; Unknown when
// the kernel would not say what a sleeper waits on. `fresh`: every thread's
// state is read now, none taken from the walk. `alone`, when given, is set
// when the group is one process of one thread whose wait is on the
// terminal, on nothing else and with no time limit: whatever it may hold,
// it does nothing until input comes (a relay that copies its inner
// terminal waits on that terminal's master too, or wakes on a timer to
// look at it, or keeps a thread for it).
InputWait members_wait(const std::vector<Found>& found, dev_t subordinate, bool fresh, bool* timed = nullptr,
                       bool* alone = nullptr) {
  bool reading = false;
  bool network = false;
  bool refused = false;
  for (const Found& f : found) {
    Member member(f.pid, f.stat.tty_nr, subordinate);
    for (pid_t tid : f.threads) {
      // A process's own stat shows its main thread's state.
      const std::optional<proc::Stat> thread =
          tid == f.pid && !fresh ? std::optional(f.stat) : proc::read_stat(f.pid, tid);
      if (!thread || thread->state == 'Z' || thread->state == 'X') continue;
      // Running, in an uninterruptible wait, or stopped: not waiting for us.
      if (thread->state != 'S') return InputWait::Busy;
      if (reading) continue;  // one reader is enough; the rest need only be asleep
      const proc::Syscall call = proc::read_syscall(f.pid, tid);
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
          network = member.waits_on_network();
          if (reading && timed != nullptr) *timed = has_time_limit(call);
          if (reading && alone != nullptr) {
            *alone = found.size() == 1 && f.threads.size() == 1 && member.waits_on_terminal_only() &&
                     !has_time_limit(call);
          }
          break;
      }
    }
  }
  if (reading) return network ? InputWait::Unknown : InputWait::Waiting;
  return refused ? InputWait::Unknown : InputWait::Busy;
}

// One terminal of the chain from ours to the program at its end: its
// foreground group, and the relay in it that holds the next one's master.
struct Level {
  dev_t subordinate;
  std::vector<Found> found;
  std::optional<HeldMaster> relay;
};

// The foreground group `group` of a terminal, unless its leader is seen at
// work (one read instead of the whole walk: the question is usually asked
// right after output, while the program may still be at work).
std::optional<std::vector<Found>> foreground_members(pid_t group, pid_t session_leader) {
  const std::optional<proc::Stat> leader = proc::read_stat(group);
  if (leader && leader->pgrp == group && leader->state != 'S' && leader->state != 'Z' && leader->state != 'X') {
    return std::nullopt;
  }
  std::vector<Found> found = group_members(session_leader, group, leader);
  if (found.empty()) return std::nullopt;
  return found;
}

}  // namespace

// Input moves inward along the chain (our terminal, a relay, its terminal,
// the next relay...), output outward, and either may be on its way between
// two questions. So the questions follow it: inward, each terminal's queue
// is found empty before the readers past it are found asleep (what a relay
// took before it slept is in the next queue, or taken past it); then
// outward, each relay's master is found to hold no output before the relay
// is found asleep again (what it took is copied on). Asked in any other
// order, a line can slip past every question while it moves.
InputWait foreground_input_wait(int master_fd, pid_t session_leader, dev_t subordinate, WaitDetail* detail) {
  if (detail != nullptr) *detail = WaitDetail{};
  pid_t group = ::tcgetpgrp(master_fd);
  if (group < 0) return InputWait::Unknown;
  // 0: no foreground group, as once the session leader is gone.
  if (group == 0) return InputWait::Busy;

  std::vector<Level> chain;
  bool timed = false;
  for (dev_t terminal = subordinate;;) {
    std::optional<std::vector<Found>> found = foreground_members(group, session_leader);
    if (!found) return InputWait::Busy;
    bool alone = false;
    const InputWait own = members_wait(*found, terminal, false, &timed, &alone);
    if (own != InputWait::Waiting) return own;
    // The look at every descriptor of the group is spared for a lone
    // single-threaded reader of the terminal alone, with no timer (a shell,
    // a REPL): it copies nothing from another terminal while it waits.
    bool unknown = false;
    std::optional<HeldMaster> relay = alone ? std::nullopt : master_held(*found, unknown);
    if (unknown) return InputWait::Unknown;
    chain.push_back({terminal, std::move(*found), relay});
    if (!relay) break;
    if (chain.size() > static_cast<std::size_t>(MAX_RELAY_DEPTH)) return InputWait::Unknown;
    const unsigned index = relay->index;
    terminal = makedev(PTS_FIRST_MAJOR + index / PTS_MINORS_PER_MAJOR, index % PTS_MINORS_PER_MAJOR);
    // None: the relay's session is not set up yet, or has ended (or is not
    // among its descendants at all): busy, as far as can be seen. Not
    // Unknown, which would stop the asking for the rest of a wait over a
    // moment of a start. No foreground group: the inner session is ending.
    const std::optional<proc::Stat> controlled = controlled_by(relay->holder, terminal);
    if (!controlled || controlled->tpgid <= 0) return InputWait::Busy;
    if (const InputWait queued = unless_input_queued(index, terminal); queued != InputWait::Waiting) return queued;
    group = controlled->tpgid;
    session_leader = controlled->session;
  }
  // Outward: every relay has copied all that the program behind it wrote.
  for (std::size_t k = chain.size() - 1; k-- > 0;) {
    const HeldMaster& relay = *chain[k].relay;
    if (const InputWait held = unless_output_unrelayed(relay.holder, relay.fd, relay.index); held != InputWait::Waiting) {
      return held;
    }
    if (const InputWait again = members_wait(chain[k].found, chain[k].subordinate, true); again != InputWait::Waiting) {
      return again;
    }
  }
  if (detail != nullptr) {
    detail->relayed = chain.size() > 1;
    // The reader whose timer counts is the last one: the program behind.
    detail->timed = timed;
  }
  return InputWait::Waiting;
}

}  // namespace morvik::pty
