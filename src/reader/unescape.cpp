// Resolution of the five predefined entities and of numeric character references.
#include "reader/unescape.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include "reader/unit_blocks.h"
#include "reader/utf8.h"

namespace velmora::reader {

namespace {

EscapeError escape_error(EscapeErrorKind kind) { return EscapeError{kind}; }

EscapeError range_error(EscapeErrorKind kind, std::size_t start, std::size_t end) {
  EscapeError e{kind};
  e.start = start;
  e.end = end;
  return e;
}

template <TextUnit Unit>
EscapeError unit_error(EscapeErrorKind kind, Unit u) {
  EscapeError e{kind};
  e.byte = first_utf8_byte(u);  // a UTF-8 text reports the first byte of the character
  return e;
}

// The character a predefined entity stands for, or 0.
template <TextUnit Unit>
char32_t predefined_entity(UnitView<Unit> name) {
  switch (name.size()) {
    case 2:
      if (equals_ascii(name, "lt")) return '<';
      if (equals_ascii(name, "gt")) return '>';
      break;
    case 3:
      if (equals_ascii(name, "amp")) return '&';
      break;
    case 4:
      if (equals_ascii(name, "apos")) return '\'';
      if (equals_ascii(name, "quot")) return '"';
      break;
  }
  return 0;
}

constexpr int hex_digit(std::uint32_t c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  return -1;
}

// The value of the digits after "&#"; the length limits (in UTF-8 bytes) come before any digit
// is looked at.
using CodeResult = Result<std::uint32_t, EscapeError>;

template <TextUnit Unit>
CodeResult parse_char_ref(UnitView<Unit> digits) {
  std::uint32_t value = 0;
  if (!digits.empty() && digits.front() == Unit('x')) {
    digits.remove_prefix(1);
    if (utf8_length(digits) > 6) return CodeResult::err(escape_error(EscapeErrorKind::TooLongHexadecimal));
    for (Unit u : digits) {
      int d = hex_digit(unit_value(u));
      if (d < 0) return CodeResult::err(unit_error(EscapeErrorKind::InvalidHexadecimal, u));
      value = value * 16 + static_cast<std::uint32_t>(d);
    }
  } else {
    if (utf8_length(digits) > 7) return CodeResult::err(escape_error(EscapeErrorKind::TooLongDecimal));
    for (Unit u : digits) {
      const std::uint32_t c = unit_value(u);
      if (c < '0' || c > '9') return CodeResult::err(unit_error(EscapeErrorKind::InvalidDecimal, u));
      value = value * 10 + (c - '0');
    }
  }
  return CodeResult::ok(value);
}

// `find_unit`, through the C library's search for bytes, which is faster on long texts.
template <TextUnit Unit>
const Unit* find_in(const Unit* p, const Unit* end, char c) {
  if constexpr (sizeof(Unit) == 1) {
    const void* hit = std::memchr(p, c, static_cast<std::size_t>(end - p));
    return hit ? static_cast<const Unit*>(hit) : end;
  } else {
    return find_unit(p, end, c);
  }
}

// The output of unescaping: UTF-8.
template <TextUnit Unit>
void append_units(std::string& out, UnitView<Unit> units) { append_as_utf8(out, units); }
void append_char(std::string& out, char32_t c) { append_utf8(out, c); }
void append_replacement(std::string& out, std::string_view utf8) { out.append(utf8); }

// What the reference whose "&" is at `start` stands for: one code point (a predefined entity
// or a character reference), or the replacement text of an extra entity from `lookup`.
// `semicolon` is where its ";" is. Error ranges are UTF-8 byte offsets into the text.
struct ResolvedReference {
  std::size_t semicolon;
  char32_t code;                            // 0 for an extra entity
  std::optional<std::string_view> replacement;
};

template <TextUnit Unit>
Result<ResolvedReference, EscapeError> resolve_reference(UnitView<Unit> text, std::size_t start,
                                                         EntityLookup lookup) {
  using R = Result<ResolvedReference, EscapeError>;
  const Unit* const base = text.data();
  const Unit* const limit = base + text.size();
  const auto at = [&](std::size_t i) { return utf8_offset(text, i); };

  // The reference ends at the first ";" unless another "&" comes before it.
  const std::size_t after = start + 1;
  const Unit* semi_hit;
  bool terminated;
  if constexpr (sizeof(Unit) == 1) {
    semi_hit = find_in(base + after, limit, ';');
    terminated = semi_hit != limit && find_in(base + after, semi_hit, '&') == semi_hit;
  } else {
    // Names are short: one plain pass to the first ";" or "&" beats two block searches.
    semi_hit = base + after;
    while (semi_hit != limit && *semi_hit != Unit(';') && *semi_hit != Unit('&')) ++semi_hit;
    terminated = semi_hit != limit && *semi_hit == Unit(';');
  }
  if (!terminated) return R::err(range_error(EscapeErrorKind::UnterminatedEntity, at(start), at(text.size())));
  const std::size_t end = static_cast<std::size_t>(semi_hit - base);
  const UnitView<Unit> name = text.substr(after, end - after);

  if (!name.empty() && name.front() == Unit('#')) {
    auto value = parse_char_ref(name.substr(1));
    if (value.is_err()) return R::err(std::move(value).error());
    const std::uint32_t c = value.value();
    if (c == 0) return R::err(range_error(EscapeErrorKind::EntityWithNull, at(start), at(end)));
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      EscapeError e{EscapeErrorKind::InvalidCodepoint};
      e.codepoint = c;
      return R::err(std::move(e));
    }
    return R::ok(ResolvedReference{end, static_cast<char32_t>(c), std::nullopt});
  }
  if (const char32_t c = predefined_entity(name)) return R::ok(ResolvedReference{end, c, std::nullopt});
  if (auto found = lookup ? lookup(to_utf8(name)) : std::nullopt) return R::ok(ResolvedReference{end, 0, found});
  EscapeError e = range_error(EscapeErrorKind::UnrecognizedSymbol, at(after), at(end));
  e.name = to_utf8(name);
  return R::err(std::move(e));
}

// Unescapes `text` into `out`: true when it held a reference, false (and `out` untouched) when
// it held none.
template <TextUnit Unit, class Out>
Result<bool, EscapeError> unescape_into(UnitView<Unit> text, EntityLookup lookup, Out& out) {
  using R = Result<bool, EscapeError>;
  const Unit* const base = text.data();
  const Unit* const limit = base + text.size();
  const std::size_t n = text.size();
  bool replaced = false;
  std::size_t pos = 0;  // end of the previous reference

  while (pos < n) {
    const Unit* amp_hit = find_in(base + pos, limit, '&');
    if (amp_hit == limit) break;
    const std::size_t start = static_cast<std::size_t>(amp_hit - base);
    auto reference = resolve_reference(text, start, lookup);
    if (reference.is_err()) return R::err(std::move(reference).error());

    if (!replaced) {
      // No reference is shorter than its predefined or numeric replacement, so n units do (in
      // UTF-8; text in wider units may need more, and the string then grows).
      out.reserve(n);
      replaced = true;
    }
    append_units(out, text.substr(pos, start - pos));
    const ResolvedReference& resolved = reference.value();
    if (resolved.replacement) append_replacement(out, *resolved.replacement);  // may outgrow n
    else append_char(out, resolved.code);
    pos = resolved.semicolon + 1;  // a replacement is never scanned again
  }

  if (!replaced) return R::ok(false);
  append_units(out, text.substr(pos));
  return R::ok(true);
}

}  // namespace

Result<CowText, EscapeError> unescape_with(std::string_view text, EntityLookup lookup) {
  using R = Result<CowText, EscapeError>;
  std::string out;
  auto replaced = unescape_into(text, lookup, out);
  if (replaced.is_err()) return R::err(std::move(replaced).error());
  if (!replaced.value()) return R::ok(CowText(text));
  return R::ok(CowText(std::move(out)));
}

namespace {

// The text unescaped into `Out` (UTF-8): itself when it holds no reference.
template <class Out, TextUnit Unit>
Result<Out, Error> unescape_units(UnitView<Unit> text) {
  using R = Result<Out, Error>;
  Out out;
  auto replaced = unescape_into(text, nullptr, out);
  if (replaced.is_err()) return R::err(Error::escape_error(std::move(replaced).error()));
  if (!replaced.value()) append_units(out, text);
  return R::ok(std::move(out));
}

}  // namespace

template <TextUnit Unit>
Result<std::string, Error> unescape_to_utf8(UnitView<Unit> text) {
  return unescape_units<std::string>(text);
}

template Result<std::string, Error> unescape_to_utf8(UnitView<char8_t>);
template Result<std::string, Error> unescape_to_utf8(UnitView<char16_t>);
template Result<std::string, Error> unescape_to_utf8(UnitView<char32_t>);

namespace {

// The longest reference quick_reference reads: "&#1114111;" or "&#x10FFFF;".
constexpr std::size_t kQuickReach = 10;

// The value of a hexadecimal digit (any unit), or -1.
constexpr auto kHexValues = [] {
  std::array<std::int8_t, 128> values{};
  for (std::size_t c = 0; c < values.size(); ++c) values[c] = static_cast<std::int8_t>(hex_digit(static_cast<std::uint32_t>(c)));
  return values;
}();
[[gnu::always_inline]] inline int hex_value(std::uint32_t c) { return c < kHexValues.size() ? kHexValues[c] : -1; }

// Four units as one number, laid out as in memory: `units_word(p)` for the units at `p`,
// `units_word(units)` for four units given (an ASCII name and zeros, a mask).
template <TextUnit Unit>
using UnitsWord = std::conditional_t<sizeof(Unit) == 1, std::uint32_t,
                                     std::conditional_t<sizeof(Unit) == 2, std::uint64_t, unsigned __int128>>;
template <TextUnit Unit>
[[gnu::always_inline]] inline UnitsWord<Unit> units_word(const Unit* p) {
  UnitsWord<Unit> word;
  std::memcpy(&word, p, sizeof(word));
  return word;
}
template <TextUnit Unit>
constexpr UnitsWord<Unit> units_word(std::array<Unit, 4> units) {
  return std::bit_cast<UnitsWord<Unit>>(units);
}
// The units of an ASCII name of up to four characters, the rest zero.
template <TextUnit Unit>
constexpr UnitsWord<Unit> ascii_word(std::string_view name) {
  std::array<Unit, 4> units{};
  for (std::size_t i = 0; i < name.size(); ++i) units[i] = static_cast<Unit>(name[i]);
  return units_word<Unit>(units);
}

// The common references read directly: a predefined entity, or a character reference of at
// most six hexadecimal or seven decimal digits standing for a character. Gives the ";" and sets
// `code`, or gives nullptr for anything else (resolve_reference then reads it, errors and all);
// it never accepts what resolve_reference would read differently. At least kQuickReach units
// must follow the "&" at `p`, so nothing is bounds-checked.
template <TextUnit Unit>
[[gnu::always_inline]] inline const Unit* quick_reference(const Unit* p, char32_t& code) {
  const auto at = [&](std::size_t i) { return unit_value(p[i]); };
  if (at(1) == '#') {
    std::uint32_t value = 0;
    std::size_t i = 2;
    if (at(2) == 'x') {
      for (i = 3; i < 3 + 7; ++i) {
        const int d = hex_value(at(i));
        if (d < 0) break;
        value = value * 16 + static_cast<std::uint32_t>(d);
      }
      if (i == 3 || i > 3 + 6) return nullptr;
    } else {
      for (; i < 2 + 8; ++i) {
        const std::uint32_t c = at(i) - '0';
        if (c > 9) break;
        value = value * 10 + c;
      }
      if (i == 2 || i > 2 + 7) return nullptr;
    }
    if (at(i) != ';' || value == 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return nullptr;
    code = value;
    return p + i;
  }
  // The four units after the "&" compared whole with each entity's (a unit above ASCII equals
  // none of them).
  using Word = UnitsWord<Unit>;
  const Word word = units_word(p + 1);
  constexpr Unit kAll = static_cast<Unit>(~std::uint32_t{0});
  constexpr Word kThreeUnits = units_word<Unit>({kAll, kAll, kAll, Unit{0}});
  if ((word & kThreeUnits) == ascii_word<Unit>("lt;")) return code = '<', p + 3;
  if ((word & kThreeUnits) == ascii_word<Unit>("gt;")) return code = '>', p + 3;
  if (word == ascii_word<Unit>("amp;")) return code = '&', p + 4;
  if (at(5) != ';') return nullptr;
  if (word == ascii_word<Unit>("quot")) return code = '"', p + 5;
  if (word == ascii_word<Unit>("apos")) return code = '\'', p + 5;
  return nullptr;
}

}  // namespace

template <TextUnit Unit>
Result<ReferenceSummary, Error> find_references(UnitView<Unit> text, std::vector<FoundReference>& found,
                                                std::optional<std::uint32_t> unit_bits) {
  using R = Result<ReferenceSummary, Error>;
  const Unit* const base = text.data();
  const Unit* const limit = base + text.size();
  // Every unit counts towards the width, the references' own (ASCII, when they resolve) too.
  ReferenceSummary summary{0, text.size(), unit_bits ? *unit_bits : units_or(text)};
  for (std::size_t pos = 0; pos < text.size();) {
    const Unit* amp_hit = find_unit(base + pos, limit, '&');
    if (amp_hit == limit) break;
    const auto start = static_cast<std::size_t>(amp_hit - base);
    char32_t code = 0;
    const Unit* semicolon;
    if (static_cast<std::size_t>(limit - amp_hit) > kQuickReach) {
      semicolon = quick_reference(amp_hit, code);
    } else {
      // Near the end, on a copy padded with zero units (never a digit, a letter or a ";").
      Unit tail[kQuickReach + 1] = {};
      std::copy(amp_hit, limit, tail);
      semicolon = quick_reference(tail, code);
      if (semicolon != nullptr) semicolon = amp_hit + (semicolon - tail);
    }
    if (semicolon != nullptr) {
      pos = static_cast<std::size_t>(semicolon - base) + 1;
    } else {
      auto reference = resolve_reference(text, start, nullptr);
      if (reference.is_err()) return R::err(Error::escape_error(std::move(reference).error()));
      pos = reference.value().semicolon + 1;
      code = reference.value().code;
    }
    if (summary.count == found.size()) [[unlikely]]
      found.resize(found.size() * 2 + 16);
    found[summary.count++] = FoundReference{start, pos, code};
    summary.length -= pos - start - 1;
    summary.bits |= code;
  }
  return R::ok(summary);
}

template Result<ReferenceSummary, Error> find_references(UnitView<char>, std::vector<FoundReference>&,
                                                         std::optional<std::uint32_t>);
template Result<ReferenceSummary, Error> find_references(UnitView<char8_t>, std::vector<FoundReference>&,
                                                         std::optional<std::uint32_t>);
template Result<ReferenceSummary, Error> find_references(UnitView<char16_t>, std::vector<FoundReference>&,
                                                         std::optional<std::uint32_t>);
template Result<ReferenceSummary, Error> find_references(UnitView<char32_t>, std::vector<FoundReference>&,
                                                         std::optional<std::uint32_t>);

Result<CowText, Error> unescape(std::string_view raw) {
  using R = Result<CowText, Error>;
  if (auto bad = check_utf8(raw)) return R::err(Error::non_decodable(*bad));
  auto result = unescape_with(raw, nullptr);
  if (result.is_err()) return R::err(Error::escape_error(std::move(result).error()));
  return R::ok(std::move(result).value());
}

}  // namespace velmora::reader

namespace velmora::reader {

TextScan scan_text(std::string_view text) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  constexpr std::uint64_t kAmps = kOnes * static_cast<unsigned char>('&');
  const char* p = text.data();
  std::size_t n = text.size();
  std::uint64_t high = 0;
  // Eight bytes at a time: word ^ "&&&&&&&&" has a zero byte exactly where an "&" is, and
  // (x - 0x01..01) & ~x & 0x80..80 is nonzero exactly when x has a zero byte.
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    const std::uint64_t x = word ^ kAmps;
    if ((x - kOnes) & ~x & kHigh) return TextScan{true, false};
    high |= word;
  }
  for (; n > 0; ++p, --n) {
    if (*p == '&') return TextScan{true, false};
    high |= static_cast<unsigned char>(*p);
  }
  return TextScan{false, (high & kHigh) == 0};
}

Result<CowText, Error> unescape_slice(std::string_view slice) {
  using R = Result<CowText, Error>;
  auto result = unescape_with(slice, nullptr);
  if (result.is_err()) return R::err(Error::escape_error(std::move(result).error()));
  return R::ok(std::move(result).value());
}

}  // namespace velmora::reader
