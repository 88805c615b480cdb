// `_velmora_test`: the boundary's internals, reachable from pytest. Built only for tests and
// never installed. Every function runs through the same entry frame as `velmora.parse`.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "cpython/api_failure.h"
#include "cpython/pyerr.h"
#include "cpython/scope.h"
#include "cpython/scope_state.h"
#include "cpython/strings.h"
#include "cpython/text.h"
#include "failure/failure.h"
#include "hooks.h"
#include "module/binding.h"
#include "module/frame.h"

__attribute__((weak)) void add_failure_hooks(PyObject*) {}
__attribute__((weak)) void add_reference_hooks(PyObject*) {}
__attribute__((weak)) void add_floor_hooks(PyObject*) {}

namespace {

using namespace velmora::py;
using R = PyResult<PyRef>;

R wrong_arity(const char* name, Py_ssize_t expected) {
  return R::err(PyErr::with_message(
      PyExc_TypeError, std::string(name) + " expects " + std::to_string(expected) + " arguments"));
}

// Turns a hook body into a METH_FASTCALL entry with a fixed number of arguments.
#define VELMORA_HOOK(name, arity)                                                            \
  R name##_body(PyObject* const* args);                                                      \
  PyObject* name(PyObject*, PyObject* const* args, Py_ssize_t nargs) {                       \
    return trampoline([&]() -> R {                                                           \
      if (arity >= 0 && nargs != arity) return wrong_arity(#name, arity);                    \
      return name##_body(args);                                                              \
    });                                                                                      \
  }                                                                                          \
  R name##_body([[maybe_unused]] PyObject* const* args)

R none() { return R::ok(PyRef::borrow(Py_None)); }
R steal_or_error(PyObject* obj) {
  if (obj == nullptr) return R::err(fetch_error());
  return R::ok(PyRef::steal(obj));
}
R text_result(std::string_view text) { return R::ok(new_string(text)); }

// The text of a `str` argument, copied.
PyResult<std::string> owned_text(PyObject* obj) {
  auto text = argument_text(obj);
  if (!text) return PyResult<std::string>::err(std::move(text).error());
  return PyResult<std::string>::ok(std::string(text.value()));
}

// The exception's __cause__ as an error value, if it has one.
std::optional<PyErr> cause(PyErr& err) {
  PyRef cause = PyRef::steal(PyException_GetCause(err.make_normalized()));
  if (!cause) return std::nullopt;
  return from_value(register_owned(std::move(cause)));
}

// The scope's state as the hooks below report and set it.
namespace scope = velmora::py::scope_state;
std::size_t owned_count() {
  return scope::t_frames.owned != nullptr ? scope::t_frames.owned->size() : 0;
}
std::size_t pending_decrefs() {
  std::lock_guard lock(scope::reference_pool().mutex);
  return scope::reference_pool().pending_decrefs.size();
}

// bind(description, args, nargs, kwnames) with description =
// (class_name | None, function_name, positional_names, positional_only_count,
//  required_positional_count, ((keyword_only_name, required), ...)).
// `args` is a tuple (positional values, then keyword values) or None for a null vector.
// Returns {parameter name: bound value}.
VELMORA_HOOK(bind, 4) {
  PyObject* description = args[0];
  auto text = [](PyObject* obj) { return argument_text(obj).value(); };
  FunctionDescription desc;
  std::vector<std::string_view> positional;
  std::vector<KeywordOnlyParameter> keyword_only;
  PyObject* class_name = PyTuple_GET_ITEM(description, 0);
  if (class_name != Py_None) desc.class_name = text(class_name);
  desc.function_name = text(PyTuple_GET_ITEM(description, 1));
  PyObject* names = PyTuple_GET_ITEM(description, 2);
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i)
    positional.push_back(text(PyTuple_GET_ITEM(names, i)));
  desc.positional_only_count = PyLong_AsSize_t(PyTuple_GET_ITEM(description, 3));
  desc.required_positional_count = PyLong_AsSize_t(PyTuple_GET_ITEM(description, 4));
  PyObject* keywords = PyTuple_GET_ITEM(description, 5);
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(keywords); ++i) {
    PyObject* entry = PyTuple_GET_ITEM(keywords, i);
    keyword_only.push_back(
        {text(PyTuple_GET_ITEM(entry, 0)), PyObject_IsTrue(PyTuple_GET_ITEM(entry, 1)) == 1});
  }
  desc.positional_names = positional;
  desc.keyword_only_params = keyword_only;

  PyObject* const* vector = args[1] == Py_None ? nullptr : &PyTuple_GET_ITEM(args[1], 0);
  const Py_ssize_t nargs = PyLong_AsSsize_t(args[2]);
  PyObject* kwnames = args[3] == Py_None ? nullptr : args[3];
  std::vector<PyObject*> slots(desc.slot_count(), nullptr);
  auto bound = desc.extract_arguments_fastcall(vector, nargs, kwnames, slots);
  if (!bound) return R::err(std::move(bound).error());

  PyRef result = PyRef::borrow(register_owned(PyRef::steal(PyDict_New())));
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (slots[i] == nullptr) continue;
    std::string_view name = i < positional.size() ? positional[i]
                                                  : keyword_only[i - positional.size()].name;
    if (PyDict_SetItem(result.get(), register_owned(new_string(name)), slots[i]) != 0) return R::err(fetch_error());
  }
  return R::ok(std::move(result));
}

// The borrowed UTF-8 text of an argument, copied into a new str.
VELMORA_HOOK(text_of, 1) {
  auto text = argument_text(args[0]);
  if (!text) return R::err(std::move(text).error());
  return text_result(text.value());
}

VELMORA_HOOK(owned_text_of, 1) {
  auto text = owned_text(args[0]);
  if (!text) return R::err(std::move(text).error());
  return text_result(text.value());
}

VELMORA_HOOK(lossy, 1) { return text_result(to_string_lossy(args[0]).view()); }

VELMORA_HOOK(display, 1) {
  std::string out;
  append_display(out, args[0]);
  return text_result(out);
}

// (text so far, whether repr() succeeded)
VELMORA_HOOK(debug, 1) {
  std::string out;
  const bool complete = append_debug(out, args[0]);
  return steal_or_error(Py_BuildValue("(s#O)", out.data(), static_cast<Py_ssize_t>(out.size()),
                                      complete ? Py_True : Py_False));
}

VELMORA_HOOK(printed_form, 1) {
  PyErr err = from_value(args[0]);
  std::string out;
  append_printed_form(out, err);
  return text_result(out);
}

VELMORA_HOOK(rewrap, 2) {
  auto name = argument_text(args[0]);
  if (!name) return R::err(std::move(name).error());
  return R::err(argument_extraction_error(name.value(), from_value(args[1])));
}

VELMORA_HOOK(type_mismatch, 1) { return R::err(downcast_error(args[0], "PyString")); }

VELMORA_HOOK(raise_value, 1) { return R::err(from_value(args[0])); }

VELMORA_HOOK(cause_of, 1) {
  PyErr err = from_value(args[0]);
  auto found = cause(err);
  if (!found) return none();
  return R::ok(std::move(*found).into_value());
}

// Calls f(); an exception it raises is taken back through fetch_error and raised again.
VELMORA_HOOK(call, 1) { return steal_or_error(PyObject_CallNoArgs(args[0])); }

VELMORA_HOOK(fail, 1) {
  auto message = owned_text(args[0]);
  if (!message) return R::err(std::move(message).error());
  velmora::fail(std::move(message).value());
}

VELMORA_HOOK(throw_native, 1) {
  auto text = owned_text(args[0]);
  const std::string kind = text ? text.value() : std::string();
  if (kind == "bad_alloc") throw std::bad_alloc();
  if (kind == "runtime_error") throw std::runtime_error("not a fatal failure");
  throw 42;
}

VELMORA_HOOK(panic_after_error, 0) { velmora::py::panic_after_error(); }

// (GIL_COUNT, entries in this thread's scope array), seen from inside a frame.
VELMORA_HOOK(scope_state, 0) {
  return steal_or_error(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(scope::t_frames.entries),
                                      static_cast<Py_ssize_t>(owned_count())));
}

// Hands a new reference to each argument to the frame's scope.
PyObject* own(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return trampoline([&]() -> R {
    for (Py_ssize_t i = 0; i < nargs; ++i) register_owned(PyRef::borrow(args[i]));
    return none();
  });
}

// Registers the result of f() in the scope, so the scope holds its only reference.
VELMORA_HOOK(own_result_of, 1) {
  PyRef result = PyRef::steal(PyObject_CallNoArgs(args[0]));
  if (!result) return R::err(fetch_error());
  register_owned(std::move(result));
  return none();
}

// Registers `a` in the frame's scope and `b` in a nested scope; returns the reference count
// changes (b inside the nested scope, b after it closed, a after it closed).
VELMORA_HOOK(nested_scope, 2) {
  PyObject* a = args[0];
  PyObject* b = args[1];
  const Py_ssize_t a0 = Py_REFCNT(a), b0 = Py_REFCNT(b);
  register_owned(PyRef::borrow(a));
  Py_ssize_t b_inside = 0;
  {
    GILPool inner;
    register_owned(PyRef::borrow(b));
    b_inside = Py_REFCNT(b) - b0;
  }
  return steal_or_error(
      Py_BuildValue("(nnn)", b_inside, Py_REFCNT(b) - b0, Py_REFCNT(a) - a0));
}

// Takes a reference to `obj` and gives it up on a thread that is not inside module code, so the
// release is queued. Returns the number of queued releases.
VELMORA_HOOK(decref_from_thread, 1) {
  PyObject* obj = Py_NewRef(args[0]);
  std::thread([obj] { register_decref(PyRef::steal(obj)); }).join();
  return steal_or_error(PyLong_FromSize_t(pending_decrefs()));
}

// Leaves GIL_COUNT at `value` once this frame has ended.
VELMORA_HOOK(set_gil_count, 1) {
  scope::t_frames.entries = PyLong_AsSsize_t(args[0]) + 1;
  return none();
}

#undef VELMORA_HOOK

#define FASTCALL(name) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&name))
PyMethodDef kMethods[] = {
    {"bind", FASTCALL(bind), METH_FASTCALL, nullptr},
    {"text_of", FASTCALL(text_of), METH_FASTCALL, nullptr},
    {"owned_text_of", FASTCALL(owned_text_of), METH_FASTCALL, nullptr},
    {"lossy", FASTCALL(lossy), METH_FASTCALL, nullptr},
    {"display", FASTCALL(display), METH_FASTCALL, nullptr},
    {"debug", FASTCALL(debug), METH_FASTCALL, nullptr},
    {"printed_form", FASTCALL(printed_form), METH_FASTCALL, nullptr},
    {"rewrap", FASTCALL(rewrap), METH_FASTCALL, nullptr},
    {"type_mismatch", FASTCALL(type_mismatch), METH_FASTCALL, nullptr},
    {"raise_value", FASTCALL(raise_value), METH_FASTCALL, nullptr},
    {"cause_of", FASTCALL(cause_of), METH_FASTCALL, nullptr},
    {"call", FASTCALL(call), METH_FASTCALL, nullptr},
    {"fail", FASTCALL(fail), METH_FASTCALL, nullptr},
    {"throw_native", FASTCALL(throw_native), METH_FASTCALL, nullptr},
    {"panic_after_error", FASTCALL(panic_after_error), METH_FASTCALL, nullptr},
    {"scope_state", FASTCALL(scope_state), METH_FASTCALL, nullptr},
    {"own", FASTCALL(own), METH_FASTCALL, nullptr},
    {"own_result_of", FASTCALL(own_result_of), METH_FASTCALL, nullptr},
    {"nested_scope", FASTCALL(nested_scope), METH_FASTCALL, nullptr},
    {"decref_from_thread", FASTCALL(decref_from_thread), METH_FASTCALL, nullptr},
    {"set_gil_count", FASTCALL(set_gil_count), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
#undef FASTCALL

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_velmora_test", "Test-only access to velmora's boundary.", -1,
    kMethods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__velmora_test(void) {
  PyObject* module = PyModule_Create(&kModule);
  if (module == nullptr) return nullptr;
  add_failure_hooks(module);
  add_reference_hooks(module);
  add_floor_hooks(module);
  return module;
}
