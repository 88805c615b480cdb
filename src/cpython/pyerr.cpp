// PyErr: lazy and normalised error values, their builders, taking and raising them, their
// printed form, and the PanicException of a caught fatal failure.
#include "cpython/pyerr.h"

#include "cpython/api_failure.h"
#include "cpython/panic_exception.h"
#include "cpython/scope.h"
#include "cpython/strings.h"
#include "failure/failure.h"
#include "failure/output.h"

namespace velmora::py {
namespace {

// A standard exception type with one text argument.
class MessageError final : public LazyError {
 public:
  MessageError(PyObject* exc_type, std::string message)
      : exc_type_(exc_type), message_(std::move(message)) {}
  std::pair<PyRef, PyRef> build() override {
    if (exc_type_ == nullptr) panic_after_error();
    return {PyRef::borrow(exc_type_), new_string(message_)};
  }

 private:
  PyObject* exc_type_;  // a static type of the interpreter, borrowed: never released
  std::string message_;
};

// An object that is not an exception, raised as if it were an exception type: the interpreter
// refuses it with its own TypeError.
class NotAnException final : public LazyError {
 public:
  explicit NotAnException(PyObject* obj) : obj_(PyRef::borrow(obj)), none_(PyRef::borrow(Py_None)) {}
  ~NotAnException() override {
    register_decref(std::move(obj_));
    register_decref(std::move(none_));
  }
  std::pair<PyRef, PyRef> build() override { return {std::move(obj_), std::move(none_)}; }

 private:
  PyRef obj_;
  PyRef none_;
};

// The PanicException of a caught fatal failure: args is the 1-tuple (message,).
class PanicMessage final : public LazyError {
 public:
  explicit PanicMessage(std::string message) : message_(std::move(message)) {}
  std::pair<PyRef, PyRef> build() override {
    PyRef type = PyRef::borrow(panic_exception_type());
    PyRef args = PyRef::steal(PyTuple_New(1));
    if (!args) panic_after_error();
    PyTuple_SET_ITEM(args.get(), 0, new_string(message_).release());
    return {std::move(type), std::move(args)};
  }

 private:
  std::string message_;
};

// Runs a builder and sets what it yields as the pending exception.
void raise_lazy(std::unique_ptr<LazyError> builder) {
  auto [type, value] = builder->build();
  builder.reset();
  if (PyExceptionClass_Check(type.get()))
    PyErr_SetObject(type.get(), value.get());
  else
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  value.reset();
  type.reset();
}

// A PanicException came back from Python code: show it, then carry on with the failure it
// stands for. The frame that catches the failure raises a fresh PanicException with `message`.
[[noreturn]] void print_panic_and_unwind(PyRef exc, std::string message) {
  failure_output::StderrLine()
      << "--- velmora is resuming a fatal failure after fetching a PanicException from Python. ---"
      << "\n";
  failure_output::StderrLine() << "Python stack trace below:\n";
  PyErr_SetRaisedException(exc.release());
  PyErr_PrintEx(0);
  resume_failure(std::move(message));
}

}  // namespace

PyErr PyErr::lazy(std::unique_ptr<LazyError> builder) noexcept {
  PyErr err;
  err.lazy_ = std::move(builder);
  return err;
}

PyErr PyErr::normalized(PyRef instance) noexcept {
  PyErr err;
  err.instance_ = std::move(instance);
  return err;
}

PyErr PyErr::with_message(PyObject* exc_type, std::string message) {
  return lazy(std::make_unique<MessageError>(exc_type, std::move(message)));
}

PyErr& PyErr::operator=(PyErr&& other) noexcept {
  if (this != &other) {
    PyErr old(std::move(*this));
    lazy_ = std::move(other.lazy_);
    instance_ = std::move(other.instance_);
  }
  return *this;
}

PyErr::~PyErr() { register_decref(std::move(instance_)); }

PyObject* PyErr::make_normalized() {
  if (instance_) return instance_.get();
  if (!lazy_) fail("Cannot normalize a PyErr while already normalizing it.");
  raise_lazy(std::move(lazy_));  // the state stays empty until the instance is back
  instance_ = PyRef::steal(PyErr_GetRaisedException());
  if (!instance_) fail("exception missing after writing to the interpreter");
  return instance_.get();
}

void PyErr::restore() && {
  if (instance_) {
    PyErr_SetRaisedException(instance_.release());
    return;
  }
  if (!lazy_) fail("PyErr state should never be invalid outside of normalization");
  raise_lazy(std::move(lazy_));
}

PyRef PyErr::into_value() && {
  PyRef instance = PyRef::borrow(make_normalized());
  if (PyRef traceback = PyRef::steal(PyException_GetTraceback(instance.get())))
    PyException_SetTraceback(instance.get(), traceback.get());
  PyErr consumed(std::move(*this));
  return instance;
}

std::optional<PyErr> take() {
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  if (!exc) return std::nullopt;
  // Exact type only: a subclass made by Python code is an ordinary exception.
  PyObject* panic_type = existing_panic_exception_type();
  if (panic_type == nullptr || reinterpret_cast<PyObject*>(Py_TYPE(exc.get())) != panic_type)
    return PyErr::normalized(std::move(exc));

  std::string message;
  if (PyRef text = PyRef::steal(PyObject_Str(exc.get()))) {
    message = to_string_lossy(register_owned(std::move(text))).view();
  } else {
    PyErr_Clear();
    message = "Unwrapped panic from Python code";
  }
  print_panic_and_unwind(std::move(exc), std::move(message));
}

PyErr fetch_error() {
  if (auto err = take()) return std::move(*err);
  return PyErr::with_message(PyExc_SystemError, kNoExceptionSet);
}

PyErr from_value(PyObject* obj) {
  if (PyExceptionInstance_Check(obj)) return PyErr::normalized(PyRef::borrow(obj));
  return PyErr::lazy(std::make_unique<NotAnException>(obj));
}

bool append_debug(std::string& out, PyObject* obj) {
  if (PyRef repr = PyRef::steal(PyObject_Repr(obj))) {
    out += to_string_lossy(register_owned(std::move(repr))).view();
    return true;
  }
  PyErr dropped = fetch_error();
  return false;
}

bool append_printed_form(std::string& out, PyErr& err) {
  PyObject* instance = err.make_normalized();
  out += "PyErr { type: ";
  if (!append_debug(out, reinterpret_cast<PyObject*>(Py_TYPE(instance)))) return false;
  out += ", value: ";
  if (!append_debug(out, instance)) return false;
  out += ", traceback: ";
  PyRef traceback = PyRef::steal(PyException_GetTraceback(instance));
  if (!traceback) {
    out += "None";
  } else {
    PyObject* held = register_owned(std::move(traceback));
    out += "Some(";
    if (!append_debug(out, held)) return false;
    out += ")";
  }
  out += " }";
  return true;
}

PyObject* panic_exception_type() {
  if (PyObject* type = existing_panic_exception_type()) return type;
  if (PyExc_BaseException == nullptr) panic_after_error();
  if (PyObject* type = create_panic_exception_type()) return type;
  // Taken directly rather than through `take`, which looks for the very type that failed.
  PyRef raised = PyRef::steal(PyErr_GetRaisedException());
  PyErr err = raised ? PyErr::normalized(std::move(raised))
                     : PyErr::with_message(PyExc_SystemError, kNoExceptionSet);
  std::string message = "Failed to initialize new exception type.: ";
  append_printed_form(message, err);
  fail(std::move(message));
}

PyErr from_panic_payload(std::optional<std::string> message) {
  return PyErr::lazy(std::make_unique<PanicMessage>(
      message ? std::move(*message) : std::string(kNativeFailureMessage)));
}

}  // namespace velmora::py
