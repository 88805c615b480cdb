// A value or an error, returned by every reader operation that can fail.
#pragma once

#include <cassert>
#include <memory>
#include <type_traits>
#include <utility>

namespace velmora::reader {

// One of the two, in place, with a flag: the reader returns one for every event, so its moves
// and its destruction are kept to a branch and the member's own (a general variant's are calls
// the compiler does not always inline).
template <class T, class E>
class [[nodiscard]] Result {
 public:
  static Result ok(T value) { return Result(Ok{}, std::move(value)); }
  static Result err(E error) { return Result(Err{}, std::move(error)); }

  Result(Result&& other) noexcept(std::is_nothrow_move_constructible_v<T> && std::is_nothrow_move_constructible_v<E>)
      : ok_(other.ok_) {
    if (ok_) std::construct_at(&value_, std::move(other.value_));
    else std::construct_at(&error_, std::move(other.error_));
  }
  Result(const Result& other) : ok_(other.ok_) {
    if (ok_) std::construct_at(&value_, other.value_);
    else std::construct_at(&error_, other.error_);
  }
  Result& operator=(Result other) {
    std::destroy_at(this);
    std::construct_at(this, std::move(other));
    return *this;
  }
  ~Result() {
    if (ok_) std::destroy_at(&value_);
    else std::destroy_at(&error_);
  }

  bool is_ok() const { return ok_; }
  bool is_err() const { return !ok_; }
  explicit operator bool() const { return is_ok(); }

  T& value() & { assert(is_ok()); return value_; }
  const T& value() const& { assert(is_ok()); return value_; }
  T&& value() && { assert(is_ok()); return std::move(value_); }
  E& error() & { assert(is_err()); return error_; }
  const E& error() const& { assert(is_err()); return error_; }
  E&& error() && { assert(is_err()); return std::move(error_); }

 private:
  struct Ok {};
  struct Err {};
  Result(Ok, T&& v) : value_(std::move(v)), ok_(true) {}
  Result(Err, E&& e) : error_(std::move(e)), ok_(false) {}

  union {
    T value_;
    E error_;
  };
  bool ok_;
};

}  // namespace velmora::reader
