#include "convert/python_api.h"

#include <cstdint>
#include <cstring>

#include "module/pyerr.h"
#include "module/text.h"

namespace velmora::convert {

std::string unwrap_message_for_pending_error() {
  py::PyErr err = py::fetch_error();
  std::string message(kUnwrapFrame);
  py::append_printed_form(message, err);
  return message;
}

void object_creation_failed(std::source_location where) { py::panic_after_error(where); }

std::string unwrap_message_for_not_text(PyObject* value) {
  py::PyErr err = py::downcast_error(value, "PyString");
  std::string message(kUnwrapFrame);
  py::append_printed_form(message, err);
  return message;
}

namespace {
bool is_ascii(std::string_view s) {
  const char* p = s.data();
  std::size_t n = s.size();
  std::uint64_t any = 0;
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    any |= word;
  }
  for (; n > 0; ++p, --n) any |= static_cast<unsigned char>(*p);
  return (any & 0x8080808080808080ull) == 0;
}
}  // namespace

Ref new_str(std::string_view utf8) {
  PyObject* s;
  if (is_ascii(utf8)) {
    s = PyUnicode_New(static_cast<Py_ssize_t>(utf8.size()), 127);
    if (s != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(s), utf8.data(), utf8.size());
  } else {
    s = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), nullptr);
  }
  if (s == nullptr) object_creation_failed();
  return Ref::steal(s);
}

Ref new_dict() {
  PyObject* d = PyDict_New();
  if (d == nullptr) object_creation_failed();
  return Ref::steal(d);
}

PyObject* text_key() {
  // Made once per process and kept; the interpreter lock serialises the first use.
  static PyObject* key = [] {
    PyObject* k = PyUnicode_InternFromString("#text");
    if (k == nullptr) object_creation_failed();
    return k;
  }();
  return key;
}

}  // namespace velmora::convert
