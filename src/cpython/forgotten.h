// Objects that a finalised interpreter made and the module kept for it (the module, its
// exception type, names, keys): once that interpreter is gone they are never used or released
// again, but they stay referenced from here for the rest of the process, as they were while in
// use, so that nothing tells them from memory that was lost.
#pragma once

#include <Python.h>

namespace velmora::py {

// Keeps `obj` (may be null) referenced for the rest of the process. Runs after the interpreter
// is gone: no Python call is made.
void keep_forgotten(PyObject* obj) noexcept;

}  // namespace velmora::py
