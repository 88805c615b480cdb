// The fatal failure of an object-creating Python/C API call that returned NULL.
#include "cpython/api_failure.h"

#include <Python.h>

#include "failure/failure.h"
#include "failure/output.h"

namespace velmora::py {

[[noreturn]] void panic_after_error(velmora::SourceLocation where) {
  if (PyErr_Occurred() != nullptr) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
      // Printing through sys.stderr needs the memory that just ran out, and when it fails the
      // interpreter dumps the raw exception object instead: one plain line, written without
      // allocating, says the same.
      PyErr_Clear();
      failure_output::StderrLine() << "MemoryError\n";
    } else {
      PyErr_Print();
    }
  }
  fail("Python API call failed", where);
}

}  // namespace velmora::py
