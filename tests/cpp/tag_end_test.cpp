// The block search for a tag's ">" answers what a walk over one unit at a time answers, in every
// unit form, from every quote state, and when resumed over chunks cut anywhere.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "reader/tag_end.h"

namespace velmora::reader {
namespace {

// The definition: the first ">" outside quotes; inside quotes only the same quote leaves them.
template <class Unit>
std::size_t reference_end(const std::basic_string<Unit>& s, std::size_t from, char& quote) {
  for (std::size_t i = from; i < s.size(); ++i) {
    const Unit c = s[i];
    if (quote != 0) {
      if (c == Unit(quote)) quote = 0;
    } else if (c == Unit('>')) {
      return i;
    } else if (c == Unit('"') || c == Unit('\'')) {
      quote = static_cast<char>(c);
    }
  }
  return s.size();
}

// Units that matter to the search, ASCII filler, and units whose low byte (or saturated value)
// could be mistaken for one of them in a narrowed block.
template <class Unit>
std::vector<Unit> alphabet() {
  std::vector<Unit> units = {Unit('>'), Unit('"'), Unit('\''), Unit('a'), Unit(' '), Unit('='), Unit(0xFF)};
  if constexpr (sizeof(Unit) >= 2) {
    for (std::uint32_t u : {0x13Eu, 0x222u, 0x3E3Eu, 0x8022u, 0xFF3Eu, 0xFFFFu}) units.push_back(Unit(u));
  }
  if constexpr (sizeof(Unit) == 4) {
    for (std::uint32_t u : {0x1003Eu, 0x10FF22u, 0x27003Eu}) units.push_back(Unit(u));
  }
  return units;
}

template <class Unit>
void check_against_reference(std::uint32_t seed) {
  std::mt19937 rng(seed);
  const std::vector<Unit> units = alphabet<Unit>();
  for (int round = 0; round < 3000; ++round) {
    // Mostly filler, so that runs of quotes and values of every length cross block edges.
    const std::size_t length = rng() % 80;
    const unsigned density = 1 + rng() % 6;
    std::basic_string<Unit> s;
    for (std::size_t i = 0; i < length; ++i)
      s += rng() % density == 0 ? units[rng() % units.size()] : Unit('a' + rng() % 3);
    for (const char start : {'\0', '"', '\''}) {
      char want_quote = start, got_quote = start;
      const std::size_t want = reference_end(s, 0, want_quote);
      const Unit* got = find_tag_end(s.data(), s.data() + s.size(), got_quote);
      ASSERT_EQ(static_cast<std::size_t>(got - s.data()), want) << "round " << round << " start " << int(start);
      if (want == s.size()) {
        ASSERT_EQ(got_quote, want_quote) << "round " << round;
      }

      // Resumed over two chunks: the first one's end state carries over.
      const std::size_t cut = s.empty() ? 0 : rng() % (s.size() + 1);
      char chunk_quote = start;
      const Unit* first = find_tag_end(s.data(), s.data() + cut, chunk_quote);
      std::size_t resumed = static_cast<std::size_t>(first - s.data());
      if (resumed == cut) {
        resumed = static_cast<std::size_t>(find_tag_end(s.data() + cut, s.data() + s.size(), chunk_quote) - s.data());
      }
      ASSERT_EQ(resumed, want) << "round " << round << " cut " << cut;
    }
  }
}

TEST(TagEnd, AgreesWithTheUnitByUnitSearchInEveryForm) {
  check_against_reference<char>(1);
  check_against_reference<char8_t>(2);
  check_against_reference<char16_t>(3);
  check_against_reference<char32_t>(4);
}

TEST(TagEnd, Examples) {
  struct Row {
    std::string text;
    char quote_before;
    std::size_t end;
    char quote_after;  // when no ">" ends the tag
  };
  const Row rows[] = {
      {R"(a b="1" c='2' d="3">)", 0, 19, 0},
      {R"(a b="x>y" c='>'>rest)", 0, 15, 0},
      {R"(a b='say "hi">'>)", 0, 15, 0},
      {R"(a b="it's">)", 0, 10, 0},
      {R"(still inside" k=">">)", '"', 19, 0},
      {R"(a b="1234567890123456789012345">)", 0, 31, 0},
      {R"(a b="unclosed > 1234567890123456)", 0, 32, '"'},
      {R"(a b='unclosed > 1234567890 "" 12)", 0, 32, '\''},
      {"0123456789abcdef>", 0, 16, 0},
      {"", '\'', 0, '\''},
  };
  for (const Row& row : rows) {
    char quote = row.quote_before;
    const char* end = find_tag_end(row.text.data(), row.text.data() + row.text.size(), quote);
    EXPECT_EQ(static_cast<std::size_t>(end - row.text.data()), row.end) << row.text;
    if (row.end == row.text.size()) {
      EXPECT_EQ(quote, row.quote_after) << row.text;
    }
  }
}

}  // namespace
}  // namespace velmora::reader
