// The one owning handle for CPython references: a strong reference, released when the handle
// goes away. Made only by `steal` (take over a new reference) or `borrow` (take a new reference
// to a borrowed object), so every construction says which it is. Needs the interpreter lock.
#pragma once

#include <Python.h>

#include <utility>

namespace velmora::py {

class PyRef {
 public:
  PyRef() noexcept = default;
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = ptr_;
      ptr_ = other.ptr_;
      other.ptr_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(ptr_); }

  // Takes over a reference the caller already owns (e.g. the result of a creating call).
  static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
  // Takes a new reference to a borrowed object.
  static PyRef borrow(PyObject* obj) noexcept { return PyRef(Py_XNewRef(obj)); }

  PyObject* get() const noexcept { return ptr_; }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }

  // Gives the reference to the caller, who must release it (or hand it to the interpreter).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }

  void reset() noexcept { Py_XDECREF(std::exchange(ptr_, nullptr)); }

 private:
  explicit PyRef(PyObject* obj) noexcept : ptr_(obj) {}
  PyObject* ptr_ = nullptr;
};

}  // namespace velmora::py
