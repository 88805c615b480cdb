// Text crossing the boundary: UTF-8 views of `str` arguments, the type-mismatch error, type
// names, and objects shown as text in messages. All of it needs the interpreter lock.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "cpython/pyerr.h"

namespace velmora::py {

// The UTF-8 text of a `str` (or `str` subclass) without copying: CPython's cached UTF-8 form,
// valid while `obj` lives. Not a `str`: a type-mismatch TypeError for "PyString". A lone
// surrogate: the interpreter's UnicodeEncodeError.
PyResult<std::string_view> argument_text(PyObject* obj);

// `argument_text` for the length of one call that leaves the `str` as it was: its own UTF-8 form
// when it has one (an ASCII str always does), else a temporary encoding held by `keep`, which
// the caller keeps while it reads the text. (CPython's cached form would stay inside the caller's
// str for as long as it lives: as large again as a non-ASCII text in UTF-8.)
PyResult<std::string_view> call_text(PyObject* obj, PyRef& keep);

// The lazy TypeError "'<type>' object cannot be converted to '<target>'" for `obj`; the type
// name is read only when the error is raised or inspected. `target` must be a static string.
PyErr downcast_error(PyObject* obj, const char* target);

// The `__qualname__` of a type, borrowed from the current scope.
PyResult<std::string_view> type_name(PyTypeObject* type);

// Appends str(obj), read lossily. When str() fails the error goes to the interpreter's
// unraisable hook and "<unprintable T object>" (or "<unprintable object>") is appended.
void append_display(std::string& out, PyObject* obj);

}  // namespace velmora::py
