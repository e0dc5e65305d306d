// The `Morvik` face's start-up texts, draining, input, settings, liveness,
// teardown and restart, over the engine. The waits live in wait.cpp. Every
// operation here runs on the object's owner thread, with the interpreter
// lock held except for teardown and restart; the other thread that reaches
// a session is the host's exit hook, which stops the child through the
// engine (stop_all_programs).
#include "session.h"

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

Session::Session(std::string command, std::unique_ptr<Engine> engine, std::size_t history_limit, bool interactive)
    : command_(std::move(command)),
      history_limit_(history_limit),
      interactive_(interactive),
      engine_(std::move(engine)) {
  LiveSessions& live = live_sessions();
  std::lock_guard<std::mutex> lock(live.mutex);
  live.sessions.push_back(this);
  started_after_exit_ = live.stopped;
}

Expected<std::unique_ptr<Session>> Session::spawn(std::string command, bool interactive,
                                                  std::size_t history_limit) {
  // The live list first: it is a fork watcher registered before any
  // engine's fork policy, so a fork takes its lock before an engine's
  // process lock, in the order the exit hook does.
  (void)live_sessions();
  EngineStart start;
  // The command is one program taken verbatim: no splitting, no shell.
  start.description = pty::ProcessDescription::command(command);
  start.history_limit = history_limit;
  auto engine = Engine::start(std::move(start));
  if (!engine) {
    const StartFailure& why = engine.error();
    switch (why.step) {
      case StartFailure::Step::Spawn:
        return startup_error(kept::SPAWN_FAILED + command + "': " + why.error.text());
      case StartFailure::Step::Terminal:
        return startup_error(kept::GET_HANDLE_FAILED + why.error.text());
      case StartFailure::Step::Reader:
        // Out of descriptors here is as ordinary as for a duplicate.
        return startup_error(kept::CLONE_READER_FAILED + os_error_text(why.error.value()));
      case StartFailure::Step::ReaderThread:
        // As ordinary as running out of descriptors: a host short of memory
        // or of processes.
        return os_error(why.error.value(), kept::READER_START_FAILED + why.text);
    }
  }
  std::unique_ptr<Session> s(new Session(std::move(command), std::move(engine).value(), history_limit, interactive));
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
  close_inner();
}

// ---------------------------------------------------------------- draining

void Session::finish_read(ByteBuffer& collected, std::uint64_t cap) {
  hold_incomplete_tail(engine_->inbox(), collected, cap);
  engine_->record(collected.view());
}

ByteBuffer Session::read_available(std::optional<std::uint64_t> max_bytes) {
  const std::uint64_t budget = max_bytes.value_or(DEFAULT_READ_AVAILABLE_BYTES);
  ByteBuffer collected;
  if (in_other_process()) return collected;
  Inbox& inbox = engine_->inbox();
  Chunk chunk;
  while (collected.size() < budget) {
    if (inbox.try_take(chunk) != Inbox::Status::Chunk) break;
    if (append_capped(inbox, collected, std::move(chunk), budget)) break;
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
  if (auto r = engine_->write(data); !r) {
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
  Inbox& inbox = engine_->inbox();
  const int failure = inbox.reader_failure();
  if (failure == 0 || inbox.peek() != Inbox::Status::Disconnected) return {};
  return runtime_error(kept::READER_STOPPED + os_error_text(failure));
}

Expected<bool> Session::is_alive() {
  // Released by close (and not the copy's in a fork): no program of its own.
  auto alive = engine_->with_process([](pty::PtyProcess* p) -> Result<bool> {
    if (p == nullptr) return false;
    return p->is_alive();
  });
  if (!alive) return runtime_error(kept::IS_ALIVE_FAILED + alive.error().text());
  return alive.value();
}

void Session::close_inner() noexcept {
  // Bounded: a background process that keeps the terminal open, or a child
  // that cannot be signalled, holds the reader at most its grace. The
  // terminal and the process handle go now, not with the object: a closed
  // Morvik kept for its history holds no descriptor.
  engine_->close(StopHow::Child);
  if (!in_other_process()) closed_ = true;
}

void Session::stop_program() noexcept { engine_->stop(StopHow::Child); }

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
