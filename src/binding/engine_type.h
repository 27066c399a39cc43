// corvid._engine.Engine and its iterator.
#pragma once

#include "binding/py.h"

namespace corvid::py {

// Creates both types and adds them to `module`; -1 with an exception set on failure.
int add_engine_types(PyObject* module);

}  // namespace corvid::py
