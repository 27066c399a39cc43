// The _corvid module: one class, Corvid, listed in __all__.
#include "binding/corvid_type.h"
#include "binding/errors.h"

namespace {

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_corvid", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

bool initialized = false;

// Appends the class name to __all__, creating the list when it is missing,
// then sets the class as an attribute.
int add_class(PyObject* module, PyObject* cls) {
  using corvid::py::Ref;
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  Ref name(PyUnicode_FromString("Corvid"));
  if (!name || PyList_Append(all.get(), name.get()) < 0) return -1;
  return PyObject_SetAttrString(module, "Corvid", cls);
}

PyObject* init_module() {
  if (initialized) {
    PyErr_SetString(PyExc_ImportError,
                    "the _corvid module may only be initialized once per interpreter process");
    return nullptr;
  }
  corvid::py::Ref module(PyModule_Create(&kModule));
  if (!module) return nullptr;
  corvid::py::Ref cls(corvid::py::create_corvid_type());
  if (!cls || add_class(module.get(), cls.get()) < 0) return nullptr;
  initialized = true;
  return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit__corvid(void) {
  return corvid::py::guarded([] { return init_module(); });
}
