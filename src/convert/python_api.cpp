#include "convert/python_api.h"

#include "module/pyerr.h"
#include "module/text.h"

namespace velmora::convert {

namespace {
std::string unwrap_message(py::PyErr err) {
  std::string message(kUnwrapFrame);
  py::append_printed_form(message, err);
  return message;
}
}  // namespace

std::string unwrap_message_for_pending_error() { return unwrap_message(py::fetch_error()); }

std::string unwrap_message_for_not_text(PyObject* value) {
  return unwrap_message(py::downcast_error(value, "PyString"));
}

Ref new_dict() {
  PyObject* d = PyDict_New();
  if (d == nullptr) py::panic_after_error();
  return Ref::steal(d);
}

PyObject* text_key() {
  // Made once per process and kept; the interpreter lock serialises the first use.
  static PyObject* key = [] {
    PyObject* k = PyUnicode_InternFromString("#text");
    if (k == nullptr) py::panic_after_error();
    return k;
  }();
  return key;
}

}  // namespace velmora::convert
