// The failure messages of the conversion: the frames put around reader errors and Python errors.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "cpython/pyerr.h"
#include "reader/errors.h"

namespace velmora::convert {

inline constexpr std::string_view kUnwrapFrame = "called `Result::unwrap()` on an `Err` value: ";
inline constexpr std::string_view kNoneUnwrap = "called `Option::unwrap()` on a `None` value";

// "called `Result::unwrap()` on an `Err` value: " + the printed error value: a reader `Error`,
// a bare `AttrError` or `Utf8Error`, or a Python error in its printed form.
std::string unwrap_message(const reader::Error& error);
std::string unwrap_message(const reader::AttrError& error);
std::string unwrap_message(const reader::Utf8Error& error);
std::string unwrap_message(py::PyErr error);

// The unwrap message of the Python error pending now (taken out of the interpreter).
std::string unwrap_message_for_pending_error();

// "Error at position <position>: " + the printed error, for the walk's own reader.
std::string position_message(std::uint64_t position, const reader::Error& error);

}  // namespace velmora::convert
