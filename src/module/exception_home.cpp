// The home module of the PanicException type and its attribute lookup.
#include "module/exception_home.h"

#include "cpython/pyerr.h"
#include "cpython/scope.h"
#include "module/frame.h"

namespace velmora::py {
namespace {

PyResult<PyRef> home_getattr_body(PyObject* home, PyObject* name) {
  using R = PyResult<PyRef>;
  if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "PanicException") == 0) {
    PyObject* type = panic_exception_type();
    // Kept in the module's namespace so that later lookups and dir() see it directly.
    if (PyObject_SetAttr(home, name, type) != 0) return R::err(fetch_error());
    return R::ok(PyRef::borrow(type));
  }
  PyErr_Format(PyExc_AttributeError, "module '%s' has no attribute '%U'", kExceptionHomeName, name);
  return R::err(fetch_error());
}

PyObject* home_getattr(PyObject* home, PyObject* name) {
  return trampoline([&] { return home_getattr_body(home, name); });
}

PyMethodDef HOME_GETATTR = {"__getattr__", &home_getattr, METH_O, nullptr};

}  // namespace

PyResult<Done> publish_exception_home() {
  using R = PyResult<Done>;
#if PY_VERSION_HEX >= 0x030D0000
  PyRef added = PyRef::steal(PyImport_AddModuleRef(kExceptionHomeName));
  if (!added) return R::err(fetch_error());
  PyObject* home = register_owned(std::move(added));
#else
  PyObject* home = PyImport_AddModule(kExceptionHomeName);  // borrowed from sys.modules
  if (home == nullptr) return R::err(fetch_error());
#endif
  PyRef made = PyRef::steal(PyCFunction_New(&HOME_GETATTR, home));
  if (!made) return R::err(fetch_error());
  PyObject* getattr = register_owned(std::move(made));
  if (PyObject_SetAttrString(home, "__getattr__", getattr) != 0) return R::err(fetch_error());
  return R::ok(Done{});
}

}  // namespace velmora::py
