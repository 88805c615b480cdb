// Single-phase module initialisation: the module object, its functions and __all__.
#include "module/module_init.h"

#include <string>

#include "convert/key_cache.h"
#include "cpython/forgotten.h"
#include "cpython/panic_exception.h"
#include "cpython/scope.h"
#include "cpython/strings.h"
#include "cpython/text.h"
#include "failure/failure.h"

namespace velmora::py {
namespace {

bool end_hook_registered = false;
ModuleDef* watched_module = nullptr;

// Runs at the end of the interpreter's finalisation, when its objects are gone and no Python
// call may be made: only pointers are dropped.
void forget_kept_objects() {
  end_hook_registered = false;
  if (watched_module != nullptr) {
    keep_forgotten(watched_module->module.release());
    watched_module->interpreter.store(-1);
  }
  forget_panic_exception_type();
  forget_interned_names();
  forget_deferred_releases();
  convert::forget_kept_keys();
}

}  // namespace

void forget_kept_objects_at_interpreter_end(ModuleDef* def) {
  if (def != nullptr) watched_module = def;
  if (end_hook_registered) return;
  // Refused only when the interpreter's few such hooks are all taken: the objects are then kept.
  end_hook_registered = Py_AtExit(&forget_kept_objects) == 0;
}

PyResult<PyRef> make_module(ModuleDef& def) {
  using R = PyResult<PyRef>;
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return R::err(fetch_error());

  std::int64_t owner = -1;
  if (!def.interpreter.compare_exchange_strong(owner, id) && owner != id)
    return R::err(PyErr::with_message(PyExc_ImportError, kSubinterpreterMessage));

  if (!def.module) {
    PyRef module = PyRef::steal(PyModule_Create2(&def.definition, 1013));
    if (!module) return R::err(fetch_error());
    // On failure the module is released and the cell stays empty: a later import starts over.
    auto initialized = def.initializer(module.get());
    if (!initialized) return R::err(std::move(initialized).error());
    if (!def.module) def.module = std::move(module);
    forget_kept_objects_at_interpreter_end(&def);
  }
  return R::ok(PyRef::borrow(def.module.get()));
}

PyResult<Done> add_function(PyObject* module, PyObject* function) {
  using R = PyResult<Done>;
  PyRef name_object = PyRef::steal(PyObject_GetAttr(function, interned(InternedName::Name)));
  if (!name_object) return R::err(fetch_error());
  auto name = argument_text(register_owned(std::move(name_object)));
  if (!name) return R::err(std::move(name).error());

  auto all = index(module);
  if (!all) return R::err(std::move(all).error());
  if (PyList_Append(all.value(), register_owned(new_string(name.value()))) != 0) {
    PyErr err = fetch_error();
    std::string message = "could not append __name__ to __all__: ";
    append_printed_form(message, err);
    fail(std::move(message));
  }
  if (PyObject_SetAttr(module, register_owned(new_string(name.value())), function) != 0)
    return R::err(fetch_error());
  return R::ok(Done{});
}

PyResult<PyObject*> index(PyObject* module) {
  using R = PyResult<PyObject*>;
  if (PyRef found = PyRef::steal(PyObject_GetAttr(module, interned(InternedName::All)))) {
    PyObject* all = register_owned(std::move(found));
    if (PyList_Check(all)) return R::ok(all);
    return R::err(downcast_error(all, "PyList"));
  }
  PyErr missing = fetch_error();
  if (!missing.matches(PyExc_AttributeError)) return R::err(std::move(missing));
  PyObject* list = register_owned(PyRef::steal(PyList_New(0)));
  if (PyObject_SetAttr(module, interned(InternedName::All), list) != 0)
    return R::err(fetch_error());
  return R::ok(list);
}

}  // namespace velmora::py
