// Attributes of a tag, and qualified names.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "reader/cow_text.h"
#include "reader/errors.h"
#include "reader/result.h"

namespace velmora::reader {

// A qualified name as raw bytes, prefix included.
struct QName {
  std::string_view bytes;
  // The bytes after the first ":", or the whole name.
  std::string_view local_name() const;
};

// `ln`: the local name checked as UTF-8 and copied.
Result<std::string, Utf8Error> ln(QName name);

struct Attribute {
  QName key;               // exactly as written
  std::string_view value;  // between the quotes, not unescaped
  Result<CowText, Error> unescape_value() const;
};

// One strict pass over the attributes in a tag's content (the bytes between "<" and ">" or "/>").
class Attributes {
 public:
  Attributes(std::string_view content, std::size_t name_len);
  // An attribute, an error (the pass may go on after it), or nothing at the end of the pass.
  std::optional<Result<Attribute, AttrError>> next();

 private:
  // (implementation state: resume point, recovery points, keys seen so far)
  std::string_view content_;
  std::size_t pos_;
  bool ended_ = false;
  std::vector<std::pair<std::size_t, std::size_t>> keys_;
};

}  // namespace velmora::reader
