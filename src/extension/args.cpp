// Argument conversion for the Morvik class: the accepted forms of each
// parameter kind, and the "argument '<name>': " wrapping (matching arguments
// to parameters is binding/params.h's, shared by both modules). Must never
// take the session's locks or release the interpreter lock: conversions may run arbitrary Python code
// (__index__, __iter__, __len__), which may call back into the same object.
#include "args.h"

#include <algorithm>
#include <cstring>

#include "base/kept_texts.h"
#include "extension/binding/errors.h"

namespace morvik::ext {

namespace {

// A sequence's length only sizes the list; a __len__ that lies must not
// make us reserve gigabytes before the first item is even seen.
constexpr Py_ssize_t TEXT_LIST_RESERVE_LIMIT = 65536;

[[noreturn]] void raise_type_error(const std::string& message) {
  raise(PyExc_TypeError, message);
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
