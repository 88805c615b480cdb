// The conversion defined level by level, kept as the reference that the one-pass walk is
// checked against: each element's content is read up to its matching end tag by the parent's
// reader and then converted by a fresh reader of its own. Levels live on a heap stack.
#pragma once

#include <Python.h>

#include <string_view>

namespace velmora::testing {

// A new reference to the result dictionary; every failure is fatal, as in the module.
PyObject* reference_parse_document(std::string_view text);

}  // namespace velmora::testing
