// Argument matching and conversion for the Morvik class: the exact TypeError
// texts of a wrong call, the accepted forms of each parameter kind, and the
// "argument '<name>': " wrapping. Must never take the session's locks or
// release the interpreter lock: conversions may run arbitrary Python code
// (__index__, __iter__, __len__), which may call back into the same object.
#include "args.h"

#include <algorithm>
#include <cstring>

#include "base/kept_texts.h"
#include "extension/binding/errors.h"

namespace morvik::ext {

namespace {

constexpr const char CLASS_NAME[] = "Morvik";
// A sequence's length only sizes the list; a __len__ that lies must not
// make us reserve gigabytes before the first item is even seen.
constexpr Py_ssize_t TEXT_LIST_RESERVE_LIMIT = 65536;

std::string full_name(const Params& params) {
  return std::string(CLASS_NAME) + "." + params.function + "()";
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

// Replaces a pending TypeError (exactly that class, not a subclass) with
// one that names the parameter. Other errors stay as they are.
void name_argument_in_error(const char* name) noexcept {
  PyObject* raw = PyErr_GetRaisedException();
  if (raw == nullptr) return;
  if (Py_TYPE(raw) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(raw);
    return;
  }
  PyRef original = PyRef::steal(raw);
  PyRef shown = PyRef::steal(PyObject_Str(original.get()));
  if (!shown) return;  // that failure is now the error
  PyRef message = PyRef::steal(PyUnicode_FromFormat(kept::ARGUMENT_FORMAT, name, shown.get()));
  if (!message) return;
  PyRef wrapped = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!wrapped) return;
  if (PyObject* cause = PyException_GetCause(original.get())) {
    PyException_SetCause(wrapped.get(), cause);  // steals `cause`
  }
  PyErr_SetObject(PyExc_TypeError, wrapped.get());
}

template <class Convert>
auto converting(const char* name, Convert&& convert) {
  try {
    return convert();
  } catch (const PythonError&) {
    name_argument_in_error(name);
    throw;
  }
}

std::string_view utf8_of(PyObject* str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) throw PythonError{};
  return {data, static_cast<std::size_t>(size)};
}

std::string_view text_of(PyObject* obj) {
  if (!PyUnicode_Check(obj)) raise_cast_error(obj, "str");
  return utf8_of(obj);
}

bool str_equals(PyObject* obj, const char* ascii) {
  return obj != nullptr && PyUnicode_Check(obj) && PyUnicode_CompareWithASCIIString(obj, ascii) == 0;
}

// numpy's boolean scalar ("bool_" before numpy 2, "bool" since) is accepted
// as a boolean; any other type that merely has a truth value is not. A type
// whose name cannot even be read is simply not numpy's.
bool is_numpy_bool_type(PyTypeObject* type) {
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  if (!str_equals(name.get(), "bool_") && !str_equals(name.get(), "bool")) return false;
  PyRef module =
      PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  return str_equals(module.get(), "numpy");
}

// collections.abc.Sequence, imported on first need and kept for good.
PyObject* sequence_abc() {
  static PyObject* sequence = nullptr;
  if (sequence == nullptr) {
    PyRef module = PyRef::checked(PyImport_ImportModule("collections.abc"));
    sequence = PyRef::checked(PyObject_GetAttrString(module.get(), "Sequence")).release();
  }
  return sequence;
}

// What the interpreter's own sequence check accepts (a list, a tuple, any
// class with __getitem__ that is not a mapping type), and what is registered
// as a Sequence without providing that slot.
bool is_sequence(PyObject* obj) {
  if (PySequence_Check(obj)) return true;
  int verdict = PyObject_IsInstance(obj, sequence_abc());
  if (verdict < 0) throw PythonError{};
  return verdict == 1;
}

std::uint64_t u64_of_int(PyObject* integer) {
  unsigned long long value = PyLong_AsUnsignedLongLong(integer);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
  return value;
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

std::string_view to_text(PyObject* obj, const char* name) {
  return converting(name, [&] { return text_of(obj); });
}

bool to_bool(PyObject* obj, const char* name) {
  return converting(name, [&]() -> bool {
    if (obj == Py_True) return true;
    if (obj == Py_False) return false;
    PyTypeObject* type = Py_TYPE(obj);
    if (!is_numpy_bool_type(type)) raise_cast_error(obj, "bool");
    inquiry truth = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
    if (truth == nullptr) {
      PyRef shown = PyRef::checked(PyObject_Str(reinterpret_cast<PyObject*>(type)));
      PyRef message = PyRef::checked(PyUnicode_FromFormat(kept::NO_BOOL_CONVERSION_FORMAT, shown.get()));
      PyErr_SetObject(PyExc_TypeError, message.get());
      throw PythonError{};
    }
    int verdict = truth(obj);
    if (verdict < 0) throw PythonError{};
    return verdict != 0;
  });
}

std::optional<std::uint64_t> to_optional_u64(PyObject* obj, const char* name) {
  if (obj == nullptr || obj == Py_None) return std::nullopt;
  return converting(name, [&]() -> std::optional<std::uint64_t> {
    if (PyLong_Check(obj)) return u64_of_int(obj);
    PyRef index = PyRef::checked(PyNumber_Index(obj));
    return u64_of_int(index.get());
  });
}

std::vector<std::string> to_text_list(PyObject* obj, const char* name) {
  return converting(name, [&] {
    if (PyUnicode_Check(obj)) raise_type_error(kept::STR_AS_LIST);
    if (!is_sequence(obj)) raise_cast_error(obj, "Sequence");
    Py_ssize_t length = PySequence_Size(obj);
    if (length < 0) {
      PyErr_Clear();
      length = 0;
    }
    std::vector<std::string> texts;
    texts.reserve(static_cast<std::size_t>(std::min(length, TEXT_LIST_RESERVE_LIMIT)));
    PyRef iterator = PyRef::checked(PyObject_GetIter(obj));
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
      texts.emplace_back(text_of(item.get()));
    }
    if (PyErr_Occurred()) throw PythonError{};
    return texts;
  });
}

std::optional<std::vector<std::string>> to_optional_text_list(PyObject* obj, const char* name) {
  if (obj == nullptr || obj == Py_None) return std::nullopt;
  return to_text_list(obj, name);
}

PyObject* text_result(std::string_view text) {
  const auto size = static_cast<Py_ssize_t>(text.size());
  // Most output is plain ASCII: build the str directly instead of running
  // the UTF-8 decoder over it. No early exit, so the scan vectorises.
  unsigned char seen = 0;
  for (char c : text) seen |= static_cast<unsigned char>(c);
  if (seen < 0x80) {
    PyObject* str = PyUnicode_New(size, 127);
    if (str == nullptr) throw PythonError{};
    std::memcpy(PyUnicode_DATA(str), text.data(), text.size());
    return str;
  }
  PyObject* str = PyUnicode_DecodeUTF8(text.data(), size, "replace");
  if (str == nullptr) throw PythonError{};
  return str;
}

}  // namespace morvik::ext
