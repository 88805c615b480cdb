// Entity and character reference unescaping: results, exact errors, borrowing and the lookup hook.
#include <gtest/gtest.h>

#include <string>

#include "reader/unescape.h"

namespace velmora::reader {
namespace {

// The unescaped text, or the printed Error.
std::string outcome(std::string_view text) {
  auto r = unescape(text);
  return r.is_ok() ? std::string(r.value().view()) : to_string(r.error());
}

TEST(Unescape, ResultsAndErrors) {
  const std::pair<std::string, std::string> cases[] = {
      {"&lt;&gt;&amp;&apos;&quot;&#65;&#x41;", "<>&'\"AA"},
      {"a;b", "a;b"},
      {"x &amp; y; z", "x & y; z"},
      {"&#38;lt;", "&lt;"},  // a replacement is not scanned again
      {"&#1114111;", "\xF4\x8F\xBF\xBF"},
      {"&#x10FFFF;", "\xF4\x8F\xBF\xBF"},
      {"&#0065;", "A"},
      {"&#x000041;", "A"},
      {"&#xe9;&#x20AC;&#128512;", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"&#xD7FF;&#xE000;", "\xED\x9F\xBF\xEE\x80\x80"},
      {"&#0;", "EscapeError(EntityWithNull(0..3))"},
      {"&#;", "EscapeError(EntityWithNull(0..2))"},
      {"&#x;", "EscapeError(EntityWithNull(0..3))"},
      {"ab&#x00;", "EscapeError(EntityWithNull(2..7))"},
      {"&#x110000;", "EscapeError(InvalidCodepoint(1114112))"},
      {"&#xD800;", "EscapeError(InvalidCodepoint(55296))"},
      {"&#57343;", "EscapeError(InvalidCodepoint(57343))"},
      {"&#9999999;", "EscapeError(InvalidCodepoint(9999999))"},
      {"&#xFFFFFF;", "EscapeError(InvalidCodepoint(16777215))"},
      {"&amp", "EscapeError(UnterminatedEntity(0..4))"},
      {"&a&b;", "EscapeError(UnterminatedEntity(0..5))"},
      {"x&amp;&bogus", "EscapeError(UnterminatedEntity(6..12))"},
      {"&lt;&", "EscapeError(UnterminatedEntity(4..5))"},
      {"&foo;", R"(EscapeError(UnrecognizedSymbol(1..4, "foo")))"},
      {"&;", R"(EscapeError(UnrecognizedSymbol(1..1, "")))"},
      {"&LT;", R"(EscapeError(UnrecognizedSymbol(1..3, "LT")))"},
      {"&a\"b;", R"(EscapeError(UnrecognizedSymbol(1..4, "a\"b")))"},
      {"\xC3\xA9&x;", R"(EscapeError(UnrecognizedSymbol(3..4, "x")))"},
      {"&bogus;&#0;", R"(EscapeError(UnrecognizedSymbol(1..6, "bogus")))"},  // leftmost error wins
      {"&#X41;", "EscapeError(InvalidDecimal('X'))"},
      {"&#-1;", "EscapeError(InvalidDecimal('-'))"},
      {"&#1 ;", "EscapeError(InvalidDecimal(' '))"},
      {"&#1x;", "EscapeError(InvalidDecimal('x'))"},
      {"&#\xC3\xA9;", "EscapeError(InvalidDecimal('\xC3\x83'))"},
      {"&#x4G;", "EscapeError(InvalidHexadecimal('G'))"},
      {"&#x-1;", "EscapeError(InvalidHexadecimal('-'))"},
      {"&#x\xC2\xA0;", "EscapeError(InvalidHexadecimal('\xC3\x82'))"},  // only the first byte
      // Length limits come before any digit: 8 bytes after "&#", 7 after "&#x".
      {"&#12345678;", "EscapeError(TooLongDecimal)"},
      {"&#00000065;", "EscapeError(TooLongDecimal)"},
      {"&#abcdefgh;", "EscapeError(TooLongDecimal)"},
      {"&#x1234567;", "EscapeError(TooLongHexadecimal)"},
      {"&#xzzzzzzz;", "EscapeError(TooLongHexadecimal)"},
      {"\xFF&amp;", "NonDecodable(Some(Utf8Error { valid_up_to: 0, error_len: Some(1) }))"},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(outcome(text), want) << text;
}

TEST(Unescape, BorrowsTextWithoutReferences) {
  for (std::string_view text : {"", "a;b", "plain text"}) {
    auto r = unescape_with(text);
    ASSERT_TRUE(r.is_ok());
    EXPECT_FALSE(r.value().is_owned());
    EXPECT_EQ(r.value().view().data(), text.data());
  }
  auto r = unescape_with("a&amp;b");
  ASSERT_TRUE(r.is_ok());
  EXPECT_TRUE(r.value().is_owned());
}

TEST(Unescape, LookupAfterPredefinedNames) {
  EntityLookup lookup = [](std::string_view name) -> std::optional<std::string_view> {
    if (name == "lt") return "never";
    if (name == "nbsp") return "\xC2\xA0";
    if (name == "long") return "a replacement far longer than the whole input text";
    return std::nullopt;
  };
  auto ok = unescape_with("&lt;&nbsp;&long;!", lookup);
  ASSERT_TRUE(ok.is_ok());
  EXPECT_EQ(ok.value().view(), "<\xC2\xA0" "a replacement far longer than the whole input text!");

  auto bad = unescape_with("&nbsp;&other;", lookup);
  ASSERT_TRUE(bad.is_err());
  EXPECT_EQ(to_string(bad.error()), R"(UnrecognizedSymbol(7..12, "other"))");
}

}  // namespace
}  // namespace velmora::reader

namespace velmora::reader {
namespace {

// scan_text: a reference anywhere (each side of the eight-byte steps), and ASCII only without one.
TEST(ScanText, ReferencesAndAscii) {
  struct Case {
    std::string text;
    bool has_reference;
    bool ascii;
  };
  const Case cases[] = {
      {"", false, true},
      {"abc", false, true},
      {"abcdefgh", false, true},
      {"abcdefghijklmnopq", false, true},
      {"&", true, false},
      {"abcdefg&", true, false},
      {"abcdefgh&", true, false},
      {"abcdefghijklmno&p", true, false},
      {"\xC3\xA9", false, false},
      {"abcdefgh\xC3\xA9", false, false},
      {"\xC3\xA9" "abcdefghij", false, false},
      {"abcdefghijklmnop\xF0\x9F\x98\x80", false, false},
      {"\xC3\xA9&", true, false},
      {std::string("ab\0cdefgh%", 10), false, true},  // bytes next to "&" (0x26) are not it
  };
  for (const Case& c : cases) {
    const TextScan scan = scan_text(c.text);
    EXPECT_EQ(scan.has_reference, c.has_reference) << c.text;
    if (!c.has_reference) {
      EXPECT_EQ(scan.ascii, c.ascii) << c.text;
    }
  }
}

}  // namespace
}  // namespace velmora::reader
