// `_velmora_test.reference_parse(xml)`: the level-by-level reference conversion, run through the
// same frame and argument handling as `velmora.parse`; and `parse_in_form(xml, form)`: the
// one-pass conversion of the same text in the unit form named, whatever form the str has.
#include <Python.h>

#include <string>
#include <string_view>

#include "convert/walk.h"
#include "cpython/text.h"
#include "module/frame.h"
#include "reference_walk.h"

namespace {

PyObject* reference_parse(PyObject*, PyObject* xml) {
  return velmora::py::trampoline([&]() -> velmora::py::PyResult<velmora::py::PyRef> {
    using R = velmora::py::PyResult<velmora::py::PyRef>;
    auto text = velmora::py::argument_text(xml);
    if (!text) return R::err(std::move(text).error());
    return R::ok(velmora::py::PyRef::steal(velmora::testing::reference_parse_document(text.value())));
  });
}

// The code points of `xml` in units of `Unit`, or nothing with ValueError set when one does not
// fit in a unit or is a surrogate (the reader's code-point forms hold none).
template <class Unit>
bool copy_units(PyObject* xml, std::basic_string<Unit>& out) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(xml);
  out.resize(static_cast<std::size_t>(n));
  const Py_UCS4 limit = sizeof(Unit) == 1 ? 0xFF : sizeof(Unit) == 2 ? 0xFFFF : 0x10FFFF;
  for (Py_ssize_t i = 0; i < n; ++i) {
    const Py_UCS4 c = PyUnicode_READ_CHAR(xml, i);
    if (c > limit || (c >= 0xD800 && c <= 0xDFFF)) {
      PyErr_SetString(PyExc_ValueError, "a character does not fit the form");
      return false;
    }
    out[static_cast<std::size_t>(i)] = static_cast<Unit>(c);
  }
  return true;
}

template <class Unit>
PyObject* parse_units(PyObject* xml) {
  std::basic_string<Unit> units;
  if (!copy_units(xml, units)) return nullptr;
  return velmora::py::trampoline([&] { return velmora::convert::parse_document(std::basic_string_view<Unit>(units)); });
}

PyObject* parse_in_form(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2 || !PyUnicode_Check(args[0]) || !PyUnicode_Check(args[1])) {
    PyErr_SetString(PyExc_TypeError, "parse_in_form(xml: str, form: str)");
    return nullptr;
  }
  const std::string_view form = PyUnicode_AsUTF8(args[1]);
  PyObject* xml = args[0];
  if (form == "utf8") {
    return velmora::py::trampoline([&]() -> velmora::py::PyResult<velmora::py::PyRef> {
      auto text = velmora::py::argument_text(xml);
      if (!text) return velmora::py::PyResult<velmora::py::PyRef>::err(std::move(text).error());
      return velmora::convert::parse_document(text.value());
    });
  }
  if (form == "latin1") return parse_units<char8_t>(xml);
  if (form == "ucs2") return parse_units<char16_t>(xml);
  if (form == "ucs4") return parse_units<char32_t>(xml);
  PyErr_SetString(PyExc_ValueError, "form: utf8, latin1, ucs2 or ucs4");
  return nullptr;
}

PyMethodDef kReferenceMethods[] = {
    {"reference_parse", reference_parse, METH_O, "reference_parse(xml)\n--\n\n"},
    {"parse_in_form", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&parse_in_form)),
     METH_FASTCALL, "parse_in_form(xml, form)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_reference_hooks(PyObject* module) {
  if (PyModule_AddFunctions(module, kReferenceMethods) < 0) PyErr_Clear();
}
