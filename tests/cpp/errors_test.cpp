// Printed forms of error values, byte for byte, and the escaping of quoted texts and characters.
#include <gtest/gtest.h>

#include <string>

#include "reader/errors.h"

namespace velmora::reader {
namespace {

std::string quoted_text(std::string_view s) {
  std::string out;
  print_quoted_text(out, s);
  return out;
}

std::string quoted_char(char32_t c) {
  std::string out;
  print_quoted_char(out, c);
  return out;
}

TEST(QuotedText, EscapesByCategoryAndProperty) {
  const struct {
    std::string text, printed;
  } cases[] = {
      {"", R"("")"},
      {"a\nb", R"("a\nb")"},
      {std::string("\t\r\0x", 4), R"("\t\r\0x")"},
      {"a\"b'c\\", R"("a\"b'c\\")"},
      {" ", R"(" ")"},
      {"\x07\x7F", R"("\u{7}\u{7f}")"},                     // Cc
      {"\xC2\xA0|\xE3\x80\x80", R"("\u{a0}|\u{3000}")"},     // Zs other than the space
      {"e\xCC\x81", R"("e\u{301}")"},                       // Mn: Grapheme_Extend
      {"\xE0\xA6\xBE", R"("\u{9be}")"},                     // Mc but Other_Grapheme_Extend
      {"\xE0\xA4\x83", "\"\xE0\xA4\x83\""},                 // Mc, not extending: printable
      {"\xC2\xAD\xE2\x80\x8B\xEF\xBB\xBF", R"("\u{ad}\u{200b}\u{feff}")"},  // Cf
      {"\xE2\x80\xA8\xE2\x80\xA9", R"("\u{2028}\u{2029}")"},  // Zl, Zp
      {"\xEE\x80\x80\xF3\xB0\x80\x80", R"("\u{e000}\u{f0000}")"},  // Co, in First/Last ranges
      {"\xCD\xB8\xF4\x8F\xBF\xBF", R"("\u{378}\u{10ffff}")"},  // Cn: unassigned
      {"\xF3\xA0\x84\x80", R"("\u{e0100}")"},               // variation selector, plane 14
      // Ranges given as First/Last lines are assigned: CJK, Hangul, plane 2.
      {"\xE4\xB8\x80\xE9\xBF\xBF\xEA\xB0\x80\xF0\xA0\x80\x80",
       "\"\xE4\xB8\x80\xE9\xBF\xBF\xEA\xB0\x80\xF0\xA0\x80\x80\""},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\""},
      // Bytes that are not UTF-8 print as U+FFFD instead of being dropped or over-read.
      {"a\xFF" "b", "\"a\xEF\xBF\xBD" "b\""},
      {"a\xE2\x82", "\"a\xEF\xBF\xBD\""},
  };
  for (const auto& c : cases) EXPECT_EQ(quoted_text(c.text), c.printed) << c.printed;
}

TEST(QuotedChar, SwapsWhichQuoteIsEscaped) {
  const struct {
    char32_t c;
    std::string printed;
  } cases[] = {
      {'\'', R"('\'')"},  {'"', R"('"')"},      {' ', "' '"},        {'\\', R"('\\')"},
      {0, R"('\0')"},     {'\n', R"('\n')"},    {0xC3, "'\xC3\x83'"}, {0xA0, R"('\u{a0}')"},
      {0xAD, R"('\u{ad}')"}, {0xD800, R"('\u{d800}')"}, {0x110000, R"('\u{110000}')"},
  };
  for (const auto& c : cases) EXPECT_EQ(quoted_char(c.c), c.printed) << c.printed;
}

AttrError attr(AttrErrorKind k, std::size_t pos, std::size_t earlier = 0, std::uint8_t quote = 0) {
  AttrError e{k};
  e.position = pos;
  e.earlier_key = earlier;
  e.quote = quote;
  return e;
}

EscapeError esc(EscapeErrorKind k, std::size_t start = 0, std::size_t end = 0, std::string name = {}) {
  EscapeError e{k};
  e.start = start;
  e.end = end;
  e.name = std::move(name);
  return e;
}

EscapeError esc_byte(EscapeErrorKind k, std::uint8_t b) {
  EscapeError e{k};
  e.byte = b;
  return e;
}

TEST(PrintedForms, EveryKind) {
  Error io = Error::io("disk gone");
  Error decl_some = Error::xml_decl_without_version("encoding");
  Error decl_none = Error::xml_decl_without_version(std::nullopt);
  Error invalid_attr = Error::invalid_attr(attr(AttrErrorKind::ExpectedEq, 3));
  Error prefix = Error::unknown_prefix({120, 109, 108});
  Error bind = Error::invalid_prefix_bind({}, {97, 98});
  EscapeError cp{EscapeErrorKind::InvalidCodepoint};
  cp.codepoint = 1114112;

  const std::pair<std::string, std::string> cases[] = {
      {to_string(io), "Io(disk gone)"},
      {to_string(Error::non_decodable(Utf8Error{0, 1})),
       "NonDecodable(Some(Utf8Error { valid_up_to: 0, error_len: Some(1) }))"},
      {to_string(Error::non_decodable(std::nullopt)), "NonDecodable(None)"},
      {to_string(Error::unexpected_eof("</\"a\">")), R"(UnexpectedEof("</\"a\">"))"},
      {to_string(Error::end_event_mismatch("", "a")), R"(EndEventMismatch { expected: "", found: "a" })"},
      {to_string(Error::unexpected_token("--")), R"(UnexpectedToken("--"))"},
      {to_string(Error::unexpected_bang(62)), "UnexpectedBang(62)"},
      {to_string(Error::text_not_found()), "TextNotFound"},
      {to_string(decl_some), R"(XmlDeclWithoutVersion(Some("encoding")))"},
      {to_string(decl_none), "XmlDeclWithoutVersion(None)"},
      {to_string(Error::empty_doctype()), "EmptyDocType"},
      {to_string(invalid_attr), "InvalidAttr(ExpectedEq(3))"},
      {to_string(prefix), "UnknownPrefix([120, 109, 108])"},
      {to_string(bind), "InvalidPrefixBind { prefix: [], namespace: [97, 98] }"},
      {to_string(Utf8Error{12, std::nullopt}), "Utf8Error { valid_up_to: 12, error_len: None }"},
      {to_string(attr(AttrErrorKind::ExpectedValue, 4)), "ExpectedValue(4)"},
      {to_string(attr(AttrErrorKind::UnquotedValue, 18446744073709551615ull)),
       "UnquotedValue(18446744073709551615)"},
      {to_string(attr(AttrErrorKind::ExpectedQuote, 8, 0, 34)), "ExpectedQuote(8, 34)"},
      {to_string(attr(AttrErrorKind::Duplicated, 8, 2)), "Duplicated(8, 2)"},
      {to_string(Error::escape_error(esc(EscapeErrorKind::EntityWithNull, 0, 3))),
       "EscapeError(EntityWithNull(0..3))"},
      {to_string(esc(EscapeErrorKind::UnrecognizedSymbol, 1, 1)), R"(UnrecognizedSymbol(1..1, ""))"},
      {to_string(esc(EscapeErrorKind::UnrecognizedSymbol, 1, 4, "a\"b")),
       R"(UnrecognizedSymbol(1..4, "a\"b"))"},
      {to_string(esc(EscapeErrorKind::UnterminatedEntity, 6, 12)), "UnterminatedEntity(6..12)"},
      {to_string(esc(EscapeErrorKind::TooLongHexadecimal)), "TooLongHexadecimal"},
      {to_string(esc(EscapeErrorKind::TooLongDecimal)), "TooLongDecimal"},
      {to_string(esc_byte(EscapeErrorKind::InvalidHexadecimal, 'G')), "InvalidHexadecimal('G')"},
      {to_string(esc_byte(EscapeErrorKind::InvalidDecimal, '\'')), R"(InvalidDecimal('\''))"},
      {to_string(esc_byte(EscapeErrorKind::InvalidDecimal, '"')), R"(InvalidDecimal('"'))"},
      {to_string(esc_byte(EscapeErrorKind::InvalidDecimal, 0xC3)), "InvalidDecimal('\xC3\x83')"},
      {to_string(esc_byte(EscapeErrorKind::InvalidHexadecimal, 0xA0)), R"(InvalidHexadecimal('\u{a0}'))"},
      {to_string(cp), "InvalidCodepoint(1114112)"},
  };
  for (const auto& [got, want] : cases) EXPECT_EQ(got, want);
}

}  // namespace
}  // namespace velmora::reader
