// Error values of the boundary (PyErr) with all their lazy builders: how they are taken from and
// given back to the interpreter, their printed form, and the PanicException of a caught fatal
// failure.
#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "cpython/ref.h"
#include "reader/result.h"

namespace velmora::py {

// A one-shot recipe for an exception, run only when the error is raised or inspected, so that a
// lazy error creates nothing in the interpreter until then. A builder that holds references
// gives them up with register_decref when it is destroyed.
class LazyError {
 public:
  virtual ~LazyError() = default;
  // The exception type and the value for PyErr_SetObject, both as owned references.
  virtual std::pair<PyRef, PyRef> build() = 0;
};

// One error value: lazy (a builder) or normalised (an exception instance). Move-only; raised at
// most once.
class PyErr {
 public:
  static PyErr lazy(std::unique_ptr<LazyError> builder) noexcept;
  // Takes over the reference to an exception instance.
  static PyErr normalized(PyRef instance) noexcept;
  // A lazy error of type `exc_type` (a standard exception type) whose one argument is `message`.
  static PyErr with_message(PyObject* exc_type, std::string message);

  PyErr(PyErr&& other) noexcept = default;
  PyErr& operator=(PyErr&& other) noexcept;
  ~PyErr();

  bool is_normalized() const noexcept { return static_cast<bool>(instance_); }

  // Creates the exception instance if the error is still lazy; returns it, borrowed.
  PyObject* make_normalized();
  // The exception's type, borrowed (normalises).
  PyObject* type() { return reinterpret_cast<PyObject*>(Py_TYPE(make_normalized())); }
  // True when the exception is an instance of `exc_type` (or of a subclass).
  bool matches(PyObject* exc_type) { return PyErr_GivenExceptionMatches(type(), exc_type) != 0; }

  // Sets the error as the thread's pending exception.
  void restore() &&;
  // The exception instance, with its traceback attached.
  PyRef into_value() &&;

 private:
  PyErr() noexcept = default;
  std::unique_ptr<LazyError> lazy_;
  PyRef instance_;
};

template <class T>
using PyResult = reader::Result<T, PyErr>;
// The value of a step that succeeds without producing anything.
using Done = std::monostate;

// The pending exception, taken out of the interpreter; nothing when none is pending. A
// PanicException that comes back from Python code is not returned: its message is printed and
// the fatal failure resumes.
std::optional<PyErr> take();

// `take`, or a SystemError with kNoExceptionSet when a failing API call left nothing pending.
PyErr fetch_error();
inline constexpr const char* kNoExceptionSet = "attempted to fetch exception but none was set";

// An error from an object: an exception instance as it is; anything else is raised as the
// "exception type" it claims to be, which the interpreter refuses with a TypeError.
PyErr from_value(PyObject* obj);

// Appends repr(obj), read lossily. When repr() fails the error is dropped, nothing is appended
// and false is returned: whoever builds the text stops there.
bool append_debug(std::string& out, PyObject* obj);

// Appends the printed form "PyErr { type: ..., value: ..., traceback: ... }". Normalises the
// error. If a repr() fails, the text stops right after that field's name and false is returned.
bool append_printed_form(std::string& out, PyErr& err);

// The PanicException type (borrowed), made on first need and kept for the process. Failing to
// make it is a fatal failure.
PyObject* panic_exception_type();

// The error raised for a caught fatal failure: a PanicException whose one argument is the
// failure's message; a failure without a message gets a fixed text saying where it came from.
PyErr from_panic_payload(std::optional<std::string> message);
inline constexpr std::string_view kNativeFailureMessage =
    "a failure was raised by velmora's native code";

}  // namespace velmora::py
