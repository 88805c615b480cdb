// Text crossing the boundary: views of `str` arguments (UTF-8 or their own code points), the type-mismatch error, type
// names, and objects shown as text in messages. All of it needs the interpreter lock.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>
#include <variant>

#include "cpython/pyerr.h"

namespace velmora::py {

// The UTF-8 text of a `str` (or `str` subclass) without copying: CPython's cached UTF-8 form,
// valid while `obj` lives. Not a `str`: a type-mismatch TypeError for "PyString". A lone
// surrogate: the interpreter's UnicodeEncodeError.
PyResult<std::string_view> argument_text(PyObject* obj);

// The text of a `str` argument as the reader reads it, valid while `obj` lives: UTF-8 for an
// ASCII str (its own data), else the str's own code points, one per unit of its width, so that
// nothing is encoded or kept. A str holding a lone surrogate has no UTF-8 form: asking for its
// text gives the interpreter's UnicodeEncodeError, as `argument_text` does. Not a `str`: the
// type-mismatch TypeError for "PyString".
using ArgumentUnits =
    std::variant<std::string_view, std::u8string_view, std::u16string_view, std::u32string_view>;
PyResult<ArgumentUnits> argument_units(PyObject* obj);

// The lazy TypeError "'<type>' object cannot be converted to '<target>'" for `obj`; the type
// name is read only when the error is raised or inspected. `target` must be a static string.
PyErr downcast_error(PyObject* obj, const char* target);

// The `__qualname__` of a type, borrowed from the current scope.
PyResult<std::string_view> type_name(PyTypeObject* type);

// Appends str(obj), read lossily. When str() fails the error goes to the interpreter's
// unraisable hook and "<unprintable T object>" (or "<unprintable object>") is appended.
void append_display(std::string& out, PyObject* obj);

}  // namespace velmora::py
