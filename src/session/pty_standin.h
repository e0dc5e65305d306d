// TEMPORARY. A stand-in for the PTY layer's agent additions (exact start,
// process handle, exit status, resize, session stop, input-wait check), in
// the shape the shared design gives them, so that the agent session can be
// built and tested before src/pty offers them. Replaced by src/pty's own
// when that work lands; nothing but agent_session.cpp may use it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/exchange_on_move.h"
#include "base/result.h"
#include "base/unique_fd.h"

namespace morvik::session::standin {

struct WindowSize {
  std::uint16_t rows = 24;
  std::uint16_t columns = 80;
};

struct ProcessDescription {
  std::vector<std::string> argv;
  UniqueFd executable;
  std::optional<std::vector<std::string>> env;
  std::optional<std::string> cwd;
  WindowSize size{};
};

struct ExitStatus {
  std::optional<int> code;    // exited with this status
  std::optional<int> signal;  // or was ended by this signal
  bool core_dumped = false;
};

enum class InputWait { Waiting, Busy, Unknown };

class PtyProcess {
 public:
  static Result<PtyProcess> spawn(ProcessDescription description) noexcept;

  PtyProcess(PtyProcess&&) noexcept = default;
  PtyProcess& operator=(PtyProcess&&) = delete;
  ~PtyProcess();

  pid_t pid() const noexcept { return pid_.get(); }
  int pidfd() const noexcept { return pidfd_.get(); }
  int master_fd() const noexcept { return master_.get(); }
  Result<UniqueFd> get_raw_handle() const noexcept;

  // Collects the child once it ended; nullopt while it runs.
  std::optional<ExitStatus> exit_status() noexcept;
  Result<void> resize(WindowSize size) noexcept;
  // Every process of the child's session: SIGHUP and SIGCONT, then SIGTERM,
  // then SIGKILL; reaps the child.
  void terminate_session() noexcept;
  InputWait foreground_input_wait() const noexcept;

 private:
  PtyProcess(UniqueFd master, UniqueFd pidfd, pid_t pid, dev_t tty) noexcept
      : master_(std::move(master)), pidfd_(std::move(pidfd)), pid_(pid), tty_(tty) {}

  UniqueFd master_;
  UniqueFd pidfd_;
  ExchangeOnMove<pid_t, -1> pid_;
  dev_t tty_ = 0;
  std::optional<ExitStatus> status_;
};

}  // namespace morvik::session::standin
