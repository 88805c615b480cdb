// Text that is either borrowed from the input or owned (after unescaping).
#pragma once

#include <string>
#include <string_view>
#include <variant>

namespace velmora::reader {

class CowText {
 public:
  explicit CowText(std::string_view borrowed) : text_(borrowed) {}
  explicit CowText(std::string owned) : text_(std::move(owned)) {}

  bool is_owned() const { return text_.index() == 1; }
  std::string_view view() const {
    if (auto* b = std::get_if<std::string_view>(&text_)) return *b;
    return std::get<std::string>(text_);
  }

 private:
  std::variant<std::string_view, std::string> text_;
};

}  // namespace velmora::reader
