// Matching a call's arguments to a callable's parameters: the one parsing
// path of both modules' types. Runs with the interpreter lock held, reports
// failure by setting a Python error and throwing PythonError, and only
// borrows the caller's objects.
#pragma once

#include "py_ref.h"

#include <cstddef>
#include <span>

namespace morvik::ext {

// One callable of a type: the type's name and its own as error messages
// show them ("Morvik.read_available()"), its parameters in order (every one
// may be given by position or by keyword) and how many leading ones are
// required.
struct Params {
  const char* owner;
  const char* function;
  std::span<const char* const> names;
  std::size_t required;
};

// Fills `slots` (one per parameter) with borrowed references to the
// arguments, or NULL where nothing was given. Raises the parser's TypeError.
// `kwargs` may be NULL.
void parse_fastcall(const Params& params, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots);
void parse_tuple_and_dict(const Params& params, PyObject* args, PyObject* kwargs,
                          PyObject** slots);

}  // namespace morvik::ext
