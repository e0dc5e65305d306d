#include "module_claim.h"

#include "allow_threads.h"
#include "errors.h"

namespace morvik::ext {

void ModuleClaim::claim_interpreter() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) throw PythonError{};
  std::int64_t recorded = NO_INTERPRETER;
  if (interpreter_.compare_exchange_strong(recorded, id) || recorded == id) return;
  raise(PyExc_ImportError, refusal_);
}

void ModuleClaim::keep(PyObject* module) {
  PyRef hook = PyRef::checked(PyCFunction_New(at_exit_, nullptr));
  register_exit_hook(hook.get());
  module_ = Py_NewRef(module);
}

}  // namespace morvik::ext
