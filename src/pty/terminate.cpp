// The agent face's stop of a whole terminal session: the child and every
// process still in its session, background jobs that ignore SIGHUP
// included. It must never signal a process outside the session, and must
// not read all of /proc on the common path, whose cost grows with every
// process on the machine.
//
// How the members are found. Every member of the session descends, by
// fork, from the child that leads it, and stays in the child's tree of
// descendants (read from /proc/PID/task/TID/children) while its parents
// live. So the tree is walked from the child and from every member already
// held, before each signal; and each member's process group is signalled
// too (kill of the group), which reaches members of a known group that the
// tree no longer shows (an orphan whose parent ended). A group is signalled
// only while a held member is seen in it: a group number cannot change
// hands while the group has a member, and every group of a member lies in
// the session. An orphan in a group of its own whose parent ended before
// the walk (`(job &)` in an interactive shell) is neither: but an orphan is
// handed to the nearest subreaper among its ancestors, or else to init, and
// every ancestor of the child is this process or one of its ancestors. So
// the children of this process (if it is a subreaper) and of each of its
// ancestors are looked at too (one getsid each), while the child is
// uncollected: until then its number, which is the session's, cannot be
// reused, so a process of that session is ours. A member that holds the
// terminal and escaped all of that (a process of another pid namespace)
// is still caught: once every member found has ended, the terminal is asked
// whether anyone still holds its subordinate side (the master reports a
// hang-up when nobody does), and only then is /proc read in full.
//
// Each member found by number is opened as a process handle first and its
// session read again after opening; from then on the handle, not the
// number, is what gets signalled. Waits are polls on the handles, never
// fixed sleeps.
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <vector>

#include "base/eintr.h"
#include "base/unique_fd.h"
#include "proc.h"
#include "pty_process.h"

namespace morvik::pty {

namespace {

using Clock = std::chrono::steady_clock;

// A process of the session, held by its handle. `handle` is -1 for the
// child, whose handle the record keeps.
struct Member {
  pid_t pid;
  UniqueFd own;
  int handle;
};

bool has_ended(int handle) noexcept {
  // A zero timeout: nothing to restart after EINTR.
  pollfd p{handle, POLLIN, 0};
  return retry_on_eintr([&] { return ::poll(&p, 1, 0); }) > 0;
}

bool live(char state) noexcept { return state != 'Z' && state != 'X'; }

// `pid`, when it is a live member of session `sid`, held by a handle.
std::optional<Member> hold(pid_t pid, pid_t sid) {
  const auto seen = proc::read_stat(pid);
  if (!seen || seen->session != sid || !live(seen->state)) return std::nullopt;
  UniqueFd handle{static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))};
  if (!handle.valid()) return std::nullopt;  // ended meanwhile
  // The number may have changed hands between the read and the open: the
  // handle holds whatever has it now, so that is what is checked.
  const auto again = proc::read_stat(pid);
  if (!again || again->session != sid || !live(again->state)) return std::nullopt;
  const int fd = handle.get();
  return Member{pid, std::move(handle), fd};
}

// The session's members that have not ended, found through the tree below
// the child and below every member held so far (see the top of the file).
// Once the child has been collected its number is free: its tree is not
// walked then.
class TreeMembers {
 public:
  TreeMembers(pid_t sid, int child_handle) : sid_(sid), child_uncollected_(child_handle >= 0) {
    if (child_handle >= 0) members_.push_back(Member{sid, UniqueFd{}, child_handle});
  }

  const std::vector<Member>& refresh() {
    std::erase_if(members_, [](const Member& m) { return has_ended(m.handle); });
    std::vector<pid_t> pending;
    for (const Member& m : members_) pending.push_back(m.pid);
    if (child_uncollected_) {
      for (pid_t orphan : orphans()) {
        if (held(orphan)) continue;
        std::optional<Member> m = hold(orphan, sid_);
        if (!m) continue;
        members_.push_back(std::move(*m));
        pending.push_back(orphan);
      }
    }
    while (!pending.empty()) {
      const pid_t pid = pending.back();
      pending.pop_back();
      for (pid_t tid : proc::threads_of(pid)) {
        for (pid_t child : proc::children_of(pid, tid)) {
          if (held(child)) continue;
          std::optional<Member> m = hold(child, sid_);
          if (!m) continue;
          members_.push_back(std::move(*m));
          pending.push_back(child);
        }
      }
    }
    return members_;
  }

 private:
  bool held(pid_t pid) const {
    for (const Member& m : members_) {
      if (m.pid == pid) return true;
    }
    return false;
  }

  // Processes of the session among the children of this process (when it
  // is a subreaper) and of its ancestors: where an orphaned member lands
  // (see the top of the file). The kernel hands an orphan to the adopting
  // process's main thread, so only that thread's children are read: a host
  // with a thousand terminals has a thousand reader threads, and reading
  // each one's list on every close would make closing them all quadratic.
  std::vector<pid_t> orphans() const {
    std::vector<pid_t> found;
    const pid_t self = ::getpid();
    int subreaper = 0;
    const bool adopts = ::prctl(PR_GET_CHILD_SUBREAPER, &subreaper) == 0 && subreaper != 0;
    pid_t ancestor = self;
    // Bounded: a parent chain is short, and a loop in a torn read must not spin.
    for (int depth = 0; ancestor > 0 && depth < 64; ++depth) {
      if (ancestor != self || adopts) {
        for (pid_t child : proc::children_of(ancestor, ancestor)) {
          if (::getsid(child) == sid_) found.push_back(child);
        }
      }
      if (ancestor == 1) break;
      const auto st = proc::read_stat(ancestor);
      if (!st) break;
      ancestor = st->ppid;
    }
    return found;
  }

  pid_t sid_;
  bool child_uncollected_;
  std::vector<Member> members_;
};

// Every live member of the session, from a read of all of /proc: the
// fallback for what the tree cannot show. Once the child has been
// collected its number is free; a process that now has that number is a
// stranger, and a session of that number is then a stranger's: nothing is
// returned.
std::vector<Member> scanned_members(pid_t sid, int child_handle) {
  std::vector<Member> out;
  if (child_handle >= 0) {
    if (!has_ended(child_handle)) out.push_back(Member{sid, UniqueFd{}, child_handle});
  } else if (const auto st = proc::read_stat(sid); st && st->session == sid && live(st->state)) {
    return {};
  }
  for (pid_t pid : proc::all_processes()) {
    if (pid == sid) continue;
    if (std::optional<Member> m = hold(pid, sid)) out.push_back(std::move(*m));
  }
  return out;
}

void signal_all(const std::vector<Member>& members, int sig, bool with_groups) {
  // Groups are read while their members are held and before any is
  // signalled: a member still live in a group keeps that group's number
  // ours, and one that ends on this very signal would take it along.
  std::vector<pid_t> groups;
  for (const Member& m : members) {
    if (!with_groups) break;
    const auto st = proc::read_stat(m.pid);
    if (!st || !live(st->state) || has_ended(m.handle)) continue;
    if (std::find(groups.begin(), groups.end(), st->pgrp) == groups.end()) groups.push_back(st->pgrp);
  }
  for (const Member& m : members) (void)::syscall(SYS_pidfd_send_signal, m.handle, sig, nullptr, 0);
  for (pid_t group : groups) {
    if (group > 1) (void)::kill(-group, sig);
  }
}

// Waits until every member has ended or `grace` has passed; true when all
// have ended.
bool wait_for_all(const std::vector<Member>& members, std::chrono::milliseconds grace) {
  std::vector<pollfd> waiting;
  for (const Member& m : members) waiting.push_back(pollfd{m.handle, POLLIN, 0});
  const auto deadline = Clock::now() + grace;
  while (!waiting.empty()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    // Not retried blindly: an interrupted poll goes round with the time left.
    const int ready = ::poll(waiting.data(), waiting.size(), static_cast<int>(left) + 1);
    if (ready < 0 && errno != EINTR) return false;
    if (ready > 0) std::erase_if(waiting, [](const pollfd& p) { return p.revents != 0; });
  }
  return true;
}

// Whether any process still holds the terminal's subordinate side open: the
// master reports a hang-up once none does.
bool terminal_still_held(int master) noexcept {
  if (master < 0) return false;
  pollfd p{master, 0, 0};
  return retry_on_eintr([&] { return ::poll(&p, 1, 0); }) >= 0 && (p.revents & POLLHUP) == 0;
}

// SIGHUP, with SIGCONT so that a stopped member can act on it; then
// SIGTERM; then SIGKILL. Each time the members are looked up again: a
// shell that forwards SIGHUP may have started or lost some meanwhile.
// true: none was left.
template <class Find>
bool stop_members(Find&& find, bool with_groups) {
  struct Step {
    int first;
    int second;
    std::chrono::milliseconds grace;
  };
  constexpr Step STEPS[] = {
      {SIGHUP, SIGCONT, HANGUP_GRACE}, {SIGTERM, 0, TERMINATE_GRACE}, {SIGKILL, 0, KILL_GRACE}};
  for (const Step& step : STEPS) {
    const std::vector<Member>& members = find();
    if (members.empty()) return true;
    signal_all(members, step.first, with_groups);
    if (step.second != 0) signal_all(members, step.second, with_groups);
    (void)wait_for_all(members, step.grace);
  }
  return find().empty();
}

}  // namespace

Result<bool> PtyProcess::terminate_session() {
  if (!pidfd_.valid()) return true;  // a moved-from record
  if (!in_owner_process()) return false;
  const pid_t sid = pid_.get();
  const int child_handle = collected_ ? -1 : pidfd_.get();

  TreeMembers tree(sid, child_handle);
  bool gone = stop_members([&]() -> const std::vector<Member>& { return tree.refresh(); }, true);
  if (gone && terminal_still_held(master_.get())) {
    // Someone the tree could not show still holds the terminal: it may be
    // a member. Now, and only now, all of /proc is read.
    std::vector<Member> scanned;
    gone = stop_members([&]() -> const std::vector<Member>& {
      scanned = scanned_members(sid, child_handle);
      return scanned;
    }, false);
  }
  // The child has ended (or nothing would end it): collect it.
  if (!collected_) {
    Result<bool> alive = is_alive();
    if (!alive) return alive.error();
    if (alive.value()) gone = false;
  }
  return gone;
}

InputWait PtyProcess::foreground_input_wait(WaitDetail* detail) const {
  if (!in_owner_process() || !master_.valid()) return InputWait::Unknown;
  return pty::foreground_input_wait(master_.get(), pid_.get(), subordinate_.rdev, detail);
}

}  // namespace morvik::pty
