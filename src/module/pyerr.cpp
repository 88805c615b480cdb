#include "module/pyerr.h"

#include "module/failure.h"
#include "module/failure_output.h"
#include "module/panic_exception.h"
#include "module/scope.h"
#include "module/text.h"

namespace velmora::py {
namespace {

// A standard exception type with one text argument.
class MessageError final : public LazyError {
 public:
  MessageError(PyObject* exc_type, std::string message)
      : exc_type_(exc_type), message_(std::move(message)) {}
  std::pair<PyRef, PyRef> build() override {
    if (exc_type_ == nullptr) panic_after_error();
    return {PyRef::borrow(exc_type_), new_string_ref(message_)};
  }

 private:
  PyObject* exc_type_;  // a static type of the interpreter: never released
  std::string message_;
};

// An object that is not an exception, raised as if it were an exception type: the interpreter
// refuses it with its own TypeError.
class NotAnException final : public LazyError {
 public:
  explicit NotAnException(PyObject* obj) : obj_(Py_NewRef(obj)), none_(Py_NewRef(Py_None)) {}
  ~NotAnException() override {
    if (obj_ != nullptr) register_decref(obj_);
    if (none_ != nullptr) register_decref(none_);
  }
  std::pair<PyRef, PyRef> build() override {
    return {PyRef::steal(std::exchange(obj_, nullptr)), PyRef::steal(std::exchange(none_, nullptr))};
  }

 private:
  PyObject* obj_;
  PyObject* none_;
};

// The PanicException of a caught fatal failure: args is the 1-tuple (message,).
class PanicMessage final : public LazyError {
 public:
  explicit PanicMessage(std::string message) : message_(std::move(message)) {}
  std::pair<PyRef, PyRef> build() override {
    PyRef type = PyRef::borrow(panic_exception_type());
    PyRef args = PyRef::steal(PyTuple_New(1));
    if (!args) panic_after_error();
    PyTuple_SET_ITEM(args.get(), 0, new_string_ref(message_).release());
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
  err.instance_ = instance.release();
  return err;
}

PyErr PyErr::with_message(PyObject* exc_type, std::string message) {
  return lazy(std::make_unique<MessageError>(exc_type, std::move(message)));
}

PyErr::PyErr(PyErr&& other) noexcept
    : lazy_(std::move(other.lazy_)), instance_(std::exchange(other.instance_, nullptr)) {}

PyErr& PyErr::operator=(PyErr&& other) noexcept {
  if (this != &other) {
    PyErr old(std::move(*this));
    lazy_ = std::move(other.lazy_);
    instance_ = std::exchange(other.instance_, nullptr);
  }
  return *this;
}

PyErr::~PyErr() {
  if (instance_ != nullptr) register_decref(instance_);
}

PyObject* PyErr::make_normalized() {
  if (instance_ != nullptr) return instance_;
  if (!lazy_) fail("Cannot normalize a PyErr while already normalizing it.");
  raise_lazy(std::move(lazy_));  // the state stays empty until the instance is back
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) fail("exception missing after writing to the interpreter");
  instance_ = exc;
  return exc;
}

void PyErr::restore() && {
  if (instance_ != nullptr) {
    PyErr_SetRaisedException(std::exchange(instance_, nullptr));
    return;
  }
  if (!lazy_) fail("PyErr state should never be invalid outside of normalization");
  raise_lazy(std::move(lazy_));
}

PyObject* PyErr::into_value() && {
  PyObject* instance = Py_NewRef(make_normalized());
  if (PyObject* traceback = PyException_GetTraceback(instance)) {
    PyException_SetTraceback(instance, traceback);
    Py_DECREF(traceback);
  }
  PyErr consumed(std::move(*this));
  return instance;
}

std::optional<PyErr> PyErr::cause() {
  PyObject* cause = PyException_GetCause(make_normalized());
  if (cause == nullptr) return std::nullopt;
  register_owned(cause);
  return from_value(cause);
}

std::optional<PyErr> take() {
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  if (!exc) return std::nullopt;
  // Exact type only: a subclass made by Python code is an ordinary exception.
  PyObject* panic_type = existing_panic_exception_type();
  if (panic_type == nullptr || reinterpret_cast<PyObject*>(Py_TYPE(exc.get())) != panic_type)
    return PyErr::normalized(std::move(exc));

  std::string message;
  if (PyObject* text = PyObject_Str(exc.get())) {
    register_owned(text);
    message = to_string_lossy(text).view();
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

bool append_printed_form(std::string& out, PyErr& err) {
  PyObject* instance = err.make_normalized();
  out += "PyErr { type: ";
  if (!append_debug(out, reinterpret_cast<PyObject*>(Py_TYPE(instance)))) return false;
  out += ", value: ";
  if (!append_debug(out, instance)) return false;
  out += ", traceback: ";
  PyObject* traceback = PyException_GetTraceback(instance);
  if (traceback == nullptr) {
    out += "None";
  } else {
    register_owned(traceback);
    out += "Some(";
    if (!append_debug(out, traceback)) return false;
    out += ")";
  }
  out += " }";
  return true;
}

PyErr from_panic_payload(std::optional<std::string> message) {
  return PyErr::lazy(std::make_unique<PanicMessage>(
      message ? std::move(*message) : std::string(kNativeFailureMessage)));
}

[[noreturn]] void panic_after_error(std::source_location where) {
  if (PyErr_Occurred() != nullptr) PyErr_Print();
  fail("Python API call failed", where);
}

}  // namespace velmora::py
