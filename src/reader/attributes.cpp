// The strict attribute iterator over a tag's content, and the local part of qualified names.
#include "reader/attributes.h"

#include <array>
#include <cstring>

#include "reader/bytes.h"
#include "reader/unescape.h"
#include "reader/utf8.h"

namespace velmora::reader {

namespace {


// Byte classes, one table lookup per byte: whitespace (the four XML bytes) and key ends.
enum : unsigned char { kSpace = 1, kKeyEnd = 2 };
constexpr auto kClass = [] {
  std::array<unsigned char, 256> t{};
  for (int c = 0; c < 256; ++c)
    if (is_xml_whitespace(static_cast<char>(c))) t[c] = kSpace | kKeyEnd;
  t['='] = kKeyEnd;
  return t;
}();

inline bool has(char c, unsigned char cls) { return kClass[static_cast<unsigned char>(c)] & cls; }

std::size_t skip_spaces(std::string_view s, std::size_t i) {
  while (i < s.size() && has(s[i], kSpace)) ++i;
  return i;
}

std::size_t find_space(std::string_view s, std::size_t i) {
  while (i < s.size() && !has(s[i], kSpace)) ++i;
  return i;
}

// First "=" or whitespace byte at or after i.
std::size_t find_key_end(std::string_view s, std::size_t i) {
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

Result<CowText, Error> Attribute::unescape_value() const { return unescape(value); }

Attributes::Attributes(std::string_view content, std::size_t name_len) : content_(content) {
  state_.pos = name_len < content.size() ? name_len : content.size();
}

std::optional<Result<Attribute, AttrError>> Attributes::end_with(AttrError e) {
  state_.ended = true;
  return Result<Attribute, AttrError>::err(e);
}

std::optional<std::size_t> IterState::check_for_duplicates(std::string_view content,
                                                           std::size_t start, std::size_t end) {
  const std::string_view key = content.substr(start, end - start);
  // Few keys: a linear scan beats building the ordered index.
  if (key_count < kInlineKeys) {
    for (std::size_t i = 0; i < key_count; ++i) {
      const auto [s, e] = keys[i];
      // Length and first byte first: most keys of a tag differ there, without a memcmp call.
      if (e - s == key.size() && content[s] == key[0] && content.substr(s, e - s) == key) return s;
    }
    keys[key_count++] = KeyRange{start, end};
    return std::nullopt;
  }
  if (key_index.empty()) {
    for (const KeyRange& k : keys) key_index.insert(content.substr(k.start, k.end - k.start));
  }
  auto [it, inserted] = key_index.insert(key);
  // Every view points into the content, so its offset there is the earlier key's start.
  if (!inserted) return static_cast<std::size_t>(it->data() - content.data());
  return std::nullopt;
}

std::optional<Result<Attribute, AttrError>> Attributes::next() {
  using R = Result<Attribute, AttrError>;
  if (state_.ended) return std::nullopt;
  const std::string_view c = content_;
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
  if (c[e] != '=') {
    eq = skip_spaces(c, e);
    if (eq == n) return end_with(attr_error(AttrErrorKind::ExpectedEq, n));
    if (c[eq] != '=') {
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
  const char quote = c[v];
  if (quote != '"' && quote != '\'') {
    state_.pos = find_space(c, v);
    if (state_.pos == n) state_.ended = true;
    return R::err(attr_error(AttrErrorKind::UnquotedValue, v));
  }
  const void* close = std::memchr(c.data() + v + 1, quote, n - v - 1);
  if (!close) {
    AttrError err = attr_error(AttrErrorKind::ExpectedQuote, n);
    err.quote = static_cast<std::uint8_t>(quote);
    return end_with(err);
  }
  const std::size_t q = static_cast<const char*>(close) - c.data();
  state_.pos = q + 1;  // the next key may follow the closing quote directly
  return R::ok(Attribute{QName{c.substr(s, e - s)}, c.substr(v + 1, q - v - 1)});
}

}  // namespace velmora::reader
