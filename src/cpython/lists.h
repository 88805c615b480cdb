// Appending to lists the conversion made itself: in place while the list has room, the way the
// interpreter's own fast path does, so that a run of siblings does not pay a call and its checks
// for every item. Needs the interpreter lock.
#pragma once

#include <Python.h>

#include "cpython/ref.h"

namespace velmora::py {

// Appends `item` (its reference taken over) to `list`, an exact list. False, with the Python
// error set, when growing the list failed; `item` is then released.
[[nodiscard]] inline bool list_append(PyObject* list, PyRef item) {
  auto* const self = reinterpret_cast<PyListObject*>(list);
  const Py_ssize_t size = Py_SIZE(self);
  if (size < self->allocated) [[likely]] {
    self->ob_item[size] = item.release();
    Py_SET_SIZE(self, size + 1);
    return true;
  }
  return PyList_Append(list, item.get()) == 0;  // grows the list, taking a reference of its own
}

// The same for a borrowed `item`.
[[nodiscard]] inline bool list_append(PyObject* list, PyObject* item) {
  return list_append(list, PyRef::borrow(item));
}

}  // namespace velmora::py
