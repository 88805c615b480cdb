// Storing converted elements under their names, and collapsing text-only elements.
#include "convert/merge.h"

#include "cpython/api_failure.h"
#include "cpython/lists.h"
#include "cpython/strings.h"
#include "cpython/text.h"

namespace velmora::convert {

using py::Done;
using py::PyRef;

py::PyResult<Done> update_dict(PyObject* target, PyObject* key, PyObject* value, PyObject** list_out) {
  using R = py::PyResult<Done>;
  if (list_out != nullptr) *list_out = nullptr;
  // One lookup in the common case: insert unless present. Size tells whether it was inserted
  // (the stored value may be the very same object, e.g. None twice).
  const Py_ssize_t before = PyDict_GET_SIZE(target);
  PyObject* stored = PyDict_SetDefault(target, key, value);  // borrowed
  if (stored == nullptr) return R::err(py::fetch_error());
  if (PyDict_GET_SIZE(target) != before) return R::ok(Done{});
  PyObject* list = nullptr;
  auto joined = join_present(target, key, stored, value, &list);
  if (list_out != nullptr) *list_out = list;
  return joined;
}

py::PyResult<Done> join_present(PyObject* target, PyObject* key, PyObject* stored, PyObject* value,
                                PyObject** list_out) {
  using R = py::PyResult<Done>;
  *list_out = nullptr;
  if (PyType_HasFeature(Py_TYPE(stored), Py_TPFLAGS_LIST_SUBCLASS)) {
    if (!py::list_append(stored, value)) return R::err(py::fetch_error());
    *list_out = stored;
    return R::ok(Done{});
  }
  PyRef list = PyRef::steal(PyList_New(2));
  if (!list) py::panic_after_error();
  PyList_SET_ITEM(list.get(), 0, Py_NewRef(stored));
  PyList_SET_ITEM(list.get(), 1, Py_NewRef(value));
  if (PyDict_SetItem(target, key, list.get()) < 0) return R::err(py::fetch_error());
  *list_out = list.get();  // the dictionary holds it now
  return R::ok(Done{});
}

py::PyResult<PyRef> collapse_text_only(PyObject* element, PyObject* text_key) {
  using R = py::PyResult<PyRef>;
  if (PyDict_GET_SIZE(element) != 1) return R::ok(PyRef::borrow(element));
  PyObject* text = PyDict_GetItemWithError(element, text_key);  // borrowed
  if (text == nullptr) {
    if (PyErr_Occurred()) return R::err(py::fetch_error());
    return R::ok(PyRef::borrow(element));  // the one key is not "#text"
  }
  if (!PyType_HasFeature(Py_TYPE(text), Py_TPFLAGS_UNICODE_SUBCLASS)) {
    // An element named "#text" put a non-text value there.
    return R::err(py::downcast_error(text, "PyString"));
  }
  if (PyUnicode_CheckExact(text)) return R::ok(PyRef::borrow(text));
  Py_ssize_t n = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &n);
  if (utf8 == nullptr) return R::err(py::fetch_error());
  return R::ok(py::new_string(std::string_view(utf8, static_cast<size_t>(n))));
}

}  // namespace velmora::convert
