// Each module's claim on the interpreter that imports it first, and the
// module object it makes once. Must never serve a second interpreter: the
// type object and every session are tied to the first one, and sharing them
// across interpreters would mix their objects. One compare-and-exchange, so
// two interpreters racing cannot both win.
#pragma once

#include <atomic>
#include <cstdint>

#include "py_ref.h"

namespace morvik::ext {

class ModuleClaim {
 public:
  // `refusal`: the ImportError's text for every other interpreter.
  // `at_exit`: run by atexit, on the thread that goes on to finalize the
  // interpreter, with the lock held.
  constexpr ModuleClaim(const char* refusal, PyMethodDef* at_exit) noexcept
      : refusal_(refusal), at_exit_(at_exit) {}

  // The module: made by `build` (which returns a PyRef to it) on the first
  // successful import, and that same object on every later one. A failed
  // build leaves nothing behind, so the next import starts again.
  template <class Build>
  PyObject* module(Build&& build) {
    claim_interpreter();
    if (module_ != nullptr) return Py_NewRef(module_);
    PyRef made = build();
    keep(made.get());
    return made.release();
  }

 private:
  void claim_interpreter();
  void keep(PyObject* module);

  static constexpr std::int64_t NO_INTERPRETER = -1;
  const char* refusal_;
  PyMethodDef* at_exit_;
  std::atomic<std::int64_t> interpreter_{NO_INTERPRETER};
  PyObject* module_ = nullptr;
};

}  // namespace morvik::ext
