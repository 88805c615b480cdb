// `parse(xml)`: its parameter description, its body and its entry from the interpreter.
#include "module/parse_function.h"

#include <string_view>
#include <variant>

#include "convert/walk.h"
#include "module/binding.h"
#include "module/frame.h"
#include "cpython/text.h"

namespace velmora::py {
namespace {

constexpr std::string_view kParsePositional[] = {"xml"};
constexpr FunctionDescription kParseDescription{
    .class_name = std::nullopt,
    .function_name = "parse",
    .positional_names = kParsePositional,
    .positional_only_count = 0,
    .required_positional_count = 1,
    .keyword_only_params = {},
};

PyResult<PyRef> parse_body(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  using R = PyResult<PyRef>;
  PyObject* slots[1] = {nullptr};
  auto bound = kParseDescription.extract_arguments_fastcall(args, nargs, kwnames, slots);
  if (!bound) return R::err(std::move(bound).error());
  auto text = argument_units(slots[0]);
  if (!text) return R::err(argument_extraction_error("xml", std::move(text).error()));
  return std::visit([](auto units) { return convert::parse_document(units); }, text.value());
}

PyObject* parse_trampoline(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return trampoline([&] { return parse_body(args, nargs, kwnames); });
}

}  // namespace

PyMethodDef PARSE_METHOD = {
    "parse",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&parse_trampoline)),
    METH_FASTCALL | METH_KEYWORDS,
    "parse(xml)\n--\n\n",
};

}  // namespace velmora::py
