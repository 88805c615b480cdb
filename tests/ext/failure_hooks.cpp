// `_velmora_test` hooks into the last-resort paths of the failure machinery. The shipped module
// offers Python no way to reach them; these run the same compiled machinery in this extension.
#include <Python.h>

#include <cstddef>
#include <new>

#include "hooks.h"
#include "failure/failure.h"
#include "module/frame.h"

namespace {

// `allocate(size)`: one C++ allocation through the extension's own operator new, then freed.
PyObject* allocate(PyObject*, PyObject* size_object) {
  const std::size_t size = PyLong_AsSize_t(size_object);
  if (size == static_cast<std::size_t>(-1) && PyErr_Occurred()) return nullptr;
  void* block = ::operator new(size);
  asm volatile("" : : "r"(block) : "memory");  // the allocation must not be optimised away
  ::operator delete(block);
  Py_RETURN_NONE;
}

// `allocate_in_call(size)`: the same allocation inside an entry frame, as the conversion makes
// its allocations; a failure there fails the call.
PyObject* allocate_in_call(PyObject* module, PyObject* size_object) {
  return velmora::py::trampoline([&]() -> velmora::py::PyResult<velmora::py::PyRef> {
    PyObject* done = allocate(module, size_object);
    if (done == nullptr) return velmora::py::PyResult<velmora::py::PyRef>::err(velmora::py::fetch_error());
    return velmora::py::PyResult<velmora::py::PyRef>::ok(velmora::py::PyRef::steal(done));
  });
}

// `escape_through_panic_trap(message)`: a failure that gets past an entry frame's catching
// region, caught the way the frame's last guard catches it; the process ends.
PyObject* escape_through_panic_trap(PyObject*, PyObject* message) {
  const char* text = PyUnicode_AsUTF8(message);
  if (text == nullptr) return nullptr;
  try {
    velmora::fail(text);
  } catch (...) {
    velmora::py::PanicTrap::fire();
  }
}

PyMethodDef kFailureMethods[] = {
    {"allocate", allocate, METH_O, "allocate(size)\n--\n\n"},
    {"allocate_in_call", allocate_in_call, METH_O, "allocate_in_call(size)\n--\n\n"},
    {"escape_through_panic_trap", escape_through_panic_trap, METH_O,
     "escape_through_panic_trap(message)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_failure_hooks(PyObject* module) {
  if (PyModule_AddFunctions(module, kFailureMethods) < 0) PyErr_Clear();
}
