// The byte-level constants of XML text that every scanner of the reader shares.
#pragma once

#include <cstddef>
#include <string_view>

namespace velmora::reader {

// Whitespace is exactly these four bytes, everywhere in the reader; nothing else, ASCII or not.
constexpr bool is_xml_whitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Index of the first whitespace byte of `s`, or its size.
constexpr std::size_t first_ws(std::string_view s) {
  for (std::size_t i = 0; i < s.size(); ++i)
    if (is_xml_whitespace(s[i])) return i;
  return s.size();
}

// Compares `s` with the lower-case ASCII `lower`, folding only A-Z in `s`.
constexpr bool ascii_iequals(std::string_view s, std::string_view lower) {
  if (s.size() != lower.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// The UTF-8 byte order mark.
inline constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

}  // namespace velmora::reader
