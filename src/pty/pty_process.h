// The PTY layer: one child process on a freshly allocated pseudo-terminal,
// with the subordinate side as its controlling terminal and its standard
// input, output and error. It knows nothing of sessions, Python or threads;
// it returns error numbers and never throws (apart from InternalFailure for
// states the kernel cannot produce).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/exchange_on_move.h"
#include "base/result.h"
#include "base/unique_fd.h"
#include "input_wait.h"
#include "wait_status.h"

namespace morvik::pty {

inline constexpr std::uint16_t INITIAL_ROWS = 24;
inline constexpr std::uint16_t INITIAL_COLUMNS = 80;
inline constexpr std::chrono::milliseconds SIGNAL_PAUSE{100};
// terminate_session: how long the session's processes have after SIGHUP,
// then after SIGTERM, then after SIGKILL.
inline constexpr std::chrono::milliseconds HANGUP_GRACE{300};
inline constexpr std::chrono::milliseconds TERMINATE_GRACE{300};
inline constexpr std::chrono::milliseconds KILL_GRACE{300};

struct WindowSize {
  std::uint16_t rows = INITIAL_ROWS;
  std::uint16_t columns = INITIAL_COLUMNS;
  friend bool operator==(const WindowSize&, const WindowSize&) = default;
};

// What to start. Everything is fixed before the child exists; the child
// only applies it.
struct ProcessDescription {
  // The argument vector, argv[0] exactly as given. Without `executable`,
  // argv[0] is also the program: a name with a slash is that file, a name
  // without one is looked up along the PATH of `env`.
  std::vector<std::string> argv;
  // When valid, exactly this file runs (execveat with AT_EMPTY_PATH),
  // whatever argv[0] says: no path can be swapped in between the lookup and
  // the exec. For a script, whose interpreter reopens it as /dev/fd/N, the
  // descriptor is kept open across the exec. See open_executable.
  UniqueFd executable;
  // When set, the file that runs is named by this path (argv[0] stays as
  // given), so that a script's interpreter is handed a real path as $0, as
  // with a shell's or subprocess's start. Together with `executable`, the
  // child checks just before the exec that the path still names that very
  // file (device and inode) and fails with ESTALE when it does not.
  std::optional<std::string> path;
  // "NAME=value" entries, the program's whole environment; nullopt: the
  // host's environment as it is when spawn is called.
  std::optional<std::vector<std::string>> env;
  // The program's working directory; nullopt: the host's.
  std::optional<std::string> cwd;
  // The window, set on the terminal before the program starts.
  WindowSize size{};

  // One program name taken verbatim, with no arguments: no splitting, no
  // shell, the host's environment and working directory.
  static ProcessDescription command(std::string program);
};

// The file `name` names, looked up as the child would look it up (a name
// without a slash along the PATH of `env`, or of the host's environment when
// env is nullopt; a relative name from `cwd` when given), opened as a
// descriptor (O_PATH, close-on-exec) for ProcessDescription::executable.
// `path` is the name it was found under. ENOENT when nothing is found,
// EACCES when only files that may not be executed are.
struct Executable {
  UniqueFd fd;
  std::string path;
};
Result<Executable> open_executable(const std::string& name,
                                   const std::optional<std::vector<std::string>>& env = std::nullopt,
                                   const std::optional<std::string>& cwd = std::nullopt);

// The host's environment, copied ("NAME=value" entries).
std::vector<std::string> host_environment();

// The terminal's subordinate side: its path and its device number, which
// is what a descriptor of the terminal shows as st_rdev.
struct Subordinate {
  std::string path;
  dev_t rdev = 0;
};

// The subordinate's path (/dev/pts/N) of a master, from ptsname_r with a
// 64-byte buffer.
Result<std::string> get_slave_name(int master_fd);

// TIOCSWINSZ with the given size (24 rows by 80 columns unless told).
Result<void> set_term_size(int fd, WindowSize size = {}) noexcept;

// For tests only: the pause after each stop signal, SIGNAL_PAUSE unless a
// test shortened it so that the suite does not wait on it. Every step of the
// stop sequence is the same at any pause.
void set_signal_pause_for_tests(std::chrono::milliseconds pause) noexcept;

class PtyProcess {
 public:
  static Result<PtyProcess> spawn(ProcessDescription description) noexcept;

  // A moved-from record keeps pid -1 and releases nothing: it must never
  // wait for, or signal, "any child" (-1) on its way out.
  PtyProcess(PtyProcess&& other) noexcept = default;
  PtyProcess& operator=(PtyProcess&& other) = delete;
  // Stops a child that still runs (the forced stop sequence), then closes
  // the master. A failed stop is parked as a deferred internal failure.
  ~PtyProcess();

  // A duplicate of the master at 3 or above, owned by the caller,
  // close-on-exec from the start.
  Result<UniqueFd> get_raw_handle() const noexcept;

  // One non-blocking wait on the process handle. true while running; false
  // once ended (the first call that sees the end also collects the child and
  // records its exit status). A child that another party collected (a host
  // that reaps every child, SIGCHLD ignored) reads as ended, with no status.
  // Waits and signals go through the handle only, so neither can ever reach
  // a process that inherited the child's number. false without a wait for a
  // moved-from record, and in any process but the one that started the
  // child (a forked copy of the host).
  Result<bool> is_alive();
  // SIGHUP, SIGCONT, SIGINT, SIGTERM, each followed by the full pause and a
  // check; SIGKILL last when force is set. true: the child is gone (also,
  // without a signal, when it is not this process's to stop).
  Result<bool> exit(bool force);

  // As is_alive, but an ended child is left uncollected (a zombie) until
  // terminate_session or the release collects it: its number, which is also
  // the number of its session, cannot be given to another process meanwhile.
  // The exit status is recorded all the same.
  Result<bool> is_running();

  // The agent face's stop: every process of the child's session (the child
  // leads it; background jobs that ignore SIGHUP included) gets SIGHUP and
  // SIGCONT, then SIGTERM, then SIGKILL, each after the previous ones have
  // had their grace (HANGUP_GRACE, TERMINATE_GRACE) and only to those left;
  // the waits end as soon as the processes do (poll on their handles), so a
  // program that ends on SIGHUP costs no pause. Other members are signalled
  // through handles opened by number and checked again after opening, so a
  // number that changed hands is never signalled. Collects the child.
  // true: nothing of the session is left. The `Morvik` face keeps exit().
  Result<bool> terminate_session();

  // Whether the program in the terminal's foreground waits for input, as the
  // kernel shows it (see input_wait.h).
  InputWait foreground_input_wait(WaitDetail* detail = nullptr) const;

  // How the child ended, once a wait of this record collected it; nullopt
  // while it runs, and when another party collected it.
  std::optional<ExitStatus> exit_status() const noexcept { return exit_; }

  // In a forked copy of the host, inside fork() before any code of the host
  // runs there: closes the copy's duplicates of the master and the process
  // handle while their numbers are certainly ours. Later, a copy closes
  // nothing (it may have reused the numbers).
  void close_in_forked_child() noexcept;

  // Whether the calling process is the one that started the child.
  bool in_owner_process() const noexcept;

  pid_t pid() const noexcept { return pid_.get(); }
  // The process handle (a pidfd, close-on-exec, at 3 or above): readable
  // once the child has ended. -1 for a moved-from record.
  int pidfd() const noexcept { return pidfd_.get(); }
  int master_fd() const noexcept { return master_.get(); }
  const Subordinate& subordinate() const noexcept { return subordinate_; }

  // A new window size for the terminal; the kernel tells the terminal's
  // foreground process group with SIGWINCH.
  Result<void> resize(WindowSize size) noexcept;

 private:
  PtyProcess(UniqueFd master, UniqueFd pidfd, pid_t pid, pid_t owner_pid, Subordinate subordinate) noexcept
      : master_(std::move(master)),
        pidfd_(std::move(pidfd)),
        pid_(pid),
        owner_pid_(owner_pid),
        subordinate_(std::move(subordinate)) {}
  bool may_touch_child() const noexcept;
  Result<bool> check(bool collect);
  Result<bool> signal(int sig) noexcept;
  void release() noexcept;

  UniqueFd master_;
  UniqueFd pidfd_;
  ExchangeOnMove<pid_t, -1> pid_;
  pid_t owner_pid_ = -1;  // the process that started the child
  bool collected_ = false;
  std::optional<ExitStatus> exit_;
  Subordinate subordinate_;
};

}  // namespace morvik::pty
