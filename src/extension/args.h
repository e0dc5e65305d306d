// Converting each argument of a Morvik call (matched to its parameter by
// binding/params.h) to the plain C++ value the session works with. Everything here runs with the
// interpreter lock held and reports failure by setting a Python error and
// throwing PythonError. Parsing only borrows the caller's objects.
#pragma once

#include "extension/binding/params.h"
#include "extension/binding/py_ref.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace morvik::ext {

// Conversions of one filled slot. Each failure that is exactly a TypeError
// is re-raised as "argument '<name>': ..." with the original's cause; any
// other error passes through untouched.

// The UTF-8 bytes of a str, borrowed from the object: valid while the
// caller's argument lives.
std::string_view to_text(PyObject* obj, const char* name);
bool to_bool(PyObject* obj, const char* name);
// NULL (not given) and None both mean absent.
std::optional<std::uint64_t> to_optional_u64(PyObject* obj, const char* name);
std::vector<std::string> to_text_list(PyObject* obj, const char* name);
// NULL and None mean absent.
std::optional<std::vector<std::string>> to_optional_text_list(PyObject* obj, const char* name);

// Results: a new str from text the session guarantees to be UTF-8.
PyObject* text_result(std::string_view text);

}  // namespace morvik::ext
