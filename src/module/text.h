// Text crossing the boundary: UTF-8 views of `str` objects, new `str` objects, interned
// attribute names, and objects shown as text in messages. All of it needs the interpreter lock.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "module/pyerr.h"
#include "module/pyref.h"
#include "reader/cow_text.h"

namespace velmora::py {

// The UTF-8 text of a `str` (or `str` subclass) without copying: CPython's cached UTF-8 form,
// valid while `obj` lives. Not a `str`: a type-mismatch TypeError for "PyString". A lone
// surrogate: the interpreter's UnicodeEncodeError.
PyResult<std::string_view> argument_text(PyObject* obj);

// The same, copied into an owned buffer.
PyResult<std::string> owned_text(PyObject* obj);

// A new `str` holding `text` (valid UTF-8), owned by the current scope: the returned pointer is
// borrowed, and a caller that stores the object takes its own reference. A failed creation is
// fatal (panic_after_error).
PyObject* new_string(std::string_view text);

// A new `str` as an owned reference, outside any scope (for exception arguments).
PyRef new_string_ref(std::string_view text);

// The process-wide interned names used for attribute look-ups (borrowed, never released).
enum class InternedName { Name, All, Qualname };
PyObject* interned(InternedName name);

// The lazy TypeError "'<type>' object cannot be converted to '<target>'" for `obj`; the type
// name is read only when the error is raised or inspected. `target` must be a static string.
PyErr downcast_error(PyObject* obj, const char* target);

// The `__qualname__` of a type, borrowed from the current scope.
PyResult<std::string_view> type_name(PyTypeObject* type);

// The UTF-8 text of a `str`, with each maximal invalid subpart (lone surrogates) replaced by
// U+FFFD. Borrowed when the `str` has a UTF-8 form, owned otherwise. Leaves no error pending.
reader::CowText to_string_lossy(PyObject* str);

// Appends str(obj), read lossily. When str() fails the error goes to the interpreter's
// unraisable hook and "<unprintable T object>" (or "<unprintable object>") is appended.
void append_display(std::string& out, PyObject* obj);

// Appends repr(obj), read lossily. When repr() fails the error is dropped, nothing is appended
// and false is returned: whoever builds the text stops there.
bool append_debug(std::string& out, PyObject* obj);

}  // namespace velmora::py
