// Text crossing the boundary: argument text, the type-mismatch error, type names, str() of objects.
#include "cpython/text.h"

#include "cpython/api_failure.h"
#include "cpython/scope.h"
#include "cpython/strings.h"

namespace velmora::py {
namespace {

// The type-mismatch TypeError. Holds the object's type until it is raised or dropped.
class DowncastError final : public LazyError {
 public:
  DowncastError(PyObject* obj, const char* target)
      : type_(PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj)))), target_(target) {}
  ~DowncastError() override { register_decref(std::move(type_)); }

  std::pair<PyRef, PyRef> build() override {
    std::string message = "'";
    auto name = type_name(reinterpret_cast<PyTypeObject*>(type_.get()));
    message += name ? name.value() : std::string_view("<failed to extract type name>");
    message += "' object cannot be converted to '";
    message += target_;
    message += "'";
    if (PyExc_TypeError == nullptr) panic_after_error();
    return {PyRef::borrow(PyExc_TypeError), new_string(message)};
  }

 private:
  PyRef type_;
  const char* target_;
};

}  // namespace

PyResult<std::string_view> argument_text(PyObject* obj) {
  if (!PyUnicode_Check(obj)) return PyResult<std::string_view>::err(downcast_error(obj, "PyString"));
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return PyResult<std::string_view>::err(fetch_error());
  return PyResult<std::string_view>::ok(std::string_view(data, static_cast<std::size_t>(size)));
}

PyResult<std::string_view> call_text(PyObject* obj, PyRef& keep) {
  using R = PyResult<std::string_view>;
  // Any str but a compact ASCII one carries the field of the cached UTF-8 form.
  if (!PyUnicode_Check(obj) || PyUnicode_IS_ASCII(obj) ||
      reinterpret_cast<PyCompactUnicodeObject*>(obj)->utf8 != nullptr) {
    return argument_text(obj);
  }
  keep = PyRef::steal(PyUnicode_AsUTF8String(obj));
  if (!keep) return R::err(fetch_error());
  const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(keep.get()));
  return R::ok(std::string_view(PyBytes_AS_STRING(keep.get()), size));
}

PyErr downcast_error(PyObject* obj, const char* target) {
  return PyErr::lazy(std::make_unique<DowncastError>(obj, target));
}

PyResult<std::string_view> type_name(PyTypeObject* type) {
  PyRef qualname = PyRef::steal(
      PyObject_GetAttr(reinterpret_cast<PyObject*>(type), interned(InternedName::Qualname)));
  if (!qualname) return PyResult<std::string_view>::err(fetch_error());
  return argument_text(register_owned(std::move(qualname)));
}

void append_display(std::string& out, PyObject* obj) {
  if (PyRef str = PyRef::steal(PyObject_Str(obj))) {
    out += to_string_lossy(register_owned(std::move(str))).view();
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

}  // namespace velmora::py
