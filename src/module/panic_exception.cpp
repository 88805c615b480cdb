#include "module/panic_exception.h"

#include <string>

#include "module/failure.h"
#include "module/pyerr.h"

namespace velmora::py {

namespace {
PyObject* cell = nullptr;  // one strong reference for the rest of the process
}  // namespace

PyObject* existing_panic_exception_type() noexcept { return cell; }

PyObject* panic_exception_type() {
  if (cell != nullptr) return cell;
  if (PyExc_BaseException == nullptr) panic_after_error();

  PyObject* type = PyErr_NewExceptionWithDoc(kPanicExceptionName, kPanicExceptionDoc.data(),
                                             PyExc_BaseException, nullptr);
  if (type == nullptr) {
    // Taken directly rather than through `take`, which looks for the very type that failed.
    PyObject* raised = PyErr_GetRaisedException();
    PyErr err = raised != nullptr
                    ? PyErr::normalized(PyRef::steal(raised))
                    : PyErr::with_message(PyExc_SystemError, kNoExceptionSet);
    std::string message = "Failed to initialize new exception type.: ";
    append_printed_form(message, err);
    fail(std::move(message));
  }
  if (cell != nullptr) {  // made meanwhile by a re-entry: keep the first
    Py_DECREF(type);
    return cell;
  }
  cell = type;
  return cell;
}

}  // namespace velmora::py
