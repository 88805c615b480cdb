// `_velmora_test.reference_parse(xml)`: the level-by-level reference conversion, run through the
// same frame and argument handling as `velmora.parse`.
#include <Python.h>

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

PyMethodDef kReferenceMethods[] = {
    {"reference_parse", reference_parse, METH_O, "reference_parse(xml)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_reference_hooks(PyObject* module) {
  if (PyModule_AddFunctions(module, kReferenceMethods) < 0) PyErr_Clear();
}
