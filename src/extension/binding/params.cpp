// Matching a call's arguments to parameters, for the types of both modules:
// the exact TypeError texts of a wrong call (Python's own wording, with the
// owner's name). Must never convert, keep or release a reference: it only
// borrows the caller's objects into slots, with the interpreter lock held.
#include "params.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "errors.h"

namespace morvik::ext {

namespace {

std::string full_name(const Params& params) {
  return std::string(params.owner) + "." + params.function + "()";
}

[[noreturn]] void raise_type_error(const std::string& message) {
  raise(PyExc_TypeError, message);
}

[[noreturn]] void raise_too_many_positional(const Params& params, std::size_t given) {
  const std::size_t n = params.names.size();
  std::string message = full_name(params) + " takes ";
  if (params.required == n) {
    message += std::to_string(n);
  } else {
    message += "from " + std::to_string(params.required) + " to " + std::to_string(n);
  }
  message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
             " given";
  raise_type_error(message);
}

// The key is shown as str() renders it, which also works for a key that
// cannot be encoded as UTF-8 (a lone surrogate) or is not a str at all.
[[noreturn]] void raise_unexpected_keyword(const Params& params, PyObject* key) {
  PyRef shown = PyRef::checked(PyObject_Str(key));
  PyRef message = PyRef::checked(PyUnicode_FromFormat(
      "%s got an unexpected keyword argument '%U'", full_name(params).c_str(), shown.get()));
  PyErr_SetObject(PyExc_TypeError, message.get());
  throw PythonError{};
}

[[noreturn]] void raise_multiple_values(const Params& params, std::size_t index) {
  raise_type_error(full_name(params) + " got multiple values for argument '" +
                   params.names[index] + "'");
}

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
[[noreturn]] void raise_missing(const Params& params, PyObject* const* slots) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < params.required; ++i) {
    if (slots[i] == nullptr) missing.push_back(params.names[i]);
  }
  std::string list;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) {
      if (missing.size() == 2) {
        list += " and ";
      } else {
        list += (i + 1 == missing.size()) ? ", and " : ", ";
      }
    }
    list += "'";
    list += missing[i];
    list += "'";
  }
  raise_type_error(full_name(params) + " missing " + std::to_string(missing.size()) +
                   " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                   ": " + list);
}

// Steps shared by both call forms once positional arguments are in place.
void place_keyword(const Params& params, PyObject* key, PyObject* value, PyObject** slots) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    raise_unexpected_keyword(params, key);
  }
  for (std::size_t i = 0; i < params.names.size(); ++i) {
    const char* name = params.names[i];
    if (std::strlen(name) == static_cast<std::size_t>(size) && std::memcmp(name, utf8, size) == 0) {
      if (slots[i] != nullptr) raise_multiple_values(params, i);
      slots[i] = value;
      return;
    }
  }
  raise_unexpected_keyword(params, key);
}

void place_positional(const Params& params, PyObject* const* args, std::size_t given,
                      PyObject** slots) {
  const std::size_t n = params.names.size();
  std::fill(slots, slots + n, nullptr);
  std::copy(args, args + std::min(given, n), slots);
  if (given > n) raise_too_many_positional(params, given);
}

void check_required(const Params& params, PyObject* const* slots) {
  for (std::size_t i = 0; i < params.required; ++i) {
    if (slots[i] == nullptr) raise_missing(params, slots);
  }
}

}  // namespace

void parse_fastcall(const Params& params, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** slots) {
  const Py_ssize_t given = PyVectorcall_NARGS(static_cast<std::size_t>(nargs));
  place_positional(params, args, static_cast<std::size_t>(given), slots);
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      place_keyword(params, PyTuple_GET_ITEM(kwnames, i), args[given + i], slots);
    }
  }
  check_required(params, slots);
}

void parse_tuple_and_dict(const Params& params, PyObject* args, PyObject* kwargs,
                          PyObject** slots) {
  const Py_ssize_t given = PyTuple_GET_SIZE(args);
  place_positional(params, reinterpret_cast<PyTupleObject*>(args)->ob_item,
                   static_cast<std::size_t>(given), slots);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) place_keyword(params, key, value, slots);
  }
  check_required(params, slots);
}

}  // namespace morvik::ext
