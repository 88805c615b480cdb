// Single-phase module initialisation: one module object per process, owned by the first
// interpreter that imports it (until that interpreter is finalised).
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "cpython/pyerr.h"
#include "cpython/ref.h"

namespace velmora::py {

// Lives for the whole process and is never destroyed (the interpreter may be gone by the time
// static destructors run). `module` keeps one strong reference once filled, so a re-import in
// the same interpreter gets the very same object back.
struct ModuleDef {
  // Adds the module's contents to a fresh module object.
  PyResult<Done> (*initializer)(PyObject* module);
  PyModuleDef definition;
  std::atomic<std::int64_t> interpreter{-1};
  PyRef module;
};

inline constexpr const char* kSubinterpreterMessage =
    "velmora does not support subinterpreters: it is already loaded in another interpreter of "
    "this process";

// The body of the module's entry point: a new reference to the module object, or the error.
PyResult<PyRef> make_module(ModuleDef& def);

// Has every object kept for the process (the module cell of `def`, when given; the
// PanicException type, the interned names, the queued releases, the kept keys) forgotten, not
// released, when the interpreter is finalized, so that an interpreter started later in the same
// process (an embedding program may start one after another) makes its own instead of finding
// objects that went with the first. Called at each initialisation; registers the hook once per
// interpreter.
void forget_kept_objects_at_interpreter_end(ModuleDef* def);

// Adds `function` to `module` under its own __name__ and lists that name in __all__.
PyResult<Done> add_function(PyObject* module, PyObject* function);

// The module's __all__ list (borrowed from the current scope), created when missing.
PyResult<PyObject*> index(PyObject* module);

}  // namespace velmora::py
