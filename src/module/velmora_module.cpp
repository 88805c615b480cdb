// The module `velmora` and its entry point, the one symbol the shared library exports.
#include "module/exception_home.h"
#include "module/frame.h"
#include "module/module_init.h"
#include "module/parse_function.h"
#include "module/scope.h"
#include "module/text.h"

#ifdef Py_GIL_DISABLED
#error "velmora relies on the global interpreter lock: build it with a regular (not free-threaded) CPython"
#endif

namespace velmora::py {
namespace {

PyResult<Done> initialize_velmora(PyObject* module) {
  using R = PyResult<Done>;
  const char* name = PyModule_GetName(module);
  if (name == nullptr) return R::err(fetch_error());
  PyObject* module_name = new_string(name);
  PyObject* parse = PyCMethod_New(&PARSE_METHOD, module, module_name, nullptr);
  if (parse == nullptr) return R::err(fetch_error());
  register_owned(parse);
  auto added = add_function(module, parse);
  if (!added) return added;
  return publish_exception_home();
}

ModuleDef VELMORA_MODULE = {
    .initializer = &initialize_velmora,
    .definition =
        {
            PyModuleDef_HEAD_INIT,
            "velmora",  // m_name
            "",         // m_doc: __doc__ is the empty str, not None
            0,          // m_size: no per-module state
            nullptr,    // m_methods: functions are added by the initializer
            nullptr,    // m_slots: single-phase initialisation
            nullptr,
            nullptr,
            nullptr,
        },
};

}  // namespace
}  // namespace velmora::py

PyMODINIT_FUNC PyInit_velmora(void) {
  return velmora::py::trampoline(
      [] { return velmora::py::make_module(velmora::py::VELMORA_MODULE); });
}
