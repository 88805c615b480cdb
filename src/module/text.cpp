#include "module/text.h"

#include <cstdint>
#include <cstring>

#include "module/scope.h"

namespace velmora::py {
namespace {

// The type-mismatch TypeError. Holds the object's type until it is raised or dropped.
class DowncastError final : public LazyError {
 public:
  DowncastError(PyObject* obj, const char* target)
      : type_(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(obj)))), target_(target) {}
  ~DowncastError() override { register_decref(type_); }

  std::pair<PyRef, PyRef> build() override {
    std::string message = "'";
    auto name = type_name(reinterpret_cast<PyTypeObject*>(type_));
    message += name ? name.value() : std::string_view("<failed to extract type name>");
    message += "' object cannot be converted to '";
    message += target_;
    message += "'";
    if (PyExc_TypeError == nullptr) panic_after_error();
    return {PyRef::borrow(PyExc_TypeError), new_string_ref(message)};
  }

 private:
  PyObject* type_;
  const char* target_;
};

PyObject* intern(std::string_view text) {
  PyObject* str = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (str == nullptr) panic_after_error();
  PyUnicode_InternInPlace(&str);
  return str;
}

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// UTF-8 decoding that replaces each maximal invalid subpart with U+FFFD: a lead byte together
// with the continuation bytes that could still have completed it counts as one bad sequence.
std::string decode_lossy(std::string_view bytes) {
  auto at = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::uint8_t lead = at(i);
    if (lead < 0x80) {
      out += static_cast<char>(lead);
      ++i;
      continue;
    }
    std::size_t length = 0;
    std::uint8_t low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;   // no overlong forms
      if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;   // no overlong forms
      if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    }
    std::size_t good = 1;  // bytes of this sequence that are acceptable so far
    if (length != 0) {
      if (i + 1 < bytes.size() && at(i + 1) >= low && at(i + 1) <= high) {
        good = 2;
        while (good < length && i + good < bytes.size() && (at(i + good) & 0xC0) == 0x80) ++good;
      }
    }
    if (good == length) {
      out.append(bytes.substr(i, length));
    } else {
      out += kReplacement;
    }
    i += good;
  }
  return out;
}

}  // namespace

PyResult<std::string_view> argument_text(PyObject* obj) {
  if (!PyUnicode_Check(obj)) return PyResult<std::string_view>::err(downcast_error(obj, "PyString"));
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return PyResult<std::string_view>::err(fetch_error());
  return PyResult<std::string_view>::ok(std::string_view(data, static_cast<std::size_t>(size)));
}

PyResult<std::string> owned_text(PyObject* obj) {
  auto text = argument_text(obj);
  if (!text) return PyResult<std::string>::err(std::move(text).error());
  return PyResult<std::string>::ok(std::string(text.value()));
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

// A new str from valid UTF-8, or NULL with the interpreter's error set. ASCII, the common case
// for names and values, is copied straight into a compact str without decoding.
PyObject* make_string(std::string_view text) {
  const auto n = static_cast<Py_ssize_t>(text.size());
  if (!is_ascii(text)) return PyUnicode_DecodeUTF8(text.data(), n, nullptr);
  PyObject* s = PyUnicode_New(n, 127);
  if (s != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(s), text.data(), text.size());
  return s;
}

}  // namespace

PyObject* new_string(std::string_view text) { return register_new(make_string(text)); }

PyRef new_string_ref(std::string_view text) {
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

PyErr downcast_error(PyObject* obj, const char* target) {
  return PyErr::lazy(std::make_unique<DowncastError>(obj, target));
}

PyResult<std::string_view> type_name(PyTypeObject* type) {
  PyObject* qualname =
      PyObject_GetAttr(reinterpret_cast<PyObject*>(type), interned(InternedName::Qualname));
  if (qualname == nullptr) return PyResult<std::string_view>::err(fetch_error());
  register_owned(qualname);
  return argument_text(qualname);
}

reader::CowText to_string_lossy(PyObject* str) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(str, &size))
    return reader::CowText(std::string_view(data, static_cast<std::size_t>(size)));
  PyErr held = fetch_error();  // clears the indicator; dropped on return
  PyObject* bytes = register_new(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
  return reader::CowText(decode_lossy(
      std::string_view(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)))));
}

void append_display(std::string& out, PyObject* obj) {
  if (PyObject* str = PyObject_Str(obj)) {
    register_owned(str);
    out += to_string_lossy(str).view();
    return;
  }
  fetch_error().restore();
  PyErr_WriteUnraisable(obj);
  if (auto name = type_name(Py_TYPE(obj))) {
    out += "<unprintable ";
    out += name.value();
    out += " object>";
  } else {
    out += "<unprintable object>";
  }
}

bool append_debug(std::string& out, PyObject* obj) {
  if (PyObject* repr = PyObject_Repr(obj)) {
    register_owned(repr);
    out += to_string_lossy(repr).view();
    return true;
  }
  PyErr dropped = fetch_error();
  return false;
}

}  // namespace velmora::py
