// corvid._engine: the extension module the corvid package is built on.
#include "binding/engine_type.h"
#include "binding/errors.h"

namespace {

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "corvid._engine",
    "The engine of the corvid package.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

bool initialized = false;

PyObject* init_module() {
  if (initialized) {
    PyErr_SetString(PyExc_ImportError,
                    "corvid._engine may only be initialized once per interpreter process");
    return nullptr;
  }
  corvid::py::Ref module(PyModule_Create(&kModule));
  if (!module || corvid::py::add_engine_types(module.get()) < 0) return nullptr;
  initialized = true;
  return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit__engine(void) {
  return corvid::py::guarded_native(nullptr, [] { return init_module(); });
}
