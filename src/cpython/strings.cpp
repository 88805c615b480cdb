// Making `str` objects from UTF-8, interned names, and lossy text of a `str`.
#include "cpython/strings.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "cpython/api_failure.h"
#include "cpython/scope.h"
#include "reader/utf8.h"

namespace velmora::py {
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

// A new str from valid UTF-8, or NULL with the interpreter's error set. ASCII, the common case
// for names and values, is copied straight into a compact str without decoding.
PyObject* make_string(std::string_view text) {
  const auto n = static_cast<Py_ssize_t>(text.size());
  if (!is_ascii(text)) return PyUnicode_DecodeUTF8(text.data(), n, nullptr);
  PyObject* s = PyUnicode_New(n, 127);
  if (s != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(s), text.data(), text.size());
  return s;
}

PyObject* intern(std::string_view text) {
  PyObject* str = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (str == nullptr) panic_after_error();
  PyUnicode_InternInPlace(&str);
  return str;
}

}  // namespace

PyRef new_string(std::string_view text) {
  PyRef str = PyRef::steal(make_string(text));
  if (!str) panic_after_error();
  return str;
}

PyObject* interned(InternedName name) {
  static PyObject* cells[3] = {nullptr, nullptr, nullptr};
  static constexpr std::string_view texts[3] = {"__name__", "__all__", "__qualname__"};
  const auto index = static_cast<std::size_t>(name);
  if (cells[index] != nullptr) return cells[index];
  PyObject* str = intern(texts[index]);
  if (cells[index] != nullptr) {  // filled meanwhile by a re-entry: keep the first
    Py_DECREF(str);
    return cells[index];
  }
  cells[index] = str;
  return str;
}

reader::CowText to_string_lossy(PyObject* str) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(str, &size))
    return reader::CowText(std::string_view(data, static_cast<std::size_t>(size)));
  // Only an encoding error (a lone surrogate) gets here: it is not the news, so it is dropped.
  PyErr_Clear();
  PyObject* bytes =
      register_owned(PyRef::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass")));
  std::string text;
  reader::append_lossy(
      text, std::string_view(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))));
  return reader::CowText(std::move(text));
}

}  // namespace velmora::py
