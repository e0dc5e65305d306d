// The PTY layer: one child process on a freshly allocated pseudo-terminal,
// with the subordinate side as its controlling terminal and its standard
// input, output and error. It knows nothing of sessions, Python or threads;
// it returns error numbers and never throws (apart from InternalFailure for
// states the kernel cannot produce).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "base/result.h"
#include "base/unique_fd.h"
#include "wait_status.h"

namespace morvik::pty {

inline constexpr std::uint16_t INITIAL_ROWS = 24;
inline constexpr std::uint16_t INITIAL_COLUMNS = 80;
inline constexpr std::uint8_t FALLBACK_EOF_BYTE = 4;   // Ctrl-D
inline constexpr std::uint8_t FALLBACK_INTR_BYTE = 3;  // Ctrl-C
inline constexpr std::chrono::milliseconds SIGNAL_PAUSE{100};

// What to start: the program (looked up along PATH when it has no slash)
// and its arguments, which follow the program name in argv.
struct ProcessDescription {
  std::string program;
  std::vector<std::string> args;
};

// Owns the master descriptor; closes it once on release.
class PtyMaster {
 public:
  PtyMaster() noexcept = default;
  explicit PtyMaster(int fd) noexcept : fd_(fd) {}
  PtyMaster(PtyMaster&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  PtyMaster& operator=(PtyMaster&& o) noexcept;
  PtyMaster(const PtyMaster&) = delete;
  PtyMaster& operator=(const PtyMaster&) = delete;
  ~PtyMaster();

  int get() const noexcept { return fd_; }

 private:
  void close_now() noexcept;
  int fd_ = -1;
};

class Master {
 public:
  Master() noexcept = default;
  explicit Master(PtyMaster m) noexcept : pty_(std::move(m)) {}
  int fd() const noexcept { return pty_.get(); }

  // The subordinate's path (/dev/pts/N), from ptsname_r with a 64-byte buffer.
  static Result<std::string> get_slave_name(int master_fd);
  Result<std::string> get_slave_name() const { return get_slave_name(fd()); }

 private:
  PtyMaster pty_;
};

// TIOCSWINSZ with 24 rows by 80 columns; the layer offers no other size.
Result<void> set_term_size(int fd) noexcept;
// The host's own terminal characters (descriptor 0, else 1), or the fallbacks.
std::uint8_t get_eof_char() noexcept;
std::uint8_t get_intr_char() noexcept;

class PtyProcess {
 public:
  static Result<PtyProcess> spawn(ProcessDescription description) noexcept;

  // A moved-from record keeps pid -1 and releases nothing: it must never
  // wait for, or signal, "any child" (-1) on its way out.
  PtyProcess(PtyProcess&& other) noexcept;
  PtyProcess& operator=(PtyProcess&& other) noexcept;
  PtyProcess(const PtyProcess&) = delete;
  PtyProcess& operator=(const PtyProcess&) = delete;
  // Stops a child that still runs (the forced stop sequence), then closes
  // the master. A failed stop is parked as a deferred internal failure.
  ~PtyProcess();

  // A duplicate of the master at 3 or above, owned by the caller,
  // close-on-exec from the start.
  Result<UniqueFd> get_raw_handle() const noexcept;

  // One non-blocking wait. true while running; false once ended (the first
  // call that sees the end also collects the child). The record remembers a
  // collected child and never waits for or signals its number again, since
  // the kernel may already have given it to another process. false without
  // a wait for a moved-from record, and in any process but the one that
  // started the child (a forked copy of the host).
  Result<bool> is_alive();
  // SIGHUP, SIGCONT, SIGINT, SIGTERM, each followed by the full pause and a
  // check; SIGKILL last when force is set. true: the child is gone (also,
  // without a signal, when it is not this process's to stop).
  Result<bool> exit(bool force);

  // Whether the calling process is the one that started the child.
  bool in_owner_process() const noexcept;

  pid_t pid() const noexcept { return pid_; }
  int master_fd() const noexcept { return pty_master_.fd(); }
  std::uint8_t eof_byte() const noexcept { return eof_byte_; }
  std::uint8_t intr_byte() const noexcept { return intr_byte_; }

 private:
  PtyProcess(Master master, pid_t pid, pid_t owner_pid, std::uint8_t eof_byte, std::uint8_t intr_byte) noexcept
      : pty_master_(std::move(master)), pid_(pid), owner_pid_(owner_pid), eof_byte_(eof_byte), intr_byte_(intr_byte) {}
  bool may_touch_child() const noexcept;
  void release() noexcept;

  std::chrono::nanoseconds signal_pause_ = SIGNAL_PAUSE;
  Master pty_master_;
  pid_t pid_ = -1;
  pid_t owner_pid_ = -1;  // the process that forked the child
  bool collected_ = false;
  std::uint8_t eof_byte_ = FALLBACK_EOF_BYTE;
  std::uint8_t intr_byte_ = FALLBACK_INTR_BYTE;
};

}  // namespace morvik::pty
