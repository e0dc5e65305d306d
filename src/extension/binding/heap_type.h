// How each module makes its one class: a heap type made from its slots, created
// once on the first import and kept for the life of the process, and the
// last step of freeing one of its instances. Must never make a second type
// object: the modules check their instances against the first one.
#pragma once

#include "py_ref.h"

namespace morvik::ext {

struct TypeParts {
  const char* qualified_name;  // "module.Class", as the interpreter shows it
  int basic_size;              // sizeof the instance struct
  const char* doc;             // signature line, "--", then the text
  newfunc make;
  destructor dealloc;          // ends with free_instance(self)
  PyMethodDef* methods;
};

// The type of `parts`, made on the first call and handed back after (each
// module calls it from its own function, so `made` is that module's).
PyTypeObject* heap_type(PyTypeObject*& made, const TypeParts& parts);

// Frees `self`, an instance of a heap type, and drops the reference to its
// type that every instance holds, taken by the allocation.
void free_instance(PyObject* self) noexcept;

}  // namespace morvik::ext
