// The PanicException type's cell: its name, its docstring, and its one-time creation.
#pragma once

#include <Python.h>

#include <string_view>

namespace velmora::py {

// Derived from BaseException, not Exception, so that an `except Exception` handler does not
// swallow a fatal failure of native code.
inline constexpr const char* kPanicExceptionName = "pyo3_runtime.PanicException";
inline constexpr std::string_view kPanicExceptionDoc =
    "\n"
    "The exception raised if native code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// The type if it has been made already, else null. No PanicException instance can exist before
// the type does, so checking a taken exception needs no new type.
PyObject* existing_panic_exception_type() noexcept;

// The type, made on the first call and kept for the rest of the process (borrowed); NULL with
// the interpreter's error set when it cannot be made. The failure policy is the caller's
// (panic_exception_type in cpython/pyerr.h).
PyObject* create_panic_exception_type();

// Empties the cell without a release, once the interpreter that made the type is finalized (the
// type went with it); the next interpreter makes its own.
void forget_panic_exception_type() noexcept;

}  // namespace velmora::py
