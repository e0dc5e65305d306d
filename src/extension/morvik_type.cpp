// The Morvik type: constructor, deallocation and the eleven methods, each
// going through the same steps (match arguments, check the instance, check
// the owner thread, take access, convert, run the session, convert the
// result, release access). Owns where the interpreter lock is released:
// around the waits of read_until_ready and send_and_read_until_ready and
// around the stop of the program (close, reset, deallocation), and never
// while a Python object is created, copied or destroyed. Must never let
// a C++ exception reach the interpreter, and never touch a session from a
// thread other than the one that made it.
#include "morvik_type.h"

#include <new>
#include <string>
#include <utility>

#include "args.h"
#include "base/kept_texts.h"
#include "extension/binding/allow_threads.h"
#include "extension/binding/errors.h"
#include "extension/binding/output_text.h"
#include "extension/binding/heap_type.h"

namespace morvik::ext {

namespace {

using session::Session;

constexpr const char QUALIFIED_TYPE_NAME[] = "morvik::Morvik";

PyTypeObject* g_type = nullptr;

MorvikObject& as_morvik(PyObject* self) { return *reinterpret_cast<MorvikObject*>(self); }

Session& session_of(MorvikObject& self) {
  if (!self.session) internal_failure("Morvik object without a session record");
  return *self.session;
}

PyObject* none() { return Py_NewRef(Py_None); }
PyObject* boolean(bool value) { return Py_NewRef(value ? Py_True : Py_False); }

// A session is not safe to share: its reader thread and child belong to the
// thread that made it, and the session code relies on being entered by one
// thread at a time. Refused before anything of the session is touched.
void check_owner(const MorvikObject& self) {
  const ThreadNumber caller = current_thread_number();
  if (caller == self.owner_thread) return;
  internal_failure(kept::sent_to_other_thread(QUALIFIED_TYPE_NAME, caller, self.owner_thread));
}

enum class Access { Shared, Exclusive };

// Steps 2 to 8 of every method; step 1 (matching arguments) is the caller's,
// so that a wrong call is reported before anything else is looked at.
template <Access access, class Body>
PyObject* with_access(PyObject* self, Body&& body) {
  if (!PyObject_TypeCheck(self, g_type)) raise_cast_error(self, "Morvik");
  MorvikObject& morvik = as_morvik(self);
  check_owner(morvik);
  if constexpr (access == Access::Shared) {
    SharedAccess held(morvik.borrow_flag);
    return body(morvik);
  } else {
    ExclusiveAccess held(morvik.borrow_flag);
    return body(morvik);
  }
}

// ---- parameter descriptions

constexpr const char* CONSTRUCTOR_NAMES[] = {"command", "interactive", "ready_markers"};
constexpr const char* SET_READY_MARKERS_NAMES[] = {"ready_markers"};
constexpr const char* READ_UNTIL_READY_NAMES[] = {"timeout_ms", "max_output_bytes", "settle_ms",
                                                  "quiet_ms"};
constexpr const char* SEND_AND_READ_NAMES[] = {"input", "timeout_ms", "max_output_bytes",
                                               "settle_ms", "quiet_ms"};
constexpr const char* READ_AVAILABLE_NAMES[] = {"max_bytes"};

// The class as wrong calls name it.
constexpr const char CLASS_NAME[] = "Morvik";
const Params CONSTRUCTOR{CLASS_NAME, "__new__", CONSTRUCTOR_NAMES, 2};
const Params SET_READY_MARKERS{CLASS_NAME, "set_ready_markers", SET_READY_MARKERS_NAMES, 1};
const Params READ_UNTIL_READY{CLASS_NAME, "read_until_ready", READ_UNTIL_READY_NAMES, 0};
const Params SEND_AND_READ{CLASS_NAME, "send_and_read_until_ready", SEND_AND_READ_NAMES, 1};
const Params READ_AVAILABLE{CLASS_NAME, "read_available", READ_AVAILABLE_NAMES, 0};

// The four wait parameters, converted in parameter order from `slots`.
session::WaitArgs wait_args(PyObject* const* slots) {
  session::WaitArgs wait;
  wait.timeout_ms = to_optional_u64(slots[0], "timeout_ms");
  wait.max_output_bytes = to_optional_u64(slots[1], "max_output_bytes");
  wait.settle_ms = to_optional_u64(slots[2], "settle_ms");
  wait.quiet_ms = to_optional_u64(slots[3], "quiet_ms");
  return wait;
}

// A read that found nothing because the reader gave up says why.
PyObject* read_result(Session& session, PyRef text) {
  if (PyUnicode_GET_LENGTH(text.get()) == 0) unwrap(session.reader_health());
  return text.release();
}

// The wait and the cleaning run with the interpreter lock released (see
// output_text.h for how a large result is cleaned into its str).
PyObject* wait_until_ready(Session& session, const session::WaitArgs& wait) {
  return read_result(session, wait_for_text([&] { return session.read_until_ready(wait); }));
}

// ---- methods

PyObject* set_ready_markers(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  return guard([&] {
    PyObject* slots[1];
    parse_fastcall(SET_READY_MARKERS, args, nargs, kwnames, slots);
    return with_access<Access::Shared>(self, [&](MorvikObject& morvik) {
      std::vector<std::string> markers = to_text_list(slots[0], "ready_markers");
      session_of(morvik).set_ready_markers(std::move(markers));
      return none();
    });
  });
}

PyObject* read_until_ready(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
  return guard([&] {
    PyObject* slots[4];
    parse_fastcall(READ_UNTIL_READY, args, nargs, kwnames, slots);
    return with_access<Access::Shared>(self, [&](MorvikObject& morvik) {
      const session::WaitArgs wait = wait_args(slots);
      return wait_until_ready(session_of(morvik), wait);
    });
  });
}

PyObject* send_and_read_until_ready(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept {
  return guard([&] {
    PyObject* slots[5];
    parse_fastcall(SEND_AND_READ, args, nargs, kwnames, slots);
    return with_access<Access::Exclusive>(self, [&](MorvikObject& morvik) {
      const std::string_view input = to_text(slots[0], "input");
      const session::WaitArgs wait = wait_args(slots + 1);
      Session& session = session_of(morvik);
      // Written with the interpreter lock held: only the wait releases it.
      unwrap(session.send_line(input));
      // Taken once the input is out, while the program is still being woken
      // for it: the answer is rarely there before, and the reader that
      // would take it instead is asleep.
      const Session::WaitTurn turn(session);
      return wait_until_ready(session, wait);
    });
  });
}

PyObject* read_available(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return guard([&] {
    PyObject* slots[1];
    parse_fastcall(READ_AVAILABLE, args, nargs, kwnames, slots);
    return with_access<Access::Shared>(self, [&](MorvikObject& morvik) {
      const std::optional<std::uint64_t> max_bytes = to_optional_u64(slots[0], "max_bytes");
      Session& session = session_of(morvik);
      return read_result(session, text_from_raw(session.read_available(max_bytes).view()));
    });
  });
}

PyObject* send_ctrl_c(PyObject* self, PyObject*) noexcept {
  return guard([&] {
    return with_access<Access::Exclusive>(self, [&](MorvikObject& morvik) {
      unwrap(session_of(morvik).send_ctrl_c());
      return none();
    });
  });
}

PyObject* get_history(PyObject* self, PyObject*) noexcept {
  return guard([&] {
    return with_access<Access::Shared>(self, [&](MorvikObject& morvik) {
      return text_from_raw(session_of(morvik).history_contents()).release();
    });
  });
}

PyObject* is_alive(PyObject* self, PyObject*) noexcept {
  return guard([&] {
    return with_access<Access::Shared>(self, [&](MorvikObject& morvik) {
      return boolean(unwrap(session_of(morvik).is_alive()));
    });
  });
}

PyObject* is_interactive(PyObject* self, PyObject*) noexcept {
  return guard([&] {
    return with_access<Access::Shared>(self, [&](MorvikObject& morvik) {
      return boolean(session_of(morvik).is_interactive());
    });
  });
}

PyObject* get_initial_command(PyObject* self, PyObject*) noexcept {
  return guard([&] {
    return with_access<Access::Shared>(self, [&](MorvikObject& morvik) {
      return text_result(session_of(morvik).get_initial_command());
    });
  });
}

// The stop of a program waits for it (up to about half a second for one
// that ignores the polite signals, longer for a background job holding the
// terminal): never with the interpreter lock held. Exclusive access keeps
// every other call off the object meanwhile.
PyObject* close(PyObject* self, PyObject*) noexcept {
  return guard([&] {
    return with_access<Access::Exclusive>(self, [&](MorvikObject& morvik) {
      Session& session = session_of(morvik);
      {
        AllowThreads released;
        session.close_inner();
      }
      return none();
    });
  });
}

PyObject* reset(PyObject* self, PyObject*) noexcept {
  return guard([&] {
    return with_access<Access::Exclusive>(self, [&](MorvikObject& morvik) {
      session_of(morvik);  // a record to restart must exist
      session::Expected<void> restarted;
      {
        AllowThreads released;
        restarted = Session::reset(morvik.session);
      }
      unwrap(std::move(restarted));
      return none();
    });
  });
}

template <class Method>
PyCFunction c_function(Method method) {
  // The method table stores every convention under one pointer type; the
  // flags tell the interpreter the real one. The detour through void(*)()
  // is the sanctioned way to say so without a cast warning.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

PyMethodDef METHODS[] = {
    {"set_ready_markers", c_function(set_ready_markers), METH_FASTCALL | METH_KEYWORDS,
     "set_ready_markers($self, ready_markers)\n--\n\n"},
    {"read_until_ready", c_function(read_until_ready), METH_FASTCALL | METH_KEYWORDS,
     "read_until_ready($self, timeout_ms=None, max_output_bytes=None, settle_ms=None, "
     "quiet_ms=None)\n--\n\nRead until ready marker appears (interactive=true) OR until output "
     "goes quiet (interactive=false)."},
    {"send_and_read_until_ready", c_function(send_and_read_until_ready),
     METH_FASTCALL | METH_KEYWORDS,
     "send_and_read_until_ready($self, input, timeout_ms=None, max_output_bytes=None, "
     "settle_ms=None, quiet_ms=None)\n--\n\nSend input and read until ready marker returns "
     "(interactive=true) OR until output goes quiet (interactive=false)."},
    {"read_available", c_function(read_available), METH_FASTCALL | METH_KEYWORDS,
     "read_available($self, max_bytes=None)\n--\n\nNon-blocking read of buffered output."},
    {"send_ctrl_c", c_function(send_ctrl_c), METH_NOARGS, "send_ctrl_c($self)\n--\n\n"},
    {"get_history", c_function(get_history), METH_NOARGS, "get_history($self)\n--\n\n"},
    {"is_alive", c_function(is_alive), METH_NOARGS, "is_alive($self)\n--\n\n"},
    {"is_interactive", c_function(is_interactive), METH_NOARGS, "is_interactive($self)\n--\n\n"},
    {"get_initial_command", c_function(get_initial_command), METH_NOARGS,
     "get_initial_command($self)\n--\n\n"},
    {"close", c_function(close), METH_NOARGS, "close($self)\n--\n\n"},
    {"reset", c_function(reset), METH_NOARGS, "reset($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// ---- construction and deallocation

PyObject* morvik_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guard([&]() -> PyObject* {
    PyObject* slots[3];
    parse_tuple_and_dict(CONSTRUCTOR, args, kwargs, slots);
    // A dictionary handed straight through from the caller can be changed by
    // the Python code a conversion runs (an __iter__, a __bool__); our own
    // references keep the arguments alive whatever happens to it.
    PyRef kept[3];
    for (int i = 0; i < 3; ++i) kept[i] = PyRef::borrow(slots[i]);

    // Everything is converted before anything is started, so a bad argument
    // never leaves a child behind.
    std::string command(to_text(slots[0], "command"));
    const bool interactive = to_bool(slots[1], "interactive");
    std::optional<std::vector<std::string>> markers =
        to_optional_text_list(slots[2], "ready_markers");

    std::unique_ptr<Session> session =
        unwrap(Session::spawn(std::move(command), interactive, session::HISTORY_LIMIT));
    session->set_ready_markers(markers ? std::move(*markers) : session::default_ready_markers());

    allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
    PyObject* self = alloc(type, 0);
    // On failure `session` goes out of scope here, which stops the child.
    if (self == nullptr) throw PythonError{};
    MorvikObject& morvik = as_morvik(self);
    new (&morvik.session) std::unique_ptr<Session>(std::move(session));
    new (&morvik.borrow_flag) BorrowFlag(0);
    morvik.owner_thread = current_thread_number();
    return self;
  });
}

void morvik_dealloc(PyObject* self) noexcept {
  // Deallocation can happen while an exception is propagating; whatever is
  // reported here must not replace it.
  PyObject* pending = PyErr_GetRaisedException();
  MorvikObject& morvik = as_morvik(self);

  if (current_thread_number() != morvik.owner_thread) {
    // Stopping the child from here would run the session on a thread it does
    // not belong to. Leaking it is the lesser harm: the child, its reader
    // thread and its descriptors stay as they are.
    (void)morvik.session.release();
    PyErr_SetString(PyExc_RuntimeError, kept::dropped_on_other_thread(QUALIFIED_TYPE_NAME).c_str());
    report_unraisable();
  } else {
    try {
      // As close does, without the lock; but while the interpreter
      // finalizes, the lock is kept (it would hand it to threads that
      // are about to be ended).
      if (morvik.session && !interpreter_finalizing()) {
        AllowThreads released;
        morvik.session.reset();
      } else {
        morvik.session.reset();
      }
    } catch (...) {
      set_error_from_current_exception();
      report_unraisable();
    }
    if (set_deferred_panic()) report_unraisable();
  }
  morvik.session.~unique_ptr();
  morvik.borrow_flag.~BorrowFlag();

  free_instance(self);
  PyErr_SetRaisedException(pending);
}

constexpr const char TYPE_DOC[] = "Morvik(command, interactive, ready_markers=None)\n--\n\n";

}  // namespace

PyTypeObject* morvik_type() {
  return heap_type(g_type, {"builtins.Morvik", static_cast<int>(sizeof(MorvikObject)), TYPE_DOC, morvik_new,
                            morvik_dealloc, METHODS});
}

}  // namespace morvik::ext
