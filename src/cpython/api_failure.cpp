// The fatal failure of an object-creating Python/C API call that returned NULL.
#include "cpython/api_failure.h"

#include <Python.h>

#include "failure/failure.h"

namespace velmora::py {

[[noreturn]] void panic_after_error(velmora::SourceLocation where) {
  if (PyErr_Occurred() != nullptr) PyErr_Print();
  fail("Python API call failed", where);
}

}  // namespace velmora::py
