// The agent face's stop of a whole terminal session: the child and every
// process still in its session, background jobs that ignore SIGHUP
// included. It must never signal a process outside the session: members
// are found by number in /proc, so each is opened as a process handle first
// and its session read again after opening; from then on the handle, not
// the number, is what gets signalled. Waits are polls on the handles, never
// fixed sleeps.
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
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
  UniqueFd own;
  int handle;
};

bool has_ended(int handle) noexcept {
  pollfd p{handle, POLLIN, 0};
  return retry_on_eintr([&] { return ::poll(&p, 1, 0); }) > 0;
}

bool live(char state) noexcept { return state != 'Z' && state != 'X'; }

// The session's processes that have not ended, the child first while it
// has not. Once the child has been collected its number is free; a process
// that now has that number is a stranger, and a session of that number is
// then a stranger's: nothing is returned.
std::vector<Member> session_members(pid_t sid, int child_handle) {
  std::vector<Member> out;
  if (child_handle >= 0) {
    if (!has_ended(child_handle)) out.push_back(Member{UniqueFd{}, child_handle});
  } else if (const auto st = proc::read_stat(sid); st && st->session == sid && live(st->state)) {
    return {};
  }
  for (pid_t pid : proc::all_processes()) {
    if (pid == sid) continue;
    const auto seen = proc::read_stat(pid);
    if (!seen || seen->session != sid || !live(seen->state)) continue;
    UniqueFd handle{static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))};
    if (!handle.valid()) continue;  // ended meanwhile
    // The number may have changed hands between the read and the open: the
    // handle holds whatever has it now, so that is what is checked.
    const auto again = proc::read_stat(pid);
    if (!again || again->session != sid || !live(again->state)) continue;
    const int fd = handle.get();
    out.push_back(Member{std::move(handle), fd});
  }
  return out;
}

void signal_all(const std::vector<Member>& members, int sig) noexcept {
  for (const Member& m : members) (void)::syscall(SYS_pidfd_send_signal, m.handle, sig, nullptr, 0);
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
    const int ready = ::poll(waiting.data(), waiting.size(), static_cast<int>(left) + 1);
    if (ready < 0 && errno != EINTR) return false;
    std::erase_if(waiting, [](const pollfd& p) { return p.revents != 0; });
  }
  return true;
}

}  // namespace

Result<bool> PtyProcess::terminate_session() {
  if (!pidfd_.valid()) return true;  // a moved-from record
  if (!in_owner_process()) return false;
  const pid_t sid = pid_.get();
  const int child_handle = collected_ ? -1 : pidfd_.get();

  // SIGHUP, with SIGCONT so that a stopped member can act on it; then
  // SIGTERM; then SIGKILL. Each time the members are looked up again: a
  // shell that forwards SIGHUP may have started or lost some meanwhile.
  struct Step {
    int first;
    int second;
    std::chrono::milliseconds grace;
  };
  constexpr Step STEPS[] = {
      {SIGHUP, SIGCONT, HANGUP_GRACE}, {SIGTERM, 0, TERMINATE_GRACE}, {SIGKILL, 0, KILL_GRACE}};
  bool gone = false;
  for (const Step& step : STEPS) {
    std::vector<Member> members = session_members(sid, child_handle);
    if (members.empty()) {
      gone = true;
      break;
    }
    signal_all(members, step.first);
    if (step.second != 0) signal_all(members, step.second);
    (void)wait_for_all(members, step.grace);
  }
  if (!gone) gone = session_members(sid, child_handle).empty();
  // The child has ended (or nothing would end it): collect it.
  if (!collected_) {
    Result<bool> alive = is_alive();
    if (!alive) return alive.error();
    if (alive.value()) gone = false;
  }
  return gone;
}

InputWait PtyProcess::foreground_input_wait() const {
  if (!in_owner_process() || !master_.valid()) return InputWait::Unknown;
  return pty::foreground_input_wait(master_.get(), pid_.get(), subordinate_.rdev);
}

}  // namespace morvik::pty
