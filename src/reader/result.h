// A value or an error, returned by every reader operation that can fail.
#pragma once

#include <cassert>
#include <utility>
#include <variant>

namespace velmora::reader {

template <class T, class E>
class [[nodiscard]] Result {
 public:
  static Result ok(T value) { return Result(std::in_place_index<0>, std::move(value)); }
  static Result err(E error) { return Result(std::in_place_index<1>, std::move(error)); }

  bool is_ok() const { return state_.index() == 0; }
  bool is_err() const { return state_.index() == 1; }
  explicit operator bool() const { return is_ok(); }

  T& value() & { assert(is_ok()); return std::get<0>(state_); }
  const T& value() const& { assert(is_ok()); return std::get<0>(state_); }
  T&& value() && { assert(is_ok()); return std::get<0>(std::move(state_)); }
  E& error() & { assert(is_err()); return std::get<1>(state_); }
  const E& error() const& { assert(is_err()); return std::get<1>(state_); }
  E&& error() && { assert(is_err()); return std::get<1>(std::move(state_)); }

 private:
  template <std::size_t I, class V>
  Result(std::in_place_index_t<I> tag, V&& v) : state_(tag, std::forward<V>(v)) {}
  std::variant<T, E> state_;
};

}  // namespace velmora::reader
