// The strict attribute iterator: every item of whole passes (recovery after errors included),
// the duplicate check on tags with many keys, value unescaping and local names.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "reader/attributes.h"

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
