// Attributes of a tag, and qualified names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "reader/bytes.h"
#include "reader/cow_text.h"
#include "reader/errors.h"
#include "reader/result.h"
#include "reader/unit_blocks.h"
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
  // Set when the value was scanned while its closing quote was found: whether it holds an "&"
  // and all its units or-ed together, "&" or not (for UTF-8, its bytes: below 0x80 when it is
  // ASCII), which is what find_references takes; without an "&" as scan_units and scan_text
  // answer them.
  bool scanned = false;
  bool has_reference = false;
  std::uint32_t bits = 0;
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
  // One bit per stored key, chosen by its length and its first and last units: a key whose bit
  // is clear equals none of them, so most keys of a tag are checked without a comparison.
  std::uint64_t key_bits = 0;
  // Built once a tag has more keys than that, so the duplicate check stays sub-quadratic. Equal
  // keys are never stored twice, so the one match it finds is the earliest.
  std::unique_ptr<std::set<UnitView<Unit>>> key_index;

  // Start of an equal key accepted earlier in this pass, or nothing after storing the new key.
  [[gnu::always_inline]] std::optional<std::size_t> check_for_duplicates(UnitView<Unit> content, std::size_t start,
                                                                         std::size_t end) {
    if (key_count >= kInlineKeys) [[unlikely]]
      return check_in_index(content, start, end);
    const std::uint64_t bit = key_bit(content, start, end);
    if (key_bits & bit) {
      const UnitView<Unit> key(content.data() + start, end - start);
      for (std::size_t i = 0; i < key_count; ++i) {
        const auto [s, e] = keys[i];
        if (same_units(UnitView<Unit>(content.data() + s, e - s), key)) return s;
      }
    }
    key_bits |= bit;
    keys[key_count++] = KeyRange{start, end};
    return std::nullopt;
  }

 private:
  static std::uint64_t key_bit(UnitView<Unit> content, std::size_t start, std::size_t end) {
    const std::uint32_t digest = static_cast<std::uint32_t>(end - start) * 5u + unit_value(content[start]) +
                                 3u * unit_value(content[end - 1]);
    return std::uint64_t{1} << (digest & 63u);
  }
  std::optional<std::size_t> check_in_index(UnitView<Unit> content, std::size_t start, std::size_t end);
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
  // The common item (whitespace, a key, "=" right after it, a quoted value right after that, a
  // key new to the tag) and the end of the pass are read here, inline, with the value scanned
  // on the way; everything else is left to next_by_rules, which gives the same item for it.
  [[gnu::always_inline]] std::optional<Item> next() {
    if (state_.ended) return std::nullopt;
    const std::size_t n = content_.size();
    std::size_t s = state_.pos;
    while (s < n && is_xml_whitespace(content_[s])) ++s;
    if (s == n) {
      state_.ended = true;
      return std::nullopt;
    }
    const std::size_t e = key_end(content_.data(), s + 1, n);  // whatever unit comes first begins the key
    if (e + 1 < n && content_[e] == Unit('=')) {
      const Unit quote = content_[e + 1];
      if (quote == Unit('"') || quote == Unit('\'')) {
        const Unit* const begin = content_.data();
        const QuotedScan<Unit> found = find_quote_scanning(begin + e + 2, begin + n, static_cast<char>(quote));
        if (found.at != begin + n && !state_.check_for_duplicates(content_, s, e)) {
          const std::size_t q = static_cast<std::size_t>(found.at - begin);
          state_.pos = q + 1;  // the next key may follow the closing quote directly
          // (Views made directly: every bound is inside the content already.)
          BasicAttribute<Unit> attribute{BasicQName<Unit>{UnitView<Unit>(begin + s, e - s)},
                                         UnitView<Unit>(begin + e + 2, q - e - 2)};
          attribute.scanned = true;
          attribute.has_reference = found.has_reference;
          attribute.bits = found.bits;
          return Item::ok(attribute);
        }
      }
    }
    return next_by_rules();
  }
  // The same pass, every item found by the general rules (what `next` falls back to).
  std::optional<Item> next_by_rules();

 private:
  // "=" or whitespace: the units that end a key.
  [[gnu::always_inline]] static bool ends_key(Unit c) { return c == Unit('=') || is_xml_whitespace(c); }
  // The first unit from `e` (up to `n`) that ends a key, or n. A key is a few units long: one
  // block compare finds its end without a loop whose length the branch predictor cannot know.
  [[gnu::always_inline]] static std::size_t key_end(const Unit* data, std::size_t e, std::size_t n) {
#if defined(__SSE2__)
    using B = UnitBlocks<Unit>;
    if (n - e >= B::kUnits) {
      const __m128i v = B::load(data + e);
      const unsigned m = B::equal_mask(v, B::splat('=')) | B::at_most_mask(v, ' ');
      if (m == 0) {
        e += B::kUnits;
      } else {
        const std::size_t i = e + (static_cast<unsigned>(__builtin_ctz(m)) >> B::kShift);
        if (ends_key(data[i])) return i;
        e = i;  // a control character below the space: the units after it one by one
      }
    }
#endif
    while (e < n && !ends_key(data[e])) ++e;
    return e;
  }
  std::optional<Item> next_in_units();
  std::optional<Item> end_with(AttrError e);
  AttrError in_utf8_offsets(AttrError e) const;

  UnitView<Unit> content_;
  IterState<Unit> state_;
};
using Attributes = BasicAttributes<char>;

// Defined, for the four unit forms, in attributes.cpp.

}  // namespace velmora::reader
