// The constants of XML text that every scanner of the reader shares, for every unit form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "reader/units.h"

namespace velmora::reader {

// Whitespace is exactly these four characters, everywhere in the reader; nothing else, ASCII or
// not.
template <class Unit>
[[gnu::always_inline]] constexpr bool is_xml_whitespace(Unit c) {
  // One compare and one bit test (bits 9, 10, 13 and 32: tab, newline, carriage return, space).
  constexpr std::uint64_t kWhitespace = (1ull << ' ') | (1ull << '\t') | (1ull << '\n') | (1ull << '\r');
  const auto u = static_cast<std::uint32_t>(c);
  return u <= ' ' && ((kWhitespace >> u) & 1u) != 0;
}

// Compares `s` with the lower-case ASCII `lower`, folding only A-Z in `s`.
template <TextUnit Unit>
constexpr bool ascii_iequals(UnitView<Unit> s, std::string_view lower) {
  if (s.size() != lower.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    std::uint32_t c = unit_value(s[i]);
    if (c >= 'A' && c <= 'Z') c = c - 'A' + 'a';
    if (c != static_cast<unsigned char>(lower[i])) return false;
  }
  return true;
}

// The UTF-8 byte order mark.
inline constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

}  // namespace velmora::reader
