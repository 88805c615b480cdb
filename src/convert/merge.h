// Storing converted elements under their names: the first value as is, repeats as a list; and
// the value a finished element collapses to.
#pragma once

#include <Python.h>

#include "cpython/pyerr.h"
#include "cpython/ref.h"

namespace velmora::convert {

// Stores `value` under `key` in `target`: a first value as is; a second turns the entry into a
// list of both; later ones are appended to that list. The key keeps its first position.
// Borrows `key` and `value`. A failed Python call comes back as its error. With `list`, it is set
// to the list now stored under `key` (borrowed from `target`), or to null when the entry is not
// a list.
[[nodiscard]] py::PyResult<py::Done> update_dict(PyObject* target, PyObject* key, PyObject* value,
                                                 PyObject** list = nullptr);

// The second half of update_dict, once an insert-unless-present found `stored` (borrowed) under
// `key`: `value` joins it in a list. `list` is set to that list (borrowed from `target`).
[[nodiscard]] py::PyResult<py::Done> join_present(PyObject* target, PyObject* key, PyObject* stored,
                                                  PyObject* value, PyObject** list);

// The value of a finished element: `element` itself, or, when it holds only "#text" (`text_key`),
// that text. A failed Python call, or a "#text" value that is not a str, comes back as its error.
[[nodiscard]] py::PyResult<py::PyRef> collapse_text_only(PyObject* element, PyObject* text_key);

}  // namespace velmora::convert
