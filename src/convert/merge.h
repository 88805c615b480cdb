// Storing converted elements under their names: the first value as is, repeats as a list.
#pragma once

#include <Python.h>

#include <optional>
#include <string>

namespace velmora::convert {

// Stores `value` under `key` in `target`: a first value as is; a second turns the entry into a
// list of both; later ones are appended to that list. The key keeps its first position.
// Borrows `key` and `value`. On a Python error, answers the failure message instead.
std::optional<std::string> update_dict(PyObject* target, PyObject* key, PyObject* value);

// The value of a finished element: `element` itself, or, when it holds only "#text", that text.
// Answers a new reference, or the failure message.
struct CollapseResult {
  PyObject* value = nullptr;  // new reference on success
  std::string message;        // set on failure
};
CollapseResult collapse_text_only(PyObject* element);

}  // namespace velmora::convert
