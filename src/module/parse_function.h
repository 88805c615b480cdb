// The module's one function, `parse(xml)`.
#pragma once

#include <Python.h>

namespace velmora::py {

// The method record of `parse`: fast call with keywords, text signature "(xml)". Static, so it
// outlives every function object made from it.
extern PyMethodDef PARSE_METHOD;

}  // namespace velmora::py
