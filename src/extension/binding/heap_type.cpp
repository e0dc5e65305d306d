// The one pattern by which both modules build their class. Owns nothing
// but the slots it fills; every type it makes belongs to its module.
#include "heap_type.h"

#include "errors.h"

namespace morvik::ext {

PyTypeObject* heap_type(PyTypeObject*& made, const TypeParts& parts) {
  if (made != nullptr) return made;
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(parts.doc)},
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_dealloc, reinterpret_cast<void*>(parts.dealloc)},
      {Py_tp_new, reinterpret_cast<void*>(parts.make)},
      {Py_tp_methods, parts.methods},
      {0, nullptr},
  };
  PyType_Spec shape = {parts.qualified_name, parts.basic_size, 0, Py_TPFLAGS_DEFAULT, slots};
  made = reinterpret_cast<PyTypeObject*>(PyRef::checked(PyType_FromSpec(&shape)).release());
  return made;
}

void free_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  freefunc free = type->tp_free != nullptr ? type->tp_free : PyObject_Free;
  free(self);
  Py_DECREF(type);
}

}  // namespace morvik::ext
