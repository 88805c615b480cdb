// Argument binding of fast calls and the TypeError messages of wrong calls.
#include "module/binding.h"

#include <algorithm>
#include <vector>

#include "cpython/text.h"

namespace velmora::py {
namespace {

// Index of the entry whose name has exactly the bytes of `name`.
template <class Range, class NameOf>
std::optional<std::size_t> find_name(const Range& range, std::string_view name, NameOf name_of) {
  for (std::size_t i = 0; i < range.size(); ++i) {
    std::string_view candidate = name_of(range[i]);
    if (candidate.size() == name.size() && candidate == name) return i;
  }
  return std::nullopt;
}

std::string_view plain(std::string_view name) { return name; }
std::string_view keyword(const KeywordOnlyParameter& param) { return param.name; }

PyErr type_error(std::string message) {
  return PyErr::with_message(PyExc_TypeError, std::move(message));
}

}  // namespace

PyResult<Done> FunctionDescription::extract_arguments_fastcall(PyObject* const* args,
                                                               Py_ssize_t nargs, PyObject* kwnames,
                                                               std::span<PyObject*> slots) const {
  using R = PyResult<Done>;
  const std::size_t positional_count = positional_names.size();
  const auto given = static_cast<std::size_t>(nargs);

  if (args != nullptr) {
    std::copy_n(args, std::min(positional_count, given), slots.begin());
    if (given > positional_count) return R::err(too_many_positional_arguments(nargs));
  }

  // Collected so that all of them can be named at once; stays empty (unallocated) normally.
  std::vector<std::string_view> positional_only_passed;
  const Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < keyword_count; ++i) {
    PyObject* name_object = PyTuple_GET_ITEM(kwnames, i);
    PyObject* value = args[nargs + i];
    if (!PyUnicode_Check(name_object)) return R::err(downcast_error(name_object, "PyString"));
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(name_object, &size);
    if (data == nullptr) {
      fetch_error();  // a name no parameter can have: its encoding error is not the news
      return R::err(unexpected_keyword_argument(name_object));
    }
    const std::string_view name(data, static_cast<std::size_t>(size));

    if (auto j = find_name(keyword_only_params, name, keyword)) {
      PyObject*& slot = slots[positional_count + *j];
      if (slot != nullptr) return R::err(multiple_values_for_argument(name));
      slot = value;
      continue;
    }
    auto k = find_name(positional_names, name, plain);
    if (!k) return R::err(unexpected_keyword_argument(name_object));
    if (*k < positional_only_count) {
      positional_only_passed.push_back(name);
      continue;
    }
    if (slots[*k] != nullptr) return R::err(multiple_values_for_argument(name));
    slots[*k] = value;
  }

  if (!positional_only_passed.empty())
    return R::err(positional_only_keyword_arguments(positional_only_passed));

  for (std::size_t i = given; i < required_positional_count; ++i) {
    if (slots[i] == nullptr) return R::err(missing_required_positional_arguments(slots));
  }
  for (std::size_t j = 0; j < keyword_only_params.size(); ++j) {
    if (keyword_only_params[j].required && slots[positional_count + j] == nullptr)
      return R::err(missing_required_keyword_arguments(slots.subspan(positional_count)));
  }
  return R::ok(Done{});
}

std::string FunctionDescription::call_name() const {
  std::string name;
  if (class_name) {
    name += *class_name;
    name += '.';
  }
  name += function_name;
  name += "()";
  return name;
}

PyErr FunctionDescription::too_many_positional_arguments(Py_ssize_t given) const {
  const std::size_t positional_count = positional_names.size();
  std::string message = call_name();
  if (required_positional_count == positional_count) {
    message += " takes " + std::to_string(positional_count);
  } else {
    message += " takes from " + std::to_string(required_positional_count) + " to " +
               std::to_string(positional_count);
  }
  message += " positional arguments but " + std::to_string(given) +
             (given == 1 ? " was given" : " were given");
  return type_error(std::move(message));
}

PyErr FunctionDescription::multiple_values_for_argument(std::string_view name) const {
  std::string message = call_name();
  message += " got multiple values for argument '";
  message += name;
  message += "'";
  return type_error(std::move(message));
}

PyErr FunctionDescription::unexpected_keyword_argument(PyObject* name) const {
  std::string message = call_name();
  message += " got an unexpected keyword argument '";
  append_display(message, name);
  message += "'";
  return type_error(std::move(message));
}

PyErr FunctionDescription::positional_only_keyword_arguments(
    std::span<const std::string_view> names) const {
  std::string message = call_name();
  message += " got some positional-only arguments passed as keyword arguments: ";
  push_parameter_list(message, names);
  return type_error(std::move(message));
}

PyErr FunctionDescription::missing_required_arguments(
    std::string_view kind, std::span<const std::string_view> names) const {
  std::string message = call_name();
  message += " missing " + std::to_string(names.size()) + " required ";
  message += kind;
  message += names.size() == 1 ? " argument: " : " arguments: ";
  push_parameter_list(message, names);
  return type_error(std::move(message));
}

PyErr FunctionDescription::missing_required_positional_arguments(
    std::span<PyObject* const> slots) const {
  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < required_positional_count; ++i)
    if (slots[i] == nullptr) missing.push_back(positional_names[i]);
  return missing_required_arguments("positional", missing);
}

PyErr FunctionDescription::missing_required_keyword_arguments(
    std::span<PyObject* const> keyword_slots) const {
  std::vector<std::string_view> missing;
  for (std::size_t j = 0; j < keyword_only_params.size(); ++j)
    if (keyword_only_params[j].required && keyword_slots[j] == nullptr)
      missing.push_back(keyword_only_params[j].name);
  return missing_required_arguments("keyword", missing);
}

void push_parameter_list(std::string& message, std::span<const std::string_view> names) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) message += ',';
      message += i + 1 == names.size() ? " and " : " ";
    }
    message += '\'';
    message += names[i];
    message += '\'';
  }
}

PyErr argument_extraction_error(std::string_view parameter_name, PyErr error) {
  if (error.type() != PyExc_TypeError) return error;  // exactly TypeError: subclasses pass
  PyObject* incoming = error.make_normalized();
  std::string message = "argument '";
  message += parameter_name;
  message += "': ";
  append_display(message, incoming);
  PyErr rewrapped = type_error(std::move(message));
  // Normalised before the cause is taken, so nothing that can fail runs while the new
  // reference to the cause is held outside a handle.
  PyObject* instance = rewrapped.make_normalized();
  PyRef cause = PyRef::steal(PyException_GetCause(incoming));
  // Takes over the cause's reference; also marks the context as suppressed, so only the
  // restated message shows.
  PyException_SetCause(instance, cause.release());
  return rewrapped;
}

}  // namespace velmora::py
