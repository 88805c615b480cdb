// Binding the arguments of a fast-call (METH_FASTCALL | METH_KEYWORDS) to a function's
// parameters, and the TypeError messages of every wrong call.
#pragma once

#include <Python.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "cpython/pyerr.h"

namespace velmora::py {

struct KeywordOnlyParameter {
  std::string_view name;
  bool required;
};

// The constant description of one callable's parameters. Slots are laid out as the positional
// parameters in order, then the keyword-only ones.
struct FunctionDescription {
  std::optional<std::string_view> class_name;
  std::string_view function_name;
  std::span<const std::string_view> positional_names;
  std::size_t positional_only_count = 0;
  std::size_t required_positional_count = 0;
  std::span<const KeywordOnlyParameter> keyword_only_params;

  std::size_t slot_count() const { return positional_names.size() + keyword_only_params.size(); }

  // Fills `slots` (all null on entry, slot_count() of them) with borrowed references from the
  // call; a slot left null was not given. Allocates nothing unless the call is wrong.
  PyResult<Done> extract_arguments_fastcall(PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames, std::span<PyObject*> slots) const;

  // "f()" or "C.f()", as every message names the callable.
  std::string call_name() const;

  PyErr too_many_positional_arguments(Py_ssize_t given) const;
  PyErr multiple_values_for_argument(std::string_view name) const;
  PyErr unexpected_keyword_argument(PyObject* name) const;
  PyErr positional_only_keyword_arguments(std::span<const std::string_view> names) const;
  PyErr missing_required_arguments(std::string_view kind,
                                   std::span<const std::string_view> names) const;
  PyErr missing_required_positional_arguments(std::span<PyObject* const> slots) const;
  PyErr missing_required_keyword_arguments(std::span<PyObject* const> keyword_slots) const;
};

// Appends 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
void push_parameter_list(std::string& message, std::span<const std::string_view> names);

// The error raised when a bound argument cannot be converted: a TypeError (exactly) is restated
// as "argument '<name>': <message>", keeping its cause; any other error passes unchanged.
PyErr argument_extraction_error(std::string_view parameter_name, PyErr error);

}  // namespace velmora::py
