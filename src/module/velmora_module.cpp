// The module `velmora` and its entry point, the one symbol the shared library exports.
#include "cpython/scope.h"
#include "cpython/strings.h"
#include "module/exception_home.h"
#include "module/frame.h"
#include "module/module_init.h"
#include "module/parse_function.h"

#ifdef Py_GIL_DISABLED
#error "velmora relies on the global interpreter lock: build it with a regular (not free-threaded) CPython"
#endif

namespace velmora::py {
namespace {

PyResult<Done> initialize_velmora(PyObject* module) {
  using R = PyResult<Done>;
  const char* name = PyModule_GetName(module);
  if (name == nullptr) return R::err(fetch_error());
  PyObject* module_name = register_owned(new_string(name));
  PyRef parse = PyRef::steal(PyCMethod_New(&PARSE_METHOD, module, module_name, nullptr));
  if (!parse) return R::err(fetch_error());
  auto added = add_function(module, register_owned(std::move(parse)));
  if (!added) return added;
  return publish_exception_home();
}

// Made on first use and never destroyed: see ModuleDef.
ModuleDef& velmora_module() {
  static ModuleDef* def = new ModuleDef{
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
  return *def;
}

}  // namespace
}  // namespace velmora::py

PyMODINIT_FUNC PyInit_velmora(void) {
  return velmora::py::trampoline(
      [] { return velmora::py::make_module(velmora::py::velmora_module()); });
}
