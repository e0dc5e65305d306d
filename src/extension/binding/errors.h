// How failures cross the boundary between C++ and the interpreter: raising
// Python exceptions from C++ code, the PanicException class for faults that
// are the module's own, and `guard`, the one place where a C++ exception
// becomes a Python error. No C++ exception may ever unwind into the
// interpreter: every C API entry point of either module is a noexcept
// trampoline whose body runs inside `guard`. Built once and linked into
// both modules; each module names its own PanicException
// (PANIC_EXCEPTION_NAME, defined beside its entry point).
#pragma once

#include "py_ref.h"

#include <exception>
#include <string>
#include <string_view>

#include "base/internal_failure.h"
#include "session/expected.h"

namespace morvik::ext {

// Sets `type` with `message` (UTF-8) as the current error and throws
// PythonError.
[[noreturn]] void raise(PyObject* type, std::string_view message);

// The TypeError of a failed conversion: "'int' object cannot be cast as
// 'str'". `target` is the name of the type the object should have been.
[[noreturn]] void raise_cast_error(PyObject* obj, const char* target);

// Raises the exception a session operation named (OSError with its error
// number, which the interpreter turns into the matching subclass).
[[noreturn]] void raise_session_error(const session::Error& error);

// Unwraps a session result or raises the error it carries.
template <class T>
T unwrap(session::Expected<T>&& result) {
  if (!result) raise_session_error(result.error());
  return std::move(result).value();
}
inline void unwrap(session::Expected<void>&& result) {
  if (!result) raise_session_error(result.error());
}

// The qualified name of the module's PanicException ("morvik.PanicException"
// for the morvik module); each module defines it.
extern const char PANIC_EXCEPTION_NAME[];

// The PanicException class, created on first use and kept for the life of
// the process. Returns NULL with an error set only if it cannot be created.
PyObject* panic_exception_type() noexcept;

// Ends the current call with PanicException(message). If another error is
// already set it becomes the panic's __context__, so nothing is lost.
void set_panic(std::string_view message) noexcept;

// Turns whatever C++ exception is in flight into the matching Python error.
// Call only from a catch block. The forced unwind of a thread the
// interpreter ends during exit is never caught and carried on from: that
// thread is parked for good instead (allow_threads.h).
void set_error_from_current_exception() noexcept;

// Collects a fault that a destructor parked during the call (see
// internal_failure.h) and, if there was one, sets it as PanicException.
// Returns true when it did.
bool set_deferred_panic() noexcept;

// A C API call that failed without saying why still has to end the call
// with some exception: SystemError, as the interpreter itself would.
void ensure_error_set() noexcept;

// During deallocation nothing can be raised: reports the current error, if
// any, through the interpreter's unraisable-exception hook.
void report_unraisable() noexcept;

// Runs `body` (which returns an owned PyObject* or NULL with an error set,
// or throws) so that nothing C++ escapes: a PythonError means the Python
// error is already set, an InternalFailure or any other C++ exception
// becomes PanicException. A fault parked by a destructor during the call
// also ends the call with PanicException, even after a successful body.
template <class Body>
PyObject* guard(Body&& body) noexcept {
  PyObject* result = nullptr;
  try {
    result = body();
  } catch (...) {
    set_error_from_current_exception();
    result = nullptr;
  }
  if (result == nullptr) ensure_error_set();
  if (set_deferred_panic()) {
    Py_XDECREF(result);
    return nullptr;
  }
  return result;
}

}  // namespace morvik::ext
