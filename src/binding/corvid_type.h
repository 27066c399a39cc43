#pragma once

#include "binding/py.h"

namespace corvid::py {

// Creates the Corvid class from its type spec.
PyObject* create_corvid_type();

}  // namespace corvid::py
