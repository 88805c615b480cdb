// The frame around every entry from the interpreter into the module's native code.
//
// Counts the entry, applies deferred releases and opens a reference scope (GILPool), runs the
// body in a catching region that turns every failure into a Python exception, raises the body's
// error if it has one, and closes the scope. It returns a new reference with no exception set,
// or NULL with exactly one exception set; no C++ exception ever leaves it.
#pragma once

#include <Python.h>

#include <exception>
#include <optional>
#include <utility>

#include "failure/failure.h"
#include "cpython/pyerr.h"
#include "cpython/ref.h"
#include "cpython/scope.h"

namespace velmora::py {

// The frame's last guard: a failure that escapes the catching region (while the scope opens,
// while the error is raised, or while the scope closes) cannot be turned into an exception, so
// it ends the process.
struct PanicTrap {
  static constexpr const char* kMessage = "uncaught panic at ffi boundary";
  [[noreturn]] static void fire() noexcept { panic_trap_fired(kMessage); }
};

// The catching region: the body's result, or the error it returned or failed with. The
// module's own allocation failures inside it unwind to here too (the line on descriptor 2 is
// already written) and become a PanicException with that line.
template <class Body>
PyResult<PyRef> run_catching(Body& body) noexcept {
  using R = PyResult<PyRef>;
  try {
    AllocationFailureScope allocation_failures_unwind;
    return body();
  } catch (const AllocationFailure& failure) {
    try {
      return R::err(from_panic_payload(failure.message()));
    } catch (...) {
      fail_without_unwinding("panic in a function that cannot unwind");
    }
  } catch (const FatalFailure& failure) {
    failure_caught();
    try {
      return R::err(from_panic_payload(failure.message()));
    } catch (...) {
      // Building the error itself failed (no memory for the message copy).
      fail_without_unwinding("panic in a function that cannot unwind");
    }
  } catch (...) {
    try {
      return R::err(from_panic_payload(std::nullopt));
    } catch (...) {
      fail_without_unwinding("panic in a function that cannot unwind");
    }
  }
}

// `body` returns PyResult<PyRef>: the object handed to the interpreter (an owned reference) or
// the error to raise. Objects it registers in the scope are released when the frame ends.
template <class Body>
PyObject* trampoline(Body&& body) noexcept {
  try {
    GILPool pool;
    PyResult<PyRef> outcome = run_catching(body);
    if (outcome) {
      PyObject* result = std::move(outcome).value().release();
      // A body that reports success without an object breaks the frame's promise; make sure
      // exactly one exception explains the NULL.
      if (result == nullptr) fetch_error().restore();
      return result;
    }
    std::move(outcome).error().restore();
    return nullptr;
  } catch (...) {
    PanicTrap::fire();
  }
}

}  // namespace velmora::py
