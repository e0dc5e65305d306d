// Start-up, draining, input, settings, liveness and teardown of one session.
// The waits live in wait.cpp. Every operation here runs on the object's
// owner thread, with the interpreter lock held except for teardown and
// restart; the other threads are the reader, which touches nothing here but
// the channel, and the host's exit hook, which stops the child under
// stop_mutex_ (stop_all_programs).
#include "session.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "base/errno_code.h"
#include "base/internal_failure.h"
#include "base/kept_texts.h"
#include "held_tail.h"

namespace morvik::session {

std::vector<Marker> default_ready_markers() { return {"pwndbg> ", "(gdb) "}; }

namespace {

// Every session of this process, for stop_all_programs. A forked copy
// starts with none: the sessions it inherits are closed in it. Never
// destroyed: the host's exit may come after any static destructor.
struct LiveSessions final : ForkWatcher {
  std::mutex mutex;
  std::vector<Session*> sessions;
  bool stopped = false;  // stop_all_programs ran: the host exits
  void before_fork() noexcept override { mutex.lock(); }
  void after_fork_in_parent() noexcept override { mutex.unlock(); }
  void after_fork_in_child() noexcept override {
    sessions.clear();
    stopped = false;
    mutex.unlock();
  }
};

LiveSessions& live_sessions() {
  static LiveSessions* const live = [] {
    auto* l = new LiveSessions;
    watch_forks(l);
    return l;
  }();
  return *live;
}

}  // namespace

Session::Session(std::string command, pty::PtyProcess process, InputWriter writer, Receiver rx,
                 ReaderThread reader, std::size_t history_limit, bool interactive)
    : command_(std::move(command)),
      history_limit_(history_limit),
      interactive_(interactive),
      history_(history_limit),
      reader_thread_(std::move(reader)),
      inbox_(std::move(rx)),
      writer_(std::move(writer)),
      process_(std::move(process)) {
  // The live list first: it is a fork watcher registered before this
  // session's policy, so a fork takes its lock before the stop lock, in the
  // order the exit hook does.
  LiveSessions& live = live_sessions();
  fork_policy_.emplace(reader_thread_, inbox_, &stop_mutex_, &Session::close_rest_in_forked_child, this);
  std::lock_guard<std::mutex> lock(live.mutex);
  live.sessions.push_back(this);
  started_after_exit_ = live.stopped;
}

Expected<std::unique_ptr<Session>> Session::spawn(std::string command, bool interactive,
                                                  std::size_t history_limit) {
  // The command is one program taken verbatim: no splitting, no shell.
  auto process = pty::PtyProcess::spawn(pty::ProcessDescription::command(command));
  if (!process) {
    return startup_error(kept::SPAWN_FAILED + command + "': " + process.error().text());
  }
  // From here on, returning releases the process handle, which stops the child.
  auto raw = process->get_raw_handle();
  if (!raw) return startup_error(kept::GET_HANDLE_FAILED + raw.error().text());

  // Duplicates at 3 or above, close-on-exec, so that neither lands on a
  // standard descriptor of a host started without one, nor leaks into
  // programs the host starts later.
  UniqueFd reader_fd(::fcntl(raw->get(), F_DUPFD_CLOEXEC, 3));
  if (!reader_fd.valid()) {
    const int e = errno;
    return startup_error(kept::CLONE_READER_FAILED + os_error_text(e));
  }
  UniqueFd writer_fd(::fcntl(raw->get(), F_DUPFD_CLOEXEC, 3));
  if (!writer_fd.valid()) {
    const int e = errno;
    return startup_error(kept::CLONE_WRITER_FAILED + os_error_text(e));
  }
  // Non-blocking for the writer's sake (see input_writer.h). The flag
  // belongs to the master's open file description, so the reader's and the
  // process handle's descriptors share it; the reader reads first and polls
  // when the master is empty. The child's side is a different description
  // and stays blocking. Without the flag a program that stops reading could
  // hold a write, and teardown, for good, with the interpreter lock held:
  // a start that cannot set it fails.
  const int flags = ::fcntl(raw->get(), F_GETFL);
  if (flags < 0 || ::fcntl(raw->get(), F_SETFL, flags | O_NONBLOCK) < 0) {
    return startup_error(kept::GET_HANDLE_FAILED + Errno::last().text());
  }
  // Out of descriptors here is as ordinary as for the duplicates above.
  Result<ReaderThread::Descriptors> descriptors = ReaderThread::make_descriptors();
  if (!descriptors) return startup_error(kept::CLONE_READER_FAILED + os_error_text(descriptors.error().value()));
  InputWriter writer(std::move(writer_fd));
  auto [tx, rx] = make_channel();
  ReaderThread::StartError why;
  ReaderThread reader = ReaderThread::start(std::move(reader_fd), std::move(descriptors).value(), std::move(tx), why);
  if (!reader.joinable()) {
    // As ordinary as running out of descriptors: a host short of memory or
    // of processes. Locals unwind in reverse: channel, writer, raw handle,
    // process (stopped).
    return os_error(why.code, kept::READER_START_FAILED + why.text);
  }
  std::unique_ptr<Session> s(new Session(std::move(command), std::move(process).value(),
                                         std::move(writer), std::move(rx), std::move(reader),
                                         history_limit, interactive));
  // Started by a thread that went on while the host's exit stopped every
  // program (a reset): this one would outlive the host.
  if (s->started_after_exit_) s->stop_program();
  return s;
}

Session::~Session() {
  {
    // First: an exit hook that found this session finishes with it here.
    LiveSessions& live = live_sessions();
    std::lock_guard<std::mutex> lock(live.mutex);
    std::erase(live.sessions, this);
  }
  fork_policy_.reset();
  close_inner();
}

void Session::close_rest_in_forked_child(void* self) noexcept {
  Session& session = *static_cast<Session*>(self);
  session.writer_.close_in_forked_child();
  session.process_.close_in_forked_child();
}

// ---------------------------------------------------------------- draining

void Session::finish_read(ByteBuffer& collected, std::uint64_t cap) {
  hold_incomplete_tail(inbox_, collected, cap);
  history_.append(collected.view());
}

ByteBuffer Session::read_available(std::optional<std::uint64_t> max_bytes) {
  const std::uint64_t budget = max_bytes.value_or(DEFAULT_READ_AVAILABLE_BYTES);
  ByteBuffer collected;
  if (in_other_process()) return collected;
  Chunk chunk;
  while (collected.size() < budget) {
    if (inbox_.try_take(chunk) != Inbox::Status::Chunk) break;
    if (append_capped(inbox_, collected, std::move(chunk), budget)) break;
  }
  finish_read(collected, budget);
  return collected;
}

// ------------------------------------------------------- input and settings

Expected<void> Session::write_bytes(std::string_view data) {
  // The terminal belongs to the original host: nothing of a copy's input
  // may reach its program.
  if (in_other_process()) return runtime_error(kept::WRITE_FAILED + os_error_text(EIO));
  // Closed: no process holds the terminal's other side any more, and its
  // descriptors are gone. Input has nowhere to go, as it had nowhere to go
  // while they were still open.
  if (closed_) return {};
  if (auto r = writer_.write_all(data); !r) {
    return runtime_error((r.error().flushing ? kept::FLUSH_FAILED : kept::WRITE_FAILED) + r.error().text);
  }
  return {};
}

Expected<void> Session::send_line(std::string_view input) {
  std::string line;
  line.reserve(input.size() + 1);
  line.append(input);
  line.push_back('\n');
  return write_bytes(line);
}

Expected<void> Session::send_ctrl_c() {
  const char byte = static_cast<char>(CTRL_C_BYTE);
  return write_bytes(std::string_view(&byte, 1));
}

// ------------------------------------------------------ liveness, teardown

Expected<void> Session::reader_health() {
  if (in_other_process()) return {};
  const int failure = inbox_.reader_failure();
  if (failure == 0 || inbox_.peek() != Inbox::Status::Disconnected) return {};
  return runtime_error(kept::READER_STOPPED + os_error_text(failure));
}

Expected<bool> Session::is_alive() {
  auto alive = process_.is_alive();
  if (!alive) return runtime_error(kept::IS_ALIVE_FAILED + alive.error().text());
  return alive.value();
}

void Session::close_inner() noexcept {
  if (in_other_process()) {
    abandon();
    return;
  }
  stop_program();
  // Bounded: a background process that keeps the terminal open, or a child
  // that cannot be signalled, would otherwise hold the reader forever.
  reader_thread_.join_within(READER_JOIN_GRACE);
  // The terminal and the process handle go now, not with the object: a
  // closed Morvik kept for its history holds no descriptor. (A reader that
  // outlived its grace keeps its own duplicate until it ends.)
  try {
    std::lock_guard<std::mutex> lock(stop_mutex_);
    if (closed_) return;
    closed_ = true;
    writer_.close();
    pty::PtyProcess released(std::move(process_));
  } catch (...) {
    defer_internal_failure("teardown failed while releasing the terminal");
  }
}

void Session::stop_program() noexcept {
  try {
    std::lock_guard<std::mutex> lock(stop_mutex_);
    (void)process_.exit(true);
  } catch (const InternalFailure& f) {
    defer_internal_failure(f.message());
  } catch (...) {
    defer_internal_failure("teardown failed while stopping the child");
  }
}

void Session::stop_all_programs() noexcept {
  LiveSessions& live = live_sessions();
  std::lock_guard<std::mutex> lock(live.mutex);
  // Side by side: each stop of a program that ignores the polite signals
  // takes about half a second.
  std::vector<std::thread> stopping;
  live.stopped = true;
  for (Session* s : live.sessions) {
    if (s->in_other_process()) continue;
    try {
      stopping.emplace_back([s] { s->stop_program(); });
    } catch (...) {
      s->stop_program();  // no thread to spare: here, then
    }
  }
  for (std::thread& t : stopping) t.join();
}

void Session::abandon() noexcept {
  // The channel's and the reader's locks are not ours to take in a copy:
  // the reader thread may have held them at the fork.
  reader_thread_.abandon();
  inbox_.abandon();
  // Closed at the fork, if it came through fork(); a number the copy still
  // sees may be a file it opened since.
  writer_.forget_descriptor();
}

Expected<void> Session::reset(std::unique_ptr<Session>& slot) {
  Session& old = *slot;
  std::string command = old.command_;
  const bool interactive = old.interactive_;
  const std::size_t history_limit = old.history_limit_;
  std::vector<Marker> markers = old.ready_markers_;
  old.close_inner();
  auto fresh = spawn(std::move(command), interactive, history_limit);
  if (!fresh) return std::move(fresh).take_error();
  fresh.value()->ready_markers_ = std::move(markers);
  // The new program's first output (often its prompt) stays queued for the
  // caller's next read: the channel is new, so there is nothing stale to
  // drain, and a drain here would take exactly what the caller waits for.
  slot.reset();
  slot = std::move(fresh).value();
  return {};
}

}  // namespace morvik::session
