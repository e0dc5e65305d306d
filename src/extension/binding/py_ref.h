// Owned references to Python objects, and the one C++ exception that means
// "a Python error is set". A raw PyObject* anywhere in the extension is a
// borrowed reference; a PyRef is an owned one and gives it back exactly once.
// Must only be used with the interpreter lock held: copying or dropping a
// PyRef changes a reference count.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace morvik::ext {

// Thrown after a C API call failed. The Python error it stands for is already
// set (or, for a careless C API call, should have been: the boundary guard
// turns "none set" into SystemError). Carries nothing of its own so that
// throwing it never allocates a second description of the failure.
struct PythonError {};

class PyRef {
 public:
  PyRef() noexcept = default;
  PyRef(PyRef&& other) noexcept : p_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = p_;
      p_ = other.release();
      // Dropped after the swap: a destructor run by the decrement may look
      // at this very PyRef.
      Py_XDECREF(old);
    }
    return *this;
  }
  PyRef(const PyRef& other) noexcept : p_(Py_XNewRef(other.p_)) {}
  PyRef& operator=(const PyRef& other) noexcept {
    if (this != &other) *this = PyRef(other);
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  // Takes over a reference the caller owns (a "new reference" result).
  static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
  // Takes a reference of its own to an object somebody else keeps alive.
  static PyRef borrow(PyObject* p) noexcept { return PyRef(Py_XNewRef(p)); }
  // steal() for results that are NULL only when a Python error is set.
  static PyRef checked(PyObject* p) {
    if (p == nullptr) throw PythonError{};
    return PyRef(p);
  }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Hands the reference to a caller that will own it (a C API return value).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }

 private:
  explicit PyRef(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace morvik::ext
