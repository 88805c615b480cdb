// The code units the reader reads. Text comes either as UTF-8 bytes (`char`) or as whole code
// points, one per unit of one, two or four bytes (`char8_t`, `char16_t`, `char32_t`: the three
// forms CPython stores a str in; a one-byte unit here is a Latin-1 code point, not UTF-8).
// Every delimiter XML uses is ASCII and means the same in every form, so the scanners are the
// same code for all four; what leaves the reader for people (positions and text in error
// messages) is always in UTF-8 terms, turned so when an error is made.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "reader/utf8.h"

namespace velmora::reader {

template <class Unit>
concept TextUnit = std::same_as<Unit, char> || std::same_as<Unit, char8_t> ||
                   std::same_as<Unit, char16_t> || std::same_as<Unit, char32_t>;

template <class Unit>
inline constexpr bool kIsUtf8 = std::is_same_v<Unit, char>;

template <class Unit>
using UnitView = std::basic_string_view<Unit>;

// The value of a unit as an unsigned number: a byte of UTF-8, or a code point.
template <TextUnit Unit>
constexpr std::uint32_t unit_value(Unit u) {
  if constexpr (kIsUtf8<Unit>) return static_cast<unsigned char>(u);
  else return static_cast<std::uint32_t>(u);
}

// Bytes of the code point `c` in UTF-8.
constexpr std::size_t utf8_width(std::uint32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

// Length in UTF-8 of `s` (its size, for UTF-8 text).
template <TextUnit Unit>
std::size_t utf8_length(UnitView<Unit> s) {
  if constexpr (kIsUtf8<Unit>) {
    return s.size();
  } else {
    std::size_t n = s.size();
    for (const Unit u : s) n += utf8_width(unit_value(u)) - 1;
    return n;
  }
}

// Where unit `at` of `s` begins in the UTF-8 form of `s`.
template <TextUnit Unit>
std::size_t utf8_offset(UnitView<Unit> s, std::size_t at) {
  return utf8_length<Unit>(s.substr(0, at));
}

// Appends `s` in UTF-8. Code points must not be surrogates (a str read in its own form has none).
template <TextUnit Unit>
void append_as_utf8(std::string& out, UnitView<Unit> s) {
  if constexpr (kIsUtf8<Unit>) {
    out.append(s);
  } else {
    out.reserve(out.size() + s.size());
    for (const Unit u : s) {
      const std::uint32_t c = unit_value(u);
      if (c < 0x80) out += static_cast<char>(c);
      else append_utf8(out, static_cast<char32_t>(c));
    }
  }
}

template <TextUnit Unit>
std::string to_utf8(UnitView<Unit> s) {
  std::string out;
  append_as_utf8<Unit>(out, s);
  return out;
}

// The first byte of the unit's character in UTF-8 (the unit itself, for UTF-8 text).
template <TextUnit Unit>
std::uint8_t first_utf8_byte(Unit u) {
  if constexpr (kIsUtf8<Unit>) {
    return static_cast<std::uint8_t>(u);
  } else {
    std::string one;
    append_utf8(one, static_cast<char32_t>(unit_value(u)));
    return static_cast<std::uint8_t>(one[0]);
  }
}

// Whether two views hold the same units, compared as raw bytes in every form (the standard
// comparison of wider characters goes unit by unit). Names are mostly short: up to 16 bytes they
// are compared as two overlapping words, without a call.
template <TextUnit Unit>
[[gnu::always_inline]] inline bool same_units(UnitView<Unit> a, UnitView<Unit> b) {
  if (a.size() != b.size()) return false;
  const std::size_t bytes = a.size() * sizeof(Unit);
  const char* x = reinterpret_cast<const char*>(a.data());
  const char* y = reinterpret_cast<const char*>(b.data());
  const auto same_at = [&]<class Word>(Word, std::size_t at) {
    Word u, v;
    __builtin_memcpy(&u, x + at, sizeof(Word));
    __builtin_memcpy(&v, y + at, sizeof(Word));
    return u == v;
  };
  if (bytes >= 8) {
    if (bytes > 16) return __builtin_memcmp(x, y, bytes) == 0;
    return same_at(std::uint64_t{}, 0) && same_at(std::uint64_t{}, bytes - 8);
  }
  if (bytes >= 4) return same_at(std::uint32_t{}, 0) && same_at(std::uint32_t{}, bytes - 4);
  for (std::size_t i = 0; i < bytes; ++i)
    if (x[i] != y[i]) return false;
  return true;
}

// Whether `s` is exactly the ASCII text `ascii`.
template <TextUnit Unit>
constexpr bool equals_ascii(UnitView<Unit> s, std::string_view ascii) {
  if (s.size() != ascii.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i)
    if (unit_value(s[i]) != static_cast<unsigned char>(ascii[i])) return false;
  return true;
}

// The byte order mark at the front of `s`: its length in units, or 0.
template <TextUnit Unit>
constexpr std::size_t byte_order_mark_length(UnitView<Unit> s) {
  if constexpr (kIsUtf8<Unit>) {
    return s.size() >= 3 && s[0] == '\xEF' && s[1] == '\xBB' && s[2] == '\xBF' ? 3 : 0;
  } else {
    return !s.empty() && unit_value(s.front()) == 0xFEFF ? 1 : 0;
  }
}

}  // namespace velmora::reader
