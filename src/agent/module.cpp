// The entry point of morvik_agent._terminal: creates the module once and
// registers the Core class. Like the morvik module, it serves the first
// interpreter that imports it and no other: its sessions and type belong to
// that one.
#include <atomic>
#include <cstdint>

#include "extension/binding/allow_threads.h"
#include "extension/binding/errors.h"
#include "core_type.h"

namespace morvik::ext {

const char PANIC_EXCEPTION_NAME[] = "morvik_agent._terminal.PanicException";

namespace {

constexpr std::int64_t NO_INTERPRETER = -1;

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "morvik_agent._terminal",
    "The native core of morvik_agent's terminals.",
    0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> g_interpreter{NO_INTERPRETER};
PyObject* g_module = nullptr;

// Run by atexit, on the thread that goes on to finalize the interpreter.
PyObject* at_exit(PyObject*, PyObject*) noexcept {
  note_finalizing_thread();
  return Py_NewRef(Py_None);
}

PyMethodDef g_at_exit_def = {"_terminal_at_exit", at_exit, METH_NOARGS, nullptr};

PyObject* init_module() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) throw PythonError{};
  std::int64_t recorded = NO_INTERPRETER;
  if (!g_interpreter.compare_exchange_strong(recorded, id) && recorded != id) {
    raise(PyExc_ImportError, "morvik_agent._terminal can only be used by the interpreter that imported it first");
  }
  if (g_module != nullptr) return Py_NewRef(g_module);
  PyRef module = PyRef::checked(PyModule_Create(&g_module_def));
  PyObject* type = reinterpret_cast<PyObject*>(core_type());
  if (PyModule_AddObjectRef(module.get(), "Core", type) < 0) throw PythonError{};
  PyObject* panic = panic_exception_type();
  if (panic == nullptr || PyModule_AddObjectRef(module.get(), "PanicException", panic) < 0) throw PythonError{};
  PyRef hook = PyRef::checked(PyCFunction_New(&g_at_exit_def, nullptr));
  register_exit_hook(hook.get());
  g_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace

}  // namespace morvik::ext

PyMODINIT_FUNC PyInit__terminal() {
  return morvik::ext::guard([] { return morvik::ext::init_module(); });
}
