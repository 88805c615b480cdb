// The few Python/C API services the conversion needs, with the failure rules of the module:
// a NULL from an object-creating call is fatal ("Python API call failed"), other failed calls
// become "called `Result::unwrap()` on an `Err` value: " + the printed Python error.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "module/pyref.h"

namespace velmora::convert {

inline constexpr std::string_view kUnwrapFrame = "called `Result::unwrap()` on an `Err` value: ";
inline constexpr std::string_view kNoneUnwrap = "called `Option::unwrap()` on a `None` value";

using Ref = py::PyRef;

// The message for the Python error pending now (taken out of the interpreter):
// "called `Result::unwrap()` on an `Err` value: " + its printed form.
std::string unwrap_message_for_pending_error();

// The unwrap message for a value under "#text" that is not a str (its text cannot be had).
std::string unwrap_message_for_not_text(PyObject* value);

// A new dict, owned by the caller (a failed creation is fatal).
Ref new_dict();

// The "#text" key, made once per process.
PyObject* text_key();

}  // namespace velmora::convert
