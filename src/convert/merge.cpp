#include "convert/merge.h"

#include "convert/python_api.h"
#include "module/pyerr.h"
#include "module/text.h"

namespace velmora::convert {

std::optional<std::string> update_dict(PyObject* target, PyObject* key, PyObject* value) {
  // One lookup in the common case: insert unless present. Size tells whether it was inserted
  // (the stored value may be the very same object, e.g. None twice).
  const Py_ssize_t before = PyDict_GET_SIZE(target);
  PyObject* stored = PyDict_SetDefault(target, key, value);  // borrowed
  if (stored == nullptr) return unwrap_message_for_pending_error();
  if (PyDict_GET_SIZE(target) != before) return std::nullopt;

  if (PyType_HasFeature(Py_TYPE(stored), Py_TPFLAGS_LIST_SUBCLASS)) {
    if (PyList_Append(stored, value) < 0) return unwrap_message_for_pending_error();
    return std::nullopt;
  }
  Ref list = Ref::steal(PyList_New(2));
  if (!list) py::panic_after_error();
  PyList_SET_ITEM(list.get(), 0, Py_NewRef(stored));
  PyList_SET_ITEM(list.get(), 1, Py_NewRef(value));
  if (PyDict_SetItem(target, key, list.get()) < 0) return unwrap_message_for_pending_error();
  return std::nullopt;
}

CollapseResult collapse_text_only(PyObject* element) {
  if (PyDict_GET_SIZE(element) != 1) return {Py_NewRef(element), {}};
  PyObject* text = PyDict_GetItemWithError(element, text_key());  // borrowed
  if (text == nullptr) {
    if (PyErr_Occurred()) return {nullptr, unwrap_message_for_pending_error()};
    return {Py_NewRef(element), {}};  // the one key is not "#text"
  }
  if (!PyType_HasFeature(Py_TYPE(text), Py_TPFLAGS_UNICODE_SUBCLASS)) {
    // An element named "#text" put a non-text value there.
    return {nullptr, unwrap_message_for_not_text(text)};
  }
  if (PyUnicode_CheckExact(text)) return {Py_NewRef(text), {}};
  Py_ssize_t n = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &n);
  if (utf8 == nullptr) return {nullptr, unwrap_message_for_pending_error()};
  return {py::new_string_ref(std::string_view(utf8, static_cast<size_t>(n))).release(), {}};
}

}  // namespace velmora::convert
