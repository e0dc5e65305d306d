// The Morvik class: its instance layout and its type object. The type is
// created once per process, on first need, and never released.
#pragma once

#include "extension/binding/py_ref.h"

#include <memory>

#include "borrow.h"
#include "session/session.h"
#include "thread_id.h"

namespace morvik::ext {

// Instances are allocated by the interpreter as raw zeroed memory; the
// constructor builds the C++ fields in place and the deallocation destroys
// them, so the layout stays a plain object header followed by three fields.
struct MorvikObject {
  PyObject_HEAD
  std::unique_ptr<session::Session> session;  // never empty in a live instance
  BorrowFlag borrow_flag;
  ThreadNumber owner_thread;
};

// Returns the Morvik type (a borrowed reference: the module keeps it for
// good), creating it on the first call. Throws PythonError if it cannot be
// created; a later call tries again.
PyTypeObject* morvik_type();

}  // namespace morvik::ext
