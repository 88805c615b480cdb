// The PanicException type's cell and its one-time creation.
#include "cpython/panic_exception.h"

#include "cpython/forgotten.h"

namespace velmora::py {

namespace {
PyObject* cell = nullptr;  // one strong reference, until the interpreter is finalised
}  // namespace

PyObject* existing_panic_exception_type() noexcept { return cell; }

PyObject* create_panic_exception_type() {
  if (cell != nullptr) return cell;
  PyObject* type = PyErr_NewExceptionWithDoc(kPanicExceptionName, kPanicExceptionDoc.data(),
                                             PyExc_BaseException, nullptr);
  if (type == nullptr) return nullptr;
  if (cell != nullptr) {  // made meanwhile by a re-entry: keep the first
    Py_DECREF(type);
    return cell;
  }
  cell = type;
  return cell;
}

void forget_panic_exception_type() noexcept {
  keep_forgotten(cell);
  cell = nullptr;
}

}  // namespace velmora::py
