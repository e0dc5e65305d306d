// The Core class of morvik_agent._terminal: one AgentSession per instance,
// callable from any thread. Its callers are the package's own Python layer,
// which checks and converts what users pass; so arguments are positional and
// plain (bytes, ints, lists of bytes). Owns where the interpreter lock is
// released: around every call that may block (waits, writes, close, the
// status questions that wait for the process lock), and never while a
// Python object is created, copied or destroyed. Must never let a C++
// exception reach the interpreter.
#include "core_type.h"

#include <limits>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "extension/binding/allow_threads.h"
#include "extension/binding/errors.h"
#include "extension/binding/output_text.h"
#include "extension/binding/params.h"
#include "extension/binding/heap_type.h"
#include "screen/screen.h"

namespace morvik::ext {

namespace {

using session::AgentReply;
using session::AgentSession;
using session::AgentWait;
using session::WaitEnd;

PyTypeObject* g_core_type = nullptr;

struct CoreObject {
  PyObject_HEAD
  AgentSession* session;  // owned; never null in a live instance
  // The text of a reply that Ctrl-C took the place of (owned, or null): it
  // leads the next reply.
  PyObject* carried;
};

// The interpreter's main thread, the one that runs signal handlers.
unsigned long g_main_thread = 0;

AgentSession& session_of(PyObject* self) {
  if (!PyObject_TypeCheck(self, g_core_type)) raise_cast_error(self, "Core");
  auto* core = reinterpret_cast<CoreObject*>(self);
  if (core->session == nullptr) internal_failure("Core object without a session");
  return *core->session;
}

PyObject* none() { return Py_NewRef(Py_None); }

// ---- conversions (the Python layer has checked types and ranges already)

std::string bytes_of(PyObject* obj, const char* what) {
  if (!PyBytes_Check(obj)) raise_cast_error(obj, what);
  return std::string(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
}

std::vector<std::string> bytes_list(PyObject* obj, const char* what) {
  if (!PyList_Check(obj)) raise_cast_error(obj, "list");
  std::vector<std::string> out;
  const Py_ssize_t n = PyList_GET_SIZE(obj);
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    // A list item may be replaced by another thread meanwhile: hold it.
    PyRef item = PyRef::borrow(PyList_GET_ITEM(obj, i));
    out.push_back(bytes_of(item.get(), what));
  }
  return out;
}

std::uint64_t u64_of(PyObject* obj) {
  const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
  return v;
}

std::uint16_t size_of(PyObject* obj) {
  const std::uint64_t v = u64_of(obj);
  if (v == 0 || v > std::numeric_limits<std::uint16_t>::max()) raise(PyExc_ValueError, "a terminal size out of range");
  return static_cast<std::uint16_t>(v);
}

// The screen model would fit any other size into its range and so differ
// from the terminal the program is told of: refused here, whoever calls.
void check_size(std::uint16_t rows, std::uint16_t columns) {
  if (columns < screen::MIN_COLUMNS) raise(PyExc_ValueError, "a terminal needs at least 2 columns");
  if (static_cast<long>(rows) * columns > screen::MAX_CELLS) {
    raise(PyExc_ValueError, "a terminal of more than 1000000 cells (rows x columns)");
  }
}

AgentWait wait_of(PyObject* timeout, PyObject* quiet, PyObject* cap) {
  // None: no quiet ending where the kernel tells whether the program waits.
  std::optional<std::uint64_t> quiet_ms;
  if (quiet != Py_None) quiet_ms = u64_of(quiet);
  return AgentWait{u64_of(timeout), quiet_ms, u64_of(cap), nullptr};
}

// Ctrl-C during a wait on the main thread. The interpreter runs signal
// handlers only there and only with the lock held, which the wait has let
// go: so the wait asks, now and then, taking the lock for a moment, whether
// SIGINT came, and ends as a cancel does when it did. The handler itself
// runs once the wait is over and its locks are free (it may close the
// terminal, or wait on it). No check while the interpreter finalizes: the
// lock is not to be asked for then (allow_threads.h).
class Interrupt {
 public:
  template <class Wait>
  void watch(Wait& wait) {
    if (PyThread_get_thread_ident() != g_main_thread) return;
    PyThreadState* state = PyThreadState_Get();
    wait.interrupted = [this, state] { return check(state); };
  }
  bool hit() const noexcept { return hit_; }

 private:
  bool check(PyThreadState* state) {
    if (interpreter_finalizing()) return false;
    PyEval_RestoreThread(state);
    // Takes the interrupt: it is raised again, and handled, after the wait.
    const bool interrupted = PyOS_InterruptOccurred() != 0;
    (void)PyEval_SaveThread();
    hit_ = hit_ || interrupted;
    return interrupted;
  }
  bool hit_ = false;
};

template <class T>
T unwrap_value(session::Expected<T>&& r) {
  if (!r) raise_session_error(r.error());
  return std::move(r).value();
}

const char* status_name(WaitEnd end) { return session::wait_end_name(end).data(); }

PyRef optional_int(const std::optional<int>& v) {
  return v ? PyRef::checked(PyLong_FromLong(*v)) : PyRef::borrow(Py_None);
}

// (text, status, prompt index or None, queued bytes, exit code or None,
// signal or None, still running, dropped bytes, warning or None, screen or
// None, the shell's command exit code or None, its folder or None); the
// screen the text ends with as (version, rows shown, rows, row, column).
PyObject* reply_tuple(PyRef text, const AgentReply& reply, const session::ExitInfo& exit) {
  PyRef prompt = reply.prompt ? PyRef::checked(PyLong_FromSize_t(*reply.prompt)) : PyRef::borrow(Py_None);
  PyRef code = optional_int(exit.code);
  PyRef signal = optional_int(exit.signal);
  PyRef warning = reply.warning ? PyRef::checked(PyUnicode_DecodeUTF8(reply.warning->data(),
                                                                       static_cast<Py_ssize_t>(reply.warning->size()),
                                                                       "replace"))
                                : PyRef::borrow(Py_None);
  PyRef screen = reply.screen ? PyRef::checked(Py_BuildValue(
                                    "(Knnii)", static_cast<unsigned long long>(reply.screen->version),
                                    static_cast<Py_ssize_t>(reply.screen->shown_rows),
                                    static_cast<Py_ssize_t>(reply.screen->rows), reply.screen->row,
                                    reply.screen->column))
                              : PyRef::borrow(Py_None);
  PyRef command_code = optional_int(reply.command_exit_code);
  // A folder is a file name: bytes the file system gave, as os.fsdecode takes them.
  PyRef cwd = reply.cwd ? PyRef::checked(PyUnicode_DecodeFSDefaultAndSize(reply.cwd->data(),
                                                                          static_cast<Py_ssize_t>(reply.cwd->size())))
                        : PyRef::borrow(Py_None);
  return Py_BuildValue("(OsOnOOOnOOOO)", text.get(), status_name(reply.end), prompt.get(),
                       static_cast<Py_ssize_t>(reply.queued_bytes), code.get(), signal.get(),
                       reply.running ? Py_True : Py_False, static_cast<Py_ssize_t>(reply.dropped_bytes),
                       warning.get(), screen.get(), command_code.get(), cwd.get());
}

// The text of a reply, after what an interrupted one left.
PyRef after_carried(CoreObject& core, PyRef text) {
  if (core.carried == nullptr) return text;
  PyRef joined = PyRef::checked(PyUnicode_Concat(core.carried, text.get()));
  Py_CLEAR(core.carried);
  return joined;
}

// Runs `call` (a wait returning an Expected of an optional reply) with the
// interpreter lock released, and makes the reply's text on the one result
// path of both faces. When Ctrl-C ended the wait and its handler raises
// (KeyboardInterrupt), that exception ends the call and the text is kept
// for the next reply.
// None when the call waited for nothing.
template <class Call>
PyObject* answer(PyObject* self, const Interrupt& interrupt, Call&& call) {
  auto& core = *reinterpret_cast<CoreObject*>(self);
  session::Expected<std::optional<AgentReply>> reply = session::runtime_error("");
  PyRef text = wait_for_text([&] {
    reply = call();
    if (!reply || !reply.value()) return session::ReadOutput();
    return std::move(reply.value()->out);
  });
  // The interrupt the wait took is raised again: handled below, or at the
  // interpreter's next check when the wait failed.
  if (interrupt.hit()) PyErr_SetInterrupt();
  std::optional<AgentReply> got = unwrap_value(std::move(reply));
  if (!got) return none();
  text = after_carried(core, std::move(text));
  if (interrupt.hit() && PyErr_CheckSignals() < 0) {
    Py_XSETREF(core.carried, text.release());
    throw PythonError{};
  }
  return reply_tuple(std::move(text), *got, got->exit);
}

// A wait that always waits, as answer() takes it.
template <class Call>
auto always(Call&& call) {
  return [call = std::forward<Call>(call)]() -> session::Expected<std::optional<AgentReply>> {
    session::Expected<AgentReply> r = call();
    if (!r) return std::move(r).take_error();
    return std::optional<AgentReply>(std::move(r).value());
  };
}

// The class as wrong calls name it.
constexpr const char CLASS_NAME[] = "Core";

// Every parameter is required and positional: the Python layer above is
// the one caller, and passes them all in order.
template <std::size_t N>
void take_args(PyObject* args, const char* function, const char* const (&names)[N], PyObject* (&slots)[N]) {
  parse_tuple_and_dict(Params{CLASS_NAME, function, names, N}, args, nullptr, slots);
}

constexpr const char* WAIT_NAMES[] = {"timeout_ms", "quiet_ms", "max_output_bytes"};
constexpr const char* SEND_NAMES[] = {"data", "timeout_ms", "quiet_ms", "max_output_bytes"};
constexpr const char* WRITE_THEN_WAIT_NAMES[] = {"data", "timeout_ms", "quiet_ms", "max_output_bytes", "discard"};
constexpr const char* CHANGE_NAMES[] = {"since", "timeout_ms", "quiet_ms"};
constexpr const char* RESIZE_NAMES[] = {"rows", "columns"};
constexpr const char* CORE_NAMES[] = {"argv", "executable_fd", "env", "cwd", "rows", "columns",
                                      "prompts", "screen", "record_fd", "path", "marks_nonce"};

// ---- methods

PyObject* core_wait(PyObject* self, PyObject* args) noexcept {
  return guard([&] {
    PyObject* a[3];
    take_args(args, "wait", WAIT_NAMES, a);
    AgentSession& s = session_of(self);
    AgentWait wait = wait_of(a[0], a[1], a[2]);
    Interrupt interrupt;
    interrupt.watch(wait);
    return answer(self, interrupt, always([&] { return s.wait(wait); }));
  });
}

PyObject* core_send(PyObject* self, PyObject* args) noexcept {
  return guard([&] {
    PyObject* a[4];
    take_args(args, "send", SEND_NAMES, a);
    AgentSession& s = session_of(self);
    const std::string input = bytes_of(a[0], "bytes");
    AgentWait wait = wait_of(a[1], a[2], a[3]);
    Interrupt interrupt;
    interrupt.watch(wait);
    return answer(self, interrupt, always([&] { return s.send_and_wait(input, wait); }));
  });
}

PyObject* core_write_then_wait(PyObject* self, PyObject* args) noexcept {
  return guard([&] {
    PyObject* a[5];
    take_args(args, "write_then_wait", WRITE_THEN_WAIT_NAMES, a);
    AgentSession& s = session_of(self);
    const std::string input = bytes_of(a[0], "bytes");
    AgentWait wait = wait_of(a[1], a[2], a[3]);
    const int discard = PyObject_IsTrue(a[4]);
    if (discard < 0) throw PythonError{};
    Interrupt interrupt;
    interrupt.watch(wait);
    return answer(self, interrupt, [&] { return s.write_then_wait_if_free(input, wait, discard != 0); });
  });
}

// (status, version): the output's version when the wait ended.
PyObject* core_wait_for_change(PyObject* self, PyObject* args) noexcept {
  return guard([&] {
    PyObject* a[3];
    take_args(args, "wait_for_change", CHANGE_NAMES, a);
    AgentSession& s = session_of(self);
    session::ChangeWait wait{u64_of(a[0]), u64_of(a[1]), u64_of(a[2]), nullptr};
    Interrupt interrupt;
    interrupt.watch(wait);
    session::Expected<session::ChangeEnd> ended = session::runtime_error("");
    {
      AllowThreads released;
      ended = s.wait_for_change(wait);
    }
    // Ctrl-C ended it: the handler runs now, as after any other wait.
    if (interrupt.hit()) {
      PyErr_SetInterrupt();
      if (PyErr_CheckSignals() < 0) throw PythonError{};
    }
    const session::ChangeEnd end = unwrap_value(std::move(ended));
    return Py_BuildValue("(sK)", status_name(end.end), static_cast<unsigned long long>(end.version));
  });
}

PyObject* core_write(PyObject* self, PyObject* data) noexcept {
  return guard([&] {
    AgentSession& s = session_of(self);
    const std::string input = bytes_of(data, "bytes");
    session::Expected<void> written;
    {
      AllowThreads released;
      written = s.write(input);
    }
    unwrap(std::move(written));
    return none();
  });
}

PyObject* core_encode_keys(PyObject* self, PyObject* keys) noexcept {
  return guard([&] {
    AgentSession& s = session_of(self);
    const std::string bytes = unwrap_value(s.encode_keys(bytes_list(keys, "bytes")));
    return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
  });
}

PyObject* core_encode_paste(PyObject* self, PyObject* text) noexcept {
  return guard([&] {
    AgentSession& s = session_of(self);
    const std::string bytes = s.encode_paste(bytes_of(text, "bytes"));
    return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
  });
}

PyObject* core_cancel(PyObject* self, PyObject*) noexcept {
  return guard([&] {
    session_of(self).cancel();
    return none();
  });
}

PyObject* core_resize(PyObject* self, PyObject* args) noexcept {
  return guard([&] {
    PyObject* a[2];
    take_args(args, "resize", RESIZE_NAMES, a);
    AgentSession& s = session_of(self);
    const std::uint16_t rows = size_of(a[0]);
    const std::uint16_t columns = size_of(a[1]);
    check_size(rows, columns);
    session::Expected<void> done;
    {
      AllowThreads released;
      done = s.resize(rows, columns);
    }
    unwrap(std::move(done));
    return none();
  });
}

// (ended, exit code or None, signal or None): ended with neither when
// another party collected the program.
PyObject* core_exit_status(PyObject* self, PyObject*) noexcept {
  return guard([&] {
    AgentSession& s = session_of(self);
    session::ExitInfo info;
    {
      AllowThreads released;
      info = s.exit_info();
    }
    PyRef code = optional_int(info.code);
    PyRef signal = optional_int(info.signal);
    return PyTuple_Pack(3, info.ended ? Py_True : Py_False, code.get(), signal.get());
  });
}

PyObject* core_pid(PyObject* self, PyObject*) noexcept {
  return guard([&] { return PyLong_FromLong(session_of(self).pid()); });
}

PyObject* core_version(PyObject* self, PyObject*) noexcept {
  return guard([&] { return PyLong_FromUnsignedLongLong(session_of(self).output_version()); });
}

PyObject* core_closed(PyObject* self, PyObject*) noexcept {
  return guard([&] { return Py_NewRef(session_of(self).closed() ? Py_True : Py_False); });
}

PyRef str_of_utf8(const std::string& text) {
  return PyRef::checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

PyObject* core_history(PyObject* self, PyObject*) noexcept {
  return guard([&] {
    AgentSession& s = session_of(self);
    std::string text;
    {
      AllowThreads released;
      text = s.history_text();
    }
    return str_of_utf8(text).release();
  });
}

// (lines, (row, column), alternate, version), or None without a screen model.
PyObject* core_screen(PyObject* self, PyObject*) noexcept {
  return guard([&]() -> PyObject* {
    AgentSession& s = session_of(self);
    std::optional<session::ScreenShot> shot;
    {
      // Feeding the model what it has not read yet may take a while.
      AllowThreads released;
      shot = s.screen();
    }
    if (!shot) return none();
    PyRef lines = PyRef::checked(PyList_New(static_cast<Py_ssize_t>(shot->lines.size())));
    for (std::size_t i = 0; i < shot->lines.size(); ++i) {
      PyList_SET_ITEM(lines.get(), static_cast<Py_ssize_t>(i), str_of_utf8(shot->lines[i]).release());
    }
    return Py_BuildValue("(O(ii)OK)", lines.get(), shot->row, shot->column, shot->alternate ? Py_True : Py_False,
                         static_cast<unsigned long long>(shot->version));
  });
}

PyObject* core_close(PyObject* self, PyObject*) noexcept {
  return guard([&] {
    AgentSession& s = session_of(self);
    {
      AllowThreads released;
      s.close();
    }
    return none();
  });
}

PyMethodDef METHODS[] = {
    {"wait", core_wait, METH_VARARGS, "wait(timeout_ms, quiet_ms, max_output_bytes)"},
    {"send", core_send, METH_VARARGS, "send(data, timeout_ms, quiet_ms, max_output_bytes)"},
    {"write_then_wait", core_write_then_wait, METH_VARARGS,
     "write_then_wait(data, timeout_ms, quiet_ms, max_output_bytes, discard): None when another wait runs"},
    {"wait_for_change", core_wait_for_change, METH_VARARGS,
     "wait_for_change(since, timeout_ms, quiet_ms) -> (status, version)"},
    {"write", core_write, METH_O, "write(data)"},
    {"encode_keys", core_encode_keys, METH_O, "encode_keys(list of UTF-8 key words) -> bytes"},
    {"encode_paste", core_encode_paste, METH_O, "encode_paste(text) -> bytes, bracketed if the program asked"},
    {"cancel", core_cancel, METH_NOARGS, "cancel()"},
    {"resize", core_resize, METH_VARARGS, "resize(rows, columns)"},
    {"exit_status", core_exit_status, METH_NOARGS, "exit_status() -> (ended, code, signal)"},
    {"pid", core_pid, METH_NOARGS, "pid()"},
    {"closed", core_closed, METH_NOARGS, "closed()"},
    {"version", core_version, METH_NOARGS, "version() -> the output's version"},
    {"history", core_history, METH_NOARGS, "history()"},
    {"screen", core_screen, METH_NOARGS, "screen() -> (lines, (row, column), alternate, version) or None"},
    {"close", core_close, METH_NOARGS, "close()"},
    {nullptr, nullptr, 0, nullptr},
};

// ---- construction and deallocation

// Core(argv, executable_fd, env or None, cwd or None, rows, columns, prompts,
//      screen, record_fd or -1, path or None, marks_nonce)
PyObject* core_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&]() -> PyObject* {
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) raise(PyExc_TypeError, "Core() takes no keywords");
    PyObject* a[11];
    take_args(args, "__new__", CORE_NAMES, a);
    session::AgentStart start;
    start.argv = bytes_list(a[0], "bytes");
    const long fd = PyLong_AsLong(a[1]);
    if (fd == -1 && PyErr_Occurred()) throw PythonError{};
    if (a[2] != Py_None) start.env = bytes_list(a[2], "bytes");
    if (a[3] != Py_None) start.cwd = bytes_of(a[3], "bytes");
    start.rows = size_of(a[4]);
    start.columns = size_of(a[5]);
    check_size(start.rows, start.columns);
    start.prompts = bytes_list(a[6], "bytes");
    const int keep_screen = PyObject_IsTrue(a[7]);
    if (keep_screen < 0) throw PythonError{};
    start.screen = keep_screen != 0;
    const long record = PyLong_AsLong(a[8]);
    if (record == -1 && PyErr_Occurred()) throw PythonError{};
    if (a[9] != Py_None) start.path = bytes_of(a[9], "bytes");
    start.marks_nonce = bytes_of(a[10], "bytes");
    if (start.argv.empty()) raise(PyExc_ValueError, "argv names no program");
    if (record >= 0) {
      // Our own copy, as for the program's descriptor.
      start.record = UniqueFd(::fcntl(static_cast<int>(record), F_DUPFD_CLOEXEC, 3));
      if (!start.record.valid()) {
        PyErr_SetFromErrno(PyExc_OSError);
        throw PythonError{};
      }
    }
    // Our own copy, so the caller's descriptor stays the caller's.
    start.executable = UniqueFd(fd < 0 ? -1 : ::fcntl(static_cast<int>(fd), F_DUPFD_CLOEXEC, 3));
    if (!start.executable.valid()) {
      errno = fd < 0 ? EBADF : errno;
      PyErr_SetFromErrno(PyExc_OSError);
      throw PythonError{};
    }
    session::Expected<std::unique_ptr<AgentSession>> started = session::runtime_error("");
    {
      AllowThreads released;
      started = AgentSession::start(std::move(start));
    }
    std::unique_ptr<AgentSession> s = unwrap_value(std::move(started));
    allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
    PyObject* self = alloc(type, 0);
    if (self == nullptr) {
      AllowThreads released;
      s.reset();  // stops the program
      throw PythonError{};
    }
    reinterpret_cast<CoreObject*>(self)->session = s.release();
    reinterpret_cast<CoreObject*>(self)->carried = nullptr;
    return self;
  });
}

void core_dealloc(PyObject* self) noexcept {
  PyObject* pending = PyErr_GetRaisedException();
  auto* core = reinterpret_cast<CoreObject*>(self);
  std::unique_ptr<AgentSession> s(std::exchange(core->session, nullptr));
  try {
    if (s) {
      // The stop may take a second for a program that ignores every
      // signal; nobody else waits for it meanwhile. While the interpreter
      // shuts down, a thread that lets the lock go may never get it back.
      if (interpreter_finalizing()) {
        s.reset();
      } else {
        AllowThreads released;
        s.reset();
      }
    }
  } catch (...) {
    set_error_from_current_exception();
    report_unraisable();
  }
  if (set_deferred_panic()) report_unraisable();
  Py_CLEAR(core->carried);
  free_instance(self);
  PyErr_SetRaisedException(pending);
}

constexpr const char TYPE_DOC[] =
    "Core(argv, executable_fd, env, cwd, rows, columns, prompts, screen, record_fd, path, marks_nonce, /)\n--\n\n"
    "The native core of one agent terminal; use morvik_agent.Terminal.";

}  // namespace

PyTypeObject* core_type() {
  if (g_core_type != nullptr) return g_core_type;
  {
    PyRef threading = PyRef::checked(PyImport_ImportModule("threading"));
    PyRef main = PyRef::checked(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    PyRef ident = PyRef::checked(PyObject_GetAttrString(main.get(), "ident"));
    g_main_thread = PyLong_AsUnsignedLong(ident.get());
    if (PyErr_Occurred()) throw PythonError{};
  }
  return heap_type(g_core_type, {"morvik_agent._terminal.Core", static_cast<int>(sizeof(CoreObject)), TYPE_DOC,
                                 core_new, core_dealloc, METHODS});
}

}  // namespace morvik::ext
