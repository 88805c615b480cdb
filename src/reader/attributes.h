// Attributes of a tag, and qualified names.
#pragma once

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "reader/cow_text.h"
#include "reader/errors.h"
#include "reader/result.h"
#include "reader/units.h"

namespace velmora::reader {

// A qualified name as written, prefix included.
template <TextUnit Unit>
struct BasicQName {
  UnitView<Unit> bytes;
  // The units after the first ":", or the whole name. (Inline: it runs for every element and
  // attribute, on names a few units long.)
  UnitView<Unit> local_name() const {
    for (std::size_t i = 0; i < bytes.size(); ++i)
      if (bytes[i] == Unit(':')) return bytes.substr(i + 1);
    return bytes;
  }
};
using QName = BasicQName<char>;

// `ln`: the local name checked as UTF-8 and copied.
Result<std::string, Utf8Error> ln(QName name);

template <TextUnit Unit>
struct BasicAttribute {
  BasicQName<Unit> key;   // exactly as written
  UnitView<Unit> value;   // between the quotes, not unescaped
  Result<CowText, Error> unescape_value() const
    requires kIsUtf8<Unit>;
};
using Attribute = BasicAttribute<char>;

// The scanning state of one pass over a tag's attributes.
template <TextUnit Unit>
struct IterState {
  std::size_t pos = 0;  // resume point of the next call
  bool ended = false;   // the pass is over
  // The first keys accepted, as (start, end) ranges of the tag content, in order of appearance:
  // held inline, since most tags have a few attributes and a pass should not allocate.
  // (Plain ranges, left uninitialised: a pass writes each before reading it.)
  struct KeyRange {
    std::size_t start, end;
  };
  static constexpr std::size_t kInlineKeys = 16;
  KeyRange keys[kInlineKeys];
  std::size_t key_count = 0;
  // Built once a tag has more keys than that, so the duplicate check stays sub-quadratic. Equal
  // keys are never stored twice, so the one match it finds is the earliest.
  std::set<UnitView<Unit>> key_index;

  // Start of an equal key accepted earlier in this pass, or nothing after storing the new key.
  std::optional<std::size_t> check_for_duplicates(UnitView<Unit> content, std::size_t start,
                                                  std::size_t end);
};

// One strict pass over the attributes in a tag's content (the units between "<" and ">" or
// "/>"). Every call either ends the pass or moves past at least one unit, so a pass always
// finishes. The positions in its errors are UTF-8 byte offsets into the content, whatever the
// units.
template <TextUnit Unit>
class BasicAttributes {
 public:
  using Item = Result<BasicAttribute<Unit>, AttrError>;

  BasicAttributes(UnitView<Unit> content, std::size_t name_len);
  // An attribute, an error (the pass may go on after it), or nothing at the end of the pass.
  std::optional<Item> next();

 private:
  std::optional<Item> next_in_units();
  std::optional<Item> end_with(AttrError e);
  AttrError in_utf8_offsets(AttrError e) const;

  UnitView<Unit> content_;
  IterState<Unit> state_;
};
using Attributes = BasicAttributes<char>;

// Defined, for the four unit forms, in attributes.cpp.

}  // namespace velmora::reader
