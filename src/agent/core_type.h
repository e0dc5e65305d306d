// The Core class of morvik_agent._terminal. The type is created once per
// process, on first need, and never released.
#pragma once

#include <fcntl.h>

#include "extension/binding/py_ref.h"
#include "session/agent_session.h"

namespace morvik::ext {

// A borrowed reference: the module keeps the type for good. Throws
// PythonError if it cannot be created; a later call tries again.
PyTypeObject* core_type();

}  // namespace morvik::ext
