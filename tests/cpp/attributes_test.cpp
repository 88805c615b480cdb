// The strict attribute iterator: every item of whole passes (recovery after errors included),
// the duplicate check on tags with many keys, value unescaping and local names.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "reader/attributes.h"
#include "reader/unescape.h"
#include "reader/units.h"
#include "reader/utf8.h"

namespace velmora::reader {
namespace {

// Every item of one pass over `content` (element name `a`), as "key=value" or the printed error.
std::string pass(std::string_view content, std::size_t name_len = 1) {
  Attributes attrs(content, name_len);
  std::string out;
  // Each call must end the pass or consume a byte, so a pass has at most n + 1 items.
  for (std::size_t calls = 0; calls <= content.size() + 1; ++calls) {
    auto item = attrs.next();
    if (!item) {
      if (attrs.next()) return out + " [not ended]";
      return out;
    }
    if (!out.empty()) out += ' ';
    if (item->is_ok()) {
      out += std::string(item->value().key.bytes) + "=" + std::string(item->value().value);
    } else {
      out += to_string(item->error());
    }
  }
  return out + " [did not end]";
}

TEST(Attributes, WholePasses) {
  const std::pair<std::string, std::string> cases[] = {
      {"a", ""},
      {"a ", ""},
      {"", ""},
      {"a x = '1' ", "x=1"},
      {"a x=\"1\"y='2'", "x=1 y=2"},
      {"a x=\"it's\" y='say \"hi\"'", "x=it's y=say \"hi\""},
      {"a x=\"\"", "x="},
      {"a x=\"1\" X=\"2\" p:x=\"3\"", "x=1 X=2 p:x=3"},
      {"a ==\"1\"", "==1"},
      {"a x=\"1\t\n2<\"", "x=1\t\n2<"},
      // First failing items; a pass goes on from the recovery point.
      {"a x=\"1\" x=\"2\"", "x=1 Duplicated(8, 2)"},
      {"a x=\"1\" x=", "x=1 Duplicated(8, 2)"},  // duplicates are found before the value check
      {"a x=1", "UnquotedValue(4)"},
      {"a x= y", "UnquotedValue(5)"},
      {"a x=1 y=\"2\"", "UnquotedValue(4) y=2"},
      {"a x", "ExpectedEq(3)"},
      {"a x y=\"1\"", "ExpectedEq(4) y=1"},
      {"a x y z", "ExpectedEq(4) ExpectedEq(6) ExpectedEq(7)"},
      {"a x=\"1\" x", "x=1 ExpectedEq(9)"},  // no "=", so no duplicate check
      {"a x=", "ExpectedValue(4)"},
      {"a x= \t", "ExpectedValue(6)"},
      {"a =\"1\"", "ExpectedEq(6)"},
      {"a / ", "ExpectedEq(4)"},
      {"a x\"y=\"1", "ExpectedQuote(8, 34)"},
      {"a x='1", "ExpectedQuote(6, 39)"},
      // After Duplicated the pass resumes at the first whitespace after the "=", here inside
      // the rejected value; the rejected key is not stored.
      {"a x=\"1\" x=\"a b\" y=\"2\"", "x=1 Duplicated(8, 2) ExpectedEq(16) y=2"},
      {"a x='1' x ='2' x='3'", "x=1 Duplicated(8, 2) Duplicated(15, 2)"},
  };
  for (const auto& [content, items] : cases) EXPECT_EQ(pass(content), items) << content;
}

// Every item of one pass, read by `next` (inline shortcut and fallback) or by the general rules
// alone, in one unit form: keys, values and errors in UTF-8, and for a value the shortcut
// scanned, whether that scan agrees with a scan of the value alone.
template <TextUnit Unit>
std::string pass_in(std::basic_string_view<Unit> content, bool by_rules) {
  BasicAttributes<Unit> attrs(content, 1);
  std::string out;
  for (std::size_t calls = 0; calls <= content.size() + 1; ++calls) {
    auto item = by_rules ? attrs.next_by_rules() : attrs.next();
    if (!item) return out;
    if (!out.empty()) out += ' ';
    if (item->is_err()) {
      out += to_string(item->error());
      continue;
    }
    const BasicAttribute<Unit>& a = item->value();
    out += to_utf8<Unit>(a.key.bytes) + "=" + to_utf8<Unit>(a.value);
    if (a.scanned) {
      const UnitScan own = scan_units<Unit>(a.value);
      const bool agrees = own.has_reference == a.has_reference &&
                          (own.has_reference || ((own.bits < 0x80) == (a.bits < 0x80) &&
                                                 (own.bits < 0x100) == (a.bits < 0x100) &&
                                                 (own.bits < 0x10000) == (a.bits < 0x10000)));
      if (!agrees) out += " [scan differs]";
    }
  }
  return out + " [did not end]";
}

template <TextUnit Unit>
std::basic_string<Unit> in_units(std::string_view utf8) {
  std::basic_string<Unit> out;
  for (std::size_t i = 0; i < utf8.size();) out += static_cast<Unit>(decode_utf8_valid(utf8, i));
  return out;
}

// The inline shortcut takes only well-formed items with a new key: on every other input it must
// leave exactly what the general rules give, in every unit form the content fits.
TEST(Attributes, ShortcutGivesWhatTheRulesGive) {
  const std::string cases[] = {
      "a x=\"1\" y='2' z=\"\"",
      "a x=\"1\"y='2'",                     // no whitespace between items
      "a \t\r\nx=\"1\"\n",                  // every whitespace character, trailing whitespace
      "a x = \"1\" y= '2' z ='3'",          // whitespace on either side of "="
      "a x=\"1\" x=\"2\" y=\"3\"",          // duplicates, then recovery
      "a x=\"1\" y=\"2\" x='3'",
      "a k=\"1\" kk=\"2\" k=\"3\"",
      "a ab=\"1\" ba=\"2\" ab=\"3\"",       // same length, first and last units swapped
      "a x=\"1\" x=",                        // duplicate before the missing value
      "a x=\"1\" y=\"2",                    // no closing quote
      "a x='1\" y=\"2'",                    // the other quote inside a value
      "a x=1 y=\"2\"",                      // unquoted
      "a x y=\"1\"",
      "a x\"y=\"1",
      "a ==\"1\" =\"2\"",
      "a p:x=\"1\" x=\"2\" p:x=\"3\"",
      "a x=\"&lt;\" y=\"a&amp;b\" z=\"&\"",  // references, and a lone "&"
      "a x=\"caf\xC3\xA9\" y=\"\xCE\xB1\xCE\xB2\" z=\"\xF0\x9F\x98\x80\" w=\"plain\"",
      // Values ending at, before and after the 16-byte blocks of the scan, in every width.
      "a x=\"0123456\" y=\"01234567\" z=\"0123456789abcde\" w=\"0123456789abcdef\" v=\"0123456789abcdef0\"",
      "a x=\"\xC3\xA9\x31\x32\x33\x34\x35\x36\" y=\"123456\xC3\xA9\" z=\"12345678901234\xC3\xA9\"",
      "a x=\"1234567&\" y=\"123456789012345&\" z=\"&123456789012345\"",
      "a x=\"1\" y=\"&\" z=\"\xC3\xA9\"",   // plain values with an & or a wider unit after them in the block
      "a x=\"1\" /",
      "a x=\"1\"=\"2\"",
  };
  for (const std::string& content : cases) {
    const std::string expected = pass_in<char>(content, true);
    EXPECT_EQ(pass_in<char>(content, false), expected) << content;
    const std::u32string wide = in_units<char32_t>(content);
    const char32_t highest = *std::max_element(wide.begin(), wide.end());
    EXPECT_EQ(pass_in<char32_t>(wide, false), expected) << content;
    EXPECT_EQ(pass_in<char32_t>(wide, true), expected) << content;
    if (highest < 0x10000) {
      const std::u16string ucs2 = in_units<char16_t>(content);
      EXPECT_EQ(pass_in<char16_t>(ucs2, false), expected) << content;
      EXPECT_EQ(pass_in<char16_t>(ucs2, true), expected) << content;
    }
    if (highest < 0x100) {
      const std::u8string latin1 = in_units<char8_t>(content);
      EXPECT_EQ(pass_in<char8_t>(latin1, false), expected) << content;
      EXPECT_EQ(pass_in<char8_t>(latin1, true), expected) << content;
    }
  }
}

std::string many_keys(std::size_t count, std::vector<std::size_t>& starts) {
  std::string content = "a";
  for (std::size_t i = 0; i < count; ++i) {
    content += ' ';
    starts.push_back(content.size());
    content += "k" + std::to_string(i) + "=''";
  }
  return content;
}

// The first earlier equal key is found whether the check still compares linearly or has
// switched to its index, on either side of the switch.
TEST(Attributes, DuplicateFoundAtAnyKeyCount) {
  for (std::size_t count : {1, 2, 15, 16, 17, 40}) {
    for (std::size_t dup : {std::size_t{0}, count / 2, count - 1}) {
      std::vector<std::size_t> starts;
      std::string content = many_keys(count, starts);
      const std::size_t at = content.size() + 1;
      content += " k" + std::to_string(dup) + "='' z=''";
      Attributes attrs(content, 1);
      for (std::size_t i = 0; i < count; ++i) ASSERT_TRUE(attrs.next()->is_ok());
      auto item = attrs.next();
      ASSERT_TRUE(item && item->is_err());
      EXPECT_EQ(to_string(item->error()),
                "Duplicated(" + std::to_string(at) + ", " + std::to_string(starts[dup]) + ")")
          << count << " keys, duplicate of " << dup;
      // The rejected key was not stored: the next key is still new.
      auto next = attrs.next();
      ASSERT_TRUE(next && next->is_ok());
      EXPECT_EQ(next->value().key.bytes, "z");
    }
  }
}

TEST(Attributes, HundredThousandKeysStaySubQuadratic) {
  constexpr std::size_t kCount = 100'000;
  std::vector<std::size_t> starts;
  std::string content = many_keys(kCount, starts);
  const std::size_t at = content.size() + 1;
  content += " k7='again'";

  const auto t0 = std::chrono::steady_clock::now();
  Attributes attrs(content, 1);
  std::size_t ok = 0;
  std::string last_error;
  while (auto item = attrs.next()) {
    if (item->is_ok()) ++ok;
    else last_error = to_string(item->error());
  }
  const auto elapsed = std::chrono::steady_clock::now() - t0;

  EXPECT_EQ(ok, kCount);
  EXPECT_EQ(last_error, "Duplicated(" + std::to_string(at) + ", " + std::to_string(starts[7]) + ")");
  // Comparing every pair would take billions of comparisons; the index needs milliseconds.
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 2000);
}

TEST(Attribute, UnescapeValue) {
  const std::pair<std::string, std::string> cases[] = {
      {"a x='&lt;b&gt;'", "<b>"},
      {"a x=\"&foo;\"", R"(EscapeError(UnrecognizedSymbol(1..4, "foo")))"},
      {"a x=\"ab&c\"", "EscapeError(UnterminatedEntity(2..4))"},  // positions from the value
      {"a x='\xC3\x28'", "NonDecodable(Some(Utf8Error { valid_up_to: 0, error_len: Some(1) }))"},
  };
  for (const auto& [content, want] : cases) {
    auto item = Attributes(content, 1).next();
    ASSERT_TRUE(item && item->is_ok()) << content;
    auto value = item->value().unescape_value();
    EXPECT_EQ(value.is_ok() ? std::string(value.value().view()) : to_string(value.error()), want);
  }

  const std::string content = "a x='plain'";
  auto item = Attributes(content, 1).next();
  auto value = item->value().unescape_value();
  ASSERT_TRUE(value.is_ok());
  EXPECT_FALSE(value.value().is_owned());
  EXPECT_EQ(value.value().view().data(), content.data() + 5);  // borrowed from the tag
}

TEST(QName, LocalNames) {
  const std::pair<std::string, std::string> cases[] = {
      {"ns:tag", "tag"}, {"tag", "tag"}, {":tag", "tag"}, {"tag:", ""}, {"a:b:c", "b:c"}, {"", ""},
  };
  for (const auto& [name, local] : cases) {
    EXPECT_EQ(QName{name}.local_name(), local) << name;
    auto copied = ln(QName{name});
    ASSERT_TRUE(copied.is_ok());
    EXPECT_EQ(copied.value(), local);
  }
  auto bad = ln(QName{"p:\xC3"});
  ASSERT_TRUE(bad.is_err());
  EXPECT_EQ(to_string(bad.error()), "Utf8Error { valid_up_to: 0, error_len: None }");
}

}  // namespace
}  // namespace velmora::reader
