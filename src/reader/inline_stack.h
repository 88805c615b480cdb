// A stack of plain values whose first entries live inside it: the few levels of a small
// document's nesting need no allocation, however many documents are read one after another.
// Past its inline room it moves to the heap, doubling, and stays there.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <type_traits>

namespace velmora::reader {

template <class T, std::size_t InlineCount>
class InlineStack {
  static_assert(std::is_trivially_copyable_v<T>, "entries are copied as bytes");

 public:
  InlineStack() = default;
  InlineStack(const InlineStack& other) { *this = other; }
  InlineStack& operator=(const InlineStack& other) {
    if (this == &other) return *this;
    size_ = 0;
    if (other.size_ > capacity_) grow(other.size_);
    std::copy(other.begin(), other.end(), data_);
    size_ = other.size_;
    return *this;
  }

  [[gnu::always_inline]] void push_back(T value) {
    if (size_ == capacity_) [[unlikely]]
      grow(2 * capacity_);
    data_[size_++] = value;
  }
  void pop_back() { --size_; }
  void clear() { size_ = 0; }

  const T& back() const { return data_[size_ - 1]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }

  friend bool operator==(const InlineStack& a, const InlineStack& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  [[gnu::noinline]] void grow(std::size_t capacity) {
    auto room = std::make_unique_for_overwrite<T[]>(capacity);
    std::copy(data_, data_ + size_, room.get());
    heap_ = std::move(room);
    data_ = heap_.get();
    capacity_ = capacity;
  }

  T inline_[InlineCount];
  std::unique_ptr<T[]> heap_;
  T* data_ = inline_;
  std::size_t size_ = 0;
  std::size_t capacity_ = InlineCount;
};

}  // namespace velmora::reader
