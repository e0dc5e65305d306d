// The module entry point: creates the module object once, for the
// interpreter that imports it first (binding/module_claim.h), and registers
// the Morvik class in it.
#include "base/kept_texts.h"
#include "extension/binding/allow_threads.h"
#include "extension/binding/errors.h"
#include "extension/binding/module_claim.h"
#include "session/session.h"
#include "morvik_type.h"

namespace morvik::ext {

const char PANIC_EXCEPTION_NAME[] = "morvik.PanicException";

namespace {

constexpr int MODULE_API_VERSION = 1013;
constexpr const char CLASS_NAME[] = "Morvik";

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "morvik",  // m_name
    "",        // m_doc
    0,         // m_size
    nullptr,   // m_methods
    nullptr,   // m_slots
    nullptr,   // m_traverse
    nullptr,   // m_clear
    nullptr,   // m_free
};

// Run by atexit, on the thread that goes on to finalize the interpreter,
// with the lock held. A Morvik that finalization never frees (a module
// global while a daemon thread runs, one a daemon thread holds) would leave
// its program running after the host is gone: every program is stopped
// here, whichever thread owns its session. The lock stays held throughout,
// so no owner thread asks meanwhile whether its program runs.
PyObject* at_exit(PyObject*, PyObject*) noexcept {
  note_finalizing_thread();
  session::Session::stop_all_programs();
  return Py_NewRef(Py_None);
}

PyMethodDef g_at_exit_def = {"_morvik_at_exit", at_exit, METH_NOARGS, nullptr};

// The class, or RuntimeError naming it with the real failure as its cause.
PyObject* class_object() {
  try {
    return reinterpret_cast<PyObject*>(morvik_type());
  } catch (const PythonError&) {
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_RuntimeError,
                    (std::string(kept::CLASS_INIT_FAILED) + CLASS_NAME).c_str());
    if (cause != nullptr) {
      PyObject* error = PyErr_GetRaisedException();
      PyException_SetCause(error, cause);  // steals `cause`
      PyErr_SetRaisedException(error);
    }
    throw;
  }
}

// The module's __all__, created empty if the module has none yet.
PyRef all_list(PyObject* module) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    PyErr_Clear();
    all = PyRef::checked(PyList_New(0));
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw PythonError{};
    return all;
  }
  if (!PyList_Check(all.get())) raise_cast_error(all.get(), "list");
  return all;
}

void add_class(PyObject* module) {
  PyObject* type = class_object();
  PyRef all = all_list(module);
  PyRef name = PyRef::checked(PyUnicode_FromString(CLASS_NAME));
  if (PyList_Append(all.get(), name.get()) < 0) throw PythonError{};
  if (PyObject_SetAttr(module, name.get(), type) < 0) throw PythonError{};
}

ModuleClaim g_claim{kept::SECOND_INTERPRETER, &g_at_exit_def};

PyObject* init_module() {
  return g_claim.module([] {
    PyRef module = PyRef::checked(PyModule_Create2(&g_module_def, MODULE_API_VERSION));
    add_class(module.get());
    return module;
  });
}

}  // namespace

}  // namespace morvik::ext

PyMODINIT_FUNC PyInit_morvik() {
  return morvik::ext::guard([] { return morvik::ext::init_module(); });
}
