// Text crossing the boundary: argument text, the type-mismatch error, type names, str() of objects.
#include "cpython/text.h"

#include <cstdint>

#include "cpython/api_failure.h"
#include "cpython/scope.h"
#include "cpython/strings.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Whether any unit is a surrogate (U+D800 to U+DFFF), sixteen bytes at a time, tested once per
// four of them (the whole argument is scanned, and a surrogate is rare).
template <class Unit>
bool has_surrogate(std::basic_string_view<Unit> units) {
  const Unit* p = units.data();
  const Unit* const end = p + units.size();
#if defined(__SSE2__)
  constexpr std::size_t kLanes = 16 / sizeof(Unit);
  const __m128i high = sizeof(Unit) == 2 ? _mm_set1_epi16(static_cast<short>(0xF800))
                                         : _mm_set1_epi32(static_cast<int>(0xFFFFF800u));
  const __m128i surrogate = sizeof(Unit) == 2 ? _mm_set1_epi16(static_cast<short>(0xD800))
                                              : _mm_set1_epi32(0xD800);
  const auto surrogates = [&](const Unit* at) {
    const __m128i v = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), high);
    return sizeof(Unit) == 2 ? _mm_cmpeq_epi16(v, surrogate) : _mm_cmpeq_epi32(v, surrogate);
  };
  for (; static_cast<std::size_t>(end - p) >= 4 * kLanes; p += 4 * kLanes) {
    const __m128i any = _mm_or_si128(_mm_or_si128(surrogates(p), surrogates(p + kLanes)),
                                     _mm_or_si128(surrogates(p + 2 * kLanes), surrogates(p + 3 * kLanes)));
    if (_mm_movemask_epi8(any) != 0) return true;
  }
  for (; static_cast<std::size_t>(end - p) >= kLanes; p += kLanes) {
    if (_mm_movemask_epi8(surrogates(p)) != 0) return true;
  }
#endif
  for (; p < end; ++p)
    if ((static_cast<std::uint32_t>(*p) & 0xFFFFF800u) == 0xD800) return true;
  return false;
}

}  // namespace

PyResult<std::string_view> argument_text(PyObject* obj) {
  if (!PyUnicode_Check(obj)) return PyResult<std::string_view>::err(downcast_error(obj, "PyString"));
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return PyResult<std::string_view>::err(fetch_error());
  return PyResult<std::string_view>::ok(std::string_view(data, static_cast<std::size_t>(size)));
}

PyResult<ArgumentUnits> argument_units(PyObject* obj) {
  using R = PyResult<ArgumentUnits>;
  if (!PyUnicode_Check(obj) || PyUnicode_IS_ASCII(obj)) {
    auto text = argument_text(obj);
    if (!text) return R::err(std::move(text).error());
    return R::ok(text.value());
  }
  const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj));
  const void* data = PyUnicode_DATA(obj);
  switch (PyUnicode_KIND(obj)) {
    case PyUnicode_1BYTE_KIND:
      return R::ok(std::u8string_view(static_cast<const char8_t*>(data), n));
    case PyUnicode_2BYTE_KIND: {
      const std::u16string_view units(static_cast<const char16_t*>(data), n);
      if (!has_surrogate(units)) return R::ok(units);
      break;
    }
    default: {
      const std::u32string_view units(static_cast<const char32_t*>(data), n);
      if (!has_surrogate(units)) return R::ok(units);
      break;
    }
  }
  auto failed = argument_text(obj);  // fails: a surrogate cannot be encoded
  if (!failed) return R::err(std::move(failed).error());
  return R::ok(failed.value());
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
