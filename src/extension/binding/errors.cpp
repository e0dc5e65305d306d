// Raising Python exceptions from C++ and turning C++ exceptions into Python
// errors at the boundary. Owns the PanicException class. Must never let a C++
// exception through and never call into the interpreter without its lock.
#include "errors.h"

#include <cxxabi.h>

#include <new>

#include "allow_threads.h"

#include "base/kept_texts.h"

namespace morvik::ext {

namespace {

constexpr const char PANIC_EXCEPTION_DOC[] =
    "Raised when native code called from Python fails fatally.\n\n"
    "It derives from BaseException, like SystemExit, for that reason: an "
    "ordinary `except Exception` handler does not catch it, and left alone it "
    "ends the program.";
constexpr const char UNKNOWN_FAILURE_TEXT[] = "morvik: unknown C++ exception at the Python boundary";

// Created once with the interpreter lock held and never released: a class
// that went away while an old exception instance still pointed at it would
// leave that instance with a dangling type.
PyObject* g_panic_type = nullptr;

// Error texts come from the session and the operating system and are UTF-8;
// "replace" keeps a damaged one readable instead of raising a second error.
PyObject* text_object(std::string_view text) noexcept {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

}  // namespace

[[noreturn]] void raise(PyObject* type, std::string_view message) {
  PyRef text = PyRef::steal(text_object(message));
  if (text) PyErr_SetObject(type, text.get());
  throw PythonError{};
}

[[noreturn]] void raise_cast_error(PyObject* obj, const char* target) {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!name) {
    PyErr_Clear();
    name = PyRef::checked(PyUnicode_FromString(kept::UNKNOWN_TYPE_NAME));
  }
  PyRef message =
      PyRef::checked(PyUnicode_FromFormat(kept::CAST_FAILED_FORMAT, name.get(), target));
  PyErr_SetObject(PyExc_TypeError, message.get());
  throw PythonError{};
}

[[noreturn]] void raise_session_error(const session::Error& error) {
  switch (error.kind) {
    case session::ErrorKind::Exception:
      raise(PyExc_Exception, error.message);
    case session::ErrorKind::RuntimeError:
      raise(PyExc_RuntimeError, error.message);
    case session::ErrorKind::ValueError:
      raise(PyExc_ValueError, error.message);
    case session::ErrorKind::OSError: {
      PyRef text = PyRef::steal(text_object(error.message));
      if (text) {
        PyRef exception = PyRef::steal(PyObject_CallFunction(PyExc_OSError, "iO", error.errnum, text.get()));
        if (exception) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
      }
      throw PythonError{};
    }
  }
  internal_failure("session error of unknown kind: " + error.message);
}

PyObject* panic_exception_type() noexcept {
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc(PANIC_EXCEPTION_NAME, PANIC_EXCEPTION_DOC,
                                             PyExc_BaseException, nullptr);
  }
  return g_panic_type;
}

void set_panic(std::string_view message) noexcept {
  PyObject* previous = PyErr_GetRaisedException();
  PyObject* type = panic_exception_type();
  PyObject* text = type ? text_object(message) : nullptr;
  if (text == nullptr) {
    // The class or the text could not be made; that error is what the
    // caller gets.
    Py_XDECREF(previous);
    return;
  }
  PyErr_SetObject(type, text);
  Py_DECREF(text);
  if (previous != nullptr) {
    PyObject* panic = PyErr_GetRaisedException();
    PyException_SetContext(panic, previous);  // steals `previous`
    PyErr_SetRaisedException(panic);
  }
}

void ensure_error_set() noexcept {
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, kept::NO_ERROR_SET);
}

// A forced unwind carries no exception object, so the handler's reference
// binds to null by design; the null check of UBSan would call that a fault.
__attribute__((no_sanitize("null"))) void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (abi::__forced_unwind&) {
    // The interpreter is ending this thread from inside Python code we
    // called (it came back for the lock during exit). Going on would run
    // our code without the lock; rethrown, it would meet a noexcept frame
    // and abort the process. Parked, the thread simply never returns.
    park_thread_for_good();
  } catch (const PythonError&) {
    ensure_error_set();
  } catch (const InternalFailure& failure) {
    set_panic(failure.message());
  } catch (const std::exception& e) {
    set_panic(e.what());
  } catch (...) {
    set_panic(UNKNOWN_FAILURE_TEXT);
  }
}

bool set_deferred_panic() noexcept {
  std::optional<std::string> fault = take_deferred_internal_failure();
  if (!fault) return false;
  set_panic(*fault);
  return true;
}

void report_unraisable() noexcept {
  if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
}

}  // namespace morvik::ext
