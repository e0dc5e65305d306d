// The entry point of morvik_agent._terminal: creates the module once and
// registers the Core class. Like the morvik module, it serves the first
// interpreter that imports it and no other: its sessions and type belong to
// that one.
#include <cerrno>
#include <cstdint>

#include "extension/binding/allow_threads.h"
#include "extension/binding/errors.h"
#include "extension/binding/module_claim.h"
#include "core_type.h"
#include "session/agent_session.h"
#include "pty/subreaper.h"
#include "text/keys.h"

namespace morvik::ext {

const char PANIC_EXCEPTION_NAME[] = "morvik_agent._terminal.PanicException";

namespace {

// The key names live in the text layer alone; the Python layer, its
// docstrings and the MCP server's tool description all read them here.
PyObject* key_names(PyObject*, PyObject*) noexcept {
  return guard([] {
    const auto names = text::key_names();
    PyRef out = PyRef::checked(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    for (std::size_t i = 0; i < names.size(); ++i) {
      PyRef item = PyRef::checked(Py_BuildValue("(s#s#)", names[i].name.data(),
                                                static_cast<Py_ssize_t>(names[i].name.size()),
                                                names[i].aliases.data(),
                                                static_cast<Py_ssize_t>(names[i].aliases.size())));
      PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return out.release();
  });
}

PyObject* describe_keys(PyObject*, PyObject*) noexcept {
  return guard([] {
    const std::string text = text::describe_keys();
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

// Sets the process-wide flag; the Python layer that calls it reaps the
// orphans it then receives, each by its own handle.
PyObject* become_subreaper(PyObject*, PyObject*) noexcept {
  return guard([] {
    if (auto r = pty::become_child_subreaper(); !r) {
      errno = r.error().value();
      PyErr_SetFromErrno(PyExc_OSError);
      throw PythonError{};
    }
    return Py_NewRef(Py_None);
  });
}

PyMethodDef g_functions[] = {
    {"become_subreaper", become_subreaper, METH_NOARGS, "become_subreaper(): this process adopts its descendants' orphans"},
    {"key_names", key_names, METH_NOARGS, "key_names() -> ((name, blank-separated aliases), ...)"},
    {"describe_keys", describe_keys, METH_NOARGS, "describe_keys() -> what a key word may be, in one line"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "morvik_agent._terminal",
    "The native core of morvik_agent's terminals.",
    0, g_functions, nullptr, nullptr, nullptr, nullptr,
};

// Run by atexit, on the thread that goes on to finalize the interpreter.
PyObject* at_exit(PyObject*, PyObject*) noexcept {
  note_finalizing_thread();
  return Py_NewRef(Py_None);
}

PyMethodDef g_at_exit_def = {"_terminal_at_exit", at_exit, METH_NOARGS, nullptr};

ModuleClaim g_claim{"morvik_agent._terminal can only be used by the interpreter that imported it first",
                    &g_at_exit_def};

PyObject* init_module() {
  return g_claim.module([] {
    PyRef module = PyRef::checked(PyModule_Create(&g_module_def));
    PyObject* type = reinterpret_cast<PyObject*>(core_type());
    if (PyModule_AddObjectRef(module.get(), "Core", type) < 0) throw PythonError{};
    // The statuses a reply may have: the core names them, the Python layer
    // and the MCP server read them here.
    PyRef statuses = PyRef::checked(PyTuple_New(static_cast<Py_ssize_t>(session::WAIT_END_NAMES.size())));
    for (std::size_t i = 0; i < session::WAIT_END_NAMES.size(); ++i) {
      const std::string_view name = session::WAIT_END_NAMES[i];
      PyTuple_SET_ITEM(statuses.get(), static_cast<Py_ssize_t>(i),
                       PyRef::checked(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())))
                           .release());
    }
    if (PyModule_AddObjectRef(module.get(), "STATUSES", statuses.get()) < 0) throw PythonError{};
    PyObject* panic = panic_exception_type();
    if (panic == nullptr || PyModule_AddObjectRef(module.get(), "PanicException", panic) < 0) throw PythonError{};
    return module;
  });
}

}  // namespace

}  // namespace morvik::ext

PyMODINIT_FUNC PyInit__terminal() {
  return morvik::ext::guard([] { return morvik::ext::init_module(); });
}
