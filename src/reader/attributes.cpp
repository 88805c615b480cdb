// The strict attribute iterator over a tag's content, and the local part of qualified names.
#include "reader/attributes.h"

#include <array>
#include <cstring>

#include "reader/bytes.h"
#include "reader/unit_blocks.h"
#include "reader/unescape.h"
#include "reader/utf8.h"

namespace velmora::reader {

namespace {


// Unit classes, one table lookup per ASCII unit: whitespace (the four XML characters) and key
// ends. A unit past ASCII is neither.
enum : unsigned char { kSpace = 1, kKeyEnd = 2 };
constexpr auto kClass = [] {
  std::array<unsigned char, 128> t{};
  for (int c = 0; c < 128; ++c)
    if (is_xml_whitespace(static_cast<char>(c))) t[c] = kSpace | kKeyEnd;
  t['='] = kKeyEnd;
  return t;
}();

template <class Unit>
inline bool has(Unit c, unsigned char cls) {
  const std::uint32_t v = unit_value(c);
  return v < 128 && (kClass[v] & cls);
}

template <class Unit>
std::size_t skip_spaces(UnitView<Unit> s, std::size_t i) {
  while (i < s.size() && has(s[i], kSpace)) ++i;
  return i;
}

template <class Unit>
std::size_t find_space(UnitView<Unit> s, std::size_t i) {
  while (i < s.size() && !has(s[i], kSpace)) ++i;
  return i;
}

// First "=" or whitespace unit at or after i.
template <class Unit>
std::size_t find_key_end(UnitView<Unit> s, std::size_t i) {
  while (i < s.size() && !has(s[i], kKeyEnd)) ++i;
  return i;
}

AttrError attr_error(AttrErrorKind kind, std::size_t position) {
  AttrError e{kind};
  e.position = position;
  return e;
}

}  // namespace

Result<std::string, Utf8Error> ln(QName name) {
  std::string_view local = name.local_name();
  if (auto bad = check_utf8(local)) return Result<std::string, Utf8Error>::err(*bad);
  return Result<std::string, Utf8Error>::ok(std::string(local));
}

// Defined for every unit with its constraint repeated (both compilers match the declaration
// that way), and made here for UTF-8, the one unit it exists for.
template <TextUnit Unit>
Result<CowText, Error> BasicAttribute<Unit>::unescape_value() const
  requires kIsUtf8<Unit>
{
  return unescape(value);
}
template struct BasicAttribute<char>;

template <TextUnit Unit>
BasicAttributes<Unit>::BasicAttributes(UnitView<Unit> content, std::size_t name_len) : content_(content) {
  state_.pos = name_len < content.size() ? name_len : content.size();
}

template <TextUnit Unit>
auto BasicAttributes<Unit>::end_with(AttrError e) -> std::optional<Item> {
  state_.ended = true;
  return Item::err(e);
}

template <TextUnit Unit>
AttrError BasicAttributes<Unit>::in_utf8_offsets(AttrError e) const {
  e.position = utf8_offset(content_, e.position);
  e.earlier_key = utf8_offset(content_, e.earlier_key);
  return e;
}

template <TextUnit Unit>
auto BasicAttributes<Unit>::next_by_rules() -> std::optional<Item> {
  auto item = next_in_units();
  if constexpr (!kIsUtf8<Unit>) {
    if (item && item->is_err()) [[unlikely]]
      return Item::err(in_utf8_offsets(item->error()));
  }
  return item;
}

template <TextUnit Unit>
std::optional<std::size_t> IterState<Unit>::check_in_index(UnitView<Unit> content, std::size_t start,
                                                           std::size_t end) {
  if (!key_index) {
    key_index = std::make_unique<std::set<UnitView<Unit>>>();
    for (const KeyRange& k : keys) key_index->insert(content.substr(k.start, k.end - k.start));
  }
  auto [it, inserted] = key_index->insert(content.substr(start, end - start));
  // Every view points into the content, so its offset there is the earlier key's start.
  if (!inserted) return static_cast<std::size_t>(it->data() - content.data());
  return std::nullopt;
}

template <TextUnit Unit>
auto BasicAttributes<Unit>::next_in_units() -> std::optional<Item> {
  using R = Item;
  if (state_.ended) return std::nullopt;
  const UnitView<Unit> c = content_;
  const std::size_t n = c.size();

  const std::size_t s = skip_spaces(c, state_.pos);
  if (s == n) {
    state_.ended = true;
    return std::nullopt;
  }

  // Whatever byte comes first begins the key, so a key is never empty.
  const std::size_t e = find_key_end(c, s + 1);
  if (e == n) return end_with(attr_error(AttrErrorKind::ExpectedEq, n));
  std::size_t eq = e;
  if (c[e] != Unit('=')) {
    eq = skip_spaces(c, e);
    if (eq == n) return end_with(attr_error(AttrErrorKind::ExpectedEq, n));
    if (c[eq] != Unit('=')) {
      state_.pos = eq;  // that byte begins the next key
      return R::err(attr_error(AttrErrorKind::ExpectedEq, eq));
    }
  }

  // Duplicates are caught before anything after the "=" is looked at.
  if (auto earlier = state_.check_for_duplicates(c, s, e)) {
    AttrError err = attr_error(AttrErrorKind::Duplicated, s);
    err.earlier_key = *earlier;
    state_.pos = find_space(c, eq);
    if (state_.pos == n) state_.ended = true;
    return R::err(err);
  }

  const std::size_t v = skip_spaces(c, eq + 1);
  if (v == n) return end_with(attr_error(AttrErrorKind::ExpectedValue, n));
  const Unit quote = c[v];
  if (quote != Unit('"') && quote != Unit('\'')) {
    state_.pos = find_space(c, v);
    if (state_.pos == n) state_.ended = true;
    return R::err(attr_error(AttrErrorKind::UnquotedValue, v));
  }
  const Unit* close = find_unit(c.data() + v + 1, c.data() + n, static_cast<char>(quote));
  if (close == c.data() + n) {
    AttrError err = attr_error(AttrErrorKind::ExpectedQuote, n);
    err.quote = static_cast<std::uint8_t>(quote);
    return end_with(err);
  }
  const std::size_t q = static_cast<std::size_t>(close - c.data());
  state_.pos = q + 1;  // the next key may follow the closing quote directly
  return R::ok(BasicAttribute<Unit>{BasicQName<Unit>{c.substr(s, e - s)}, c.substr(v + 1, q - v - 1)});
}

template struct IterState<char>;
template struct IterState<char8_t>;
template struct IterState<char16_t>;
template struct IterState<char32_t>;
template class BasicAttributes<char>;
template class BasicAttributes<char8_t>;
template class BasicAttributes<char16_t>;
template class BasicAttributes<char32_t>;

}  // namespace velmora::reader
