// Start-up, draining, input, settings, liveness and teardown of one session.
// The waits live in wait.cpp. Every operation here runs on the object's
// owner thread with the interpreter lock held; the only other thread that
// touches the session's state is the reader, and only through the channel.
#include "session.h"

#include <fcntl.h>

#include <cerrno>
#include <utility>

#include "base/errno_code.h"
#include "base/internal_failure.h"
#include "held_tail.h"
#include "text/cleaning.h"

namespace morvik::session {

std::vector<Marker> default_ready_markers() { return {"pwndbg> ", "(gdb) "}; }

Session::Session(std::string command, pty::PtyProcess process, InputWriter writer, Receiver rx,
                 ReaderThread reader, std::size_t history_limit, bool interactive)
    : command_(std::move(command)),
      history_limit_(history_limit),
      interactive_(interactive),
      history_(history_limit),
      reader_thread_(std::move(reader)),
      rx_(std::move(rx)),
      writer_(std::move(writer)),
      process_(std::move(process)) {}

Expected<std::unique_ptr<Session>> Session::spawn(std::string command, bool interactive,
                                                  std::size_t history_limit) {
  // The command is one program taken verbatim: no splitting, no shell.
  auto process = pty::PtyProcess::spawn(pty::ProcessDescription{command, {}});
  if (!process) {
    return startup_error("Failed to spawn process with command '" + command +
                         "': " + process.error().text());
  }
  // From here on, returning releases the process handle, which stops the child.
  auto raw = process->get_raw_handle();
  if (!raw) return startup_error("Failed to get pty handle: " + raw.error().text());

  // Duplicates at 3 or above, close-on-exec, so that neither lands on a
  // standard descriptor of a host started without one, nor leaks into
  // programs the host starts later.
  UniqueFd reader_fd(::fcntl(raw->get(), F_DUPFD_CLOEXEC, 3));
  if (!reader_fd.valid()) {
    const int e = errno;
    return startup_error("Failed to clone pty handle (reader): " + os_error_text(e));
  }
  UniqueFd writer_fd(::fcntl(raw->get(), F_DUPFD_CLOEXEC, 3));
  if (!writer_fd.valid()) {
    const int e = errno;
    return startup_error("Failed to clone pty handle (writer): " + os_error_text(e));
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
    return startup_error("Failed to get pty handle: " + Errno::last().text());
  }
  InputWriter writer(std::move(writer_fd));
  auto [tx, rx] = make_channel();
  std::string why;
  ReaderThread reader = ReaderThread::start(std::move(reader_fd), std::move(tx), why);
  if (!reader.joinable()) {
    // Locals unwind in reverse: channel, writer, raw handle, process (stopped).
    internal_failure("failed to spawn reader thread: " + why);
  }
  std::unique_ptr<Session> s(new Session(std::move(command), std::move(process).value(),
                                         std::move(writer), std::move(rx), std::move(reader),
                                         history_limit, interactive));
  return s;
}

Session::~Session() { close_inner(); }

// ---------------------------------------------------------------- draining

bool Session::append_capped(Receiver& rx, std::string& out, Chunk&& chunk, std::uint64_t cap) {
  const std::uint64_t room = cap - out.size();
  if (chunk.size() <= room) {
    if (out.empty()) out = std::move(chunk);
    else out.append(chunk);
    return false;
  }
  // The tail goes back to the head of the channel: a budget ends a read, it
  // never loses output, and the history stays the exact output stream.
  const auto take = static_cast<std::size_t>(room);
  out.append(chunk, 0, take);
  chunk.erase(0, take);
  rx.unreceive(std::move(chunk));
  return true;
}

void Session::append_history(std::string_view bytes) {
  if (bytes.empty()) return;
  auto history = history_.lock();
  if (history.poisoned()) internal_failure("history lock poisoned");
  history->append(bytes);
}

Expected<std::string> Session::read_available(std::optional<std::uint64_t> max_bytes) {
  const std::uint64_t budget = max_bytes.value_or(DEFAULT_READ_AVAILABLE_BYTES);
  auto rx = rx_.lock();
  if (rx.poisoned()) return runtime_error("rx lock poisoned");
  if (in_other_process()) return std::string();
  std::string collected;
  Chunk chunk;
  while (collected.size() < budget) {
    if (rx->try_recv(chunk) != Receiver::Status::Chunk) break;
    if (append_capped(*rx, collected, std::move(chunk), budget)) break;
  }
  hold_incomplete_tail(*rx, collected, budget);
  // Recorded while rx is still held, so the history order is the drain order.
  append_history(collected);
  return text::sanitize_for_agent(collected);
}

Expected<std::string> Session::get_history() {
  auto history = history_.lock();
  if (history.poisoned()) return runtime_error("history lock poisoned");
  return text::sanitize_for_agent(history->contents());
}

// ------------------------------------------------------- input and settings

Expected<void> Session::write_bytes(std::string_view data) {
  auto writer = writer_.lock();
  if (writer.poisoned()) return runtime_error("writer lock poisoned");
  // The terminal belongs to the original host: nothing of a copy's input
  // may reach its program.
  if (in_other_process()) return runtime_error("write failed: " + os_error_text(EIO));
  if (auto r = writer->write_all(data); !r) {
    return runtime_error((r.error().flushing ? "flush failed: " : "write failed: ") + r.error().text);
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

Expected<void> Session::set_ready_markers(std::vector<Marker> markers) {
  auto list = ready_markers_.lock();
  if (list.poisoned()) return runtime_error("ready_markers lock poisoned");
  *list = std::move(markers);
  return {};
}

// ------------------------------------------------------ liveness, teardown

Expected<bool> Session::is_alive() {
  auto alive = process_.is_alive();
  if (!alive) return runtime_error("is_alive failed: " + alive.error().text());
  return alive.value();
}

void Session::close_inner() noexcept {
  if (in_other_process()) {
    abandon();
    return;
  }
  try {
    (void)process_.exit(true);
  } catch (const InternalFailure& f) {
    defer_internal_failure(f.message());
  } catch (...) {
    defer_internal_failure("teardown failed while stopping the child");
  }
  ReaderThread reader;
  {
    auto slot = reader_thread_.lock();
    if (slot.poisoned()) return;
    reader = std::move(*slot);
  }
  // Bounded: a background process that keeps the terminal open, or a child
  // that cannot be signalled, would otherwise hold the reader forever.
  reader.join_within(READER_JOIN_GRACE);
}

void Session::abandon() noexcept {
  // Only the owner thread reaches this, and in the copy no session call of
  // its was in progress at the fork, so the session's own locks are free;
  // the channel's and the reader's are not ours to take.
  {
    auto slot = reader_thread_.lock();
    slot->abandon();
  }
  rx_.lock()->abandon();
  writer_.lock()->close();
}

Expected<void> Session::reset(std::unique_ptr<Session>& slot) {
  Session& old = *slot;
  std::string command = old.command_;
  const bool interactive = old.interactive_;
  const std::size_t history_limit = old.history_limit_;
  std::vector<Marker> markers;
  {
    auto list = old.ready_markers_.lock();
    if (list.poisoned()) internal_failure("ready_markers lock poisoned");
    markers = *list;
  }
  old.close_inner();
  auto fresh = spawn(std::move(command), interactive, history_limit);
  if (!fresh) return std::move(fresh).take_error();
  {
    auto list = fresh.value()->ready_markers_.lock();
    *list = std::move(markers);
  }
  // The new program's first output (often its prompt) stays queued for the
  // caller's next read: the channel is new, so there is nothing stale to
  // drain, and a drain here would take exactly what the caller waits for.
  slot.reset();
  slot = std::move(fresh).value();
  return {};
}

}  // namespace morvik::session
