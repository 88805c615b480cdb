// The conversion of one XML text into a dictionary tree.
#pragma once

#include <Python.h>

#include <string_view>

namespace velmora::convert {

// Converts `text` (valid UTF-8, borrowed for the call) and returns a new reference to the
// result dictionary. Every failure is a fatal failure (velmora::fail); nothing is returned then.
PyObject* parse_document(std::string_view text);

}  // namespace velmora::convert
