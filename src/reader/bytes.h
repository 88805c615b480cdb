// The byte-level constants of XML text that every scanner of the reader shares.
#pragma once

#include <string_view>

namespace velmora::reader {

// Whitespace is exactly these four bytes, everywhere in the reader; nothing else, ASCII or not.
constexpr bool is_xml_whitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The UTF-8 byte order mark.
inline constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

}  // namespace velmora::reader
