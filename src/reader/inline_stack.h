// A stack of plain values whose first entries live inside it: the few levels of a small
// document's nesting need no allocation, however many documents are read one after another.
#pragma once

#include <algorithm>
#include <cstddef>
#include <type_traits>
#include <vector>

namespace velmora::reader {

template <class T, std::size_t InlineCount>
class InlineStack {
  static_assert(std::is_trivially_copyable_v<T>, "entries are copied as bytes");

 public:
  InlineStack() = default;
  InlineStack(const InlineStack& other) { *this = other; }
  InlineStack& operator=(const InlineStack& other) {
    if (this == &other) return *this;
    clear();
    for (const T& value : other) push_back(value);
    return *this;
  }

  void push_back(T value) {
    if (size_ < InlineCount) {
      inline_[size_++] = value;
      return;
    }
    if (size_ == InlineCount) spilled_.assign(inline_, inline_ + InlineCount);  // from here on, all there
    spilled_.push_back(value);
    ++size_;
  }
  void pop_back() {
    --size_;
    if (size_ >= InlineCount) spilled_.pop_back();
  }
  void clear() {
    size_ = 0;
    spilled_.clear();
  }

  const T& back() const { return data()[size_ - 1]; }
  const T& operator[](std::size_t i) const { return data()[i]; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const T* begin() const { return data(); }
  const T* end() const { return data() + size_; }

  friend bool operator==(const InlineStack& a, const InlineStack& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  // Past the inline entries, every entry is in `spilled_`.
  const T* data() const { return size_ <= InlineCount ? inline_ : spilled_.data(); }

  T inline_[InlineCount];
  std::vector<T> spilled_;
  std::size_t size_ = 0;
};

}  // namespace velmora::reader
