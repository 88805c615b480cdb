// UTF-8 checking: where the first invalid sequence starts and how long its maximal part is.
#include <gtest/gtest.h>

#include <string>

#include "reader/errors.h"
#include "reader/utf8.h"

namespace velmora::reader {
namespace {

constexpr int kValid = -2;  // expected: no error
constexpr int kCut = -1;    // expected: error_len absent (input ends inside a sequence)

std::string describe(std::optional<Utf8Error> e) { return e ? to_string(*e) : "valid"; }

std::string expected(std::size_t valid_up_to, int len) {
  if (len == kValid) return "valid";
  Utf8Error e{valid_up_to};
  if (len != kCut) e.error_len = static_cast<std::uint8_t>(len);
  return to_string(e);
}

TEST(CheckUtf8, SequencesAndTheirMaximalInvalidParts) {
  const struct {
    std::string bytes;
    std::size_t valid_up_to;
    int error_len;
  } cases[] = {
      {"", 0, kValid},
      {"plain ascii text, longer than a word", 0, kValid},
      {"h\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E", 0, kValid},
      {"\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF", 0, kValid},  // just below surrogates; U+10FFFF
      {"\x80", 0, 1},
      {"ab\xC0\x80", 2, 1},              // overlong two-byte lead
      {"\xC1\xBF", 0, 1},
      {"\xF5\x80\x80\x80", 0, 1},        // lead past U+10FFFF
      {"\xFF", 0, 1},
      {"\xC2", 0, kCut},
      {"\xC2\x41", 0, 1},
      {"\xE0\x80\x80", 0, 1},            // overlong three-byte form
      {"\xE0\xA0", 0, kCut},
      {"\xE0\xA0\x41", 0, 2},
      {"\xED\xA0\x80", 0, 1},            // a surrogate
      {"\xF0\x8F\xBF\xBF", 0, 1},        // overlong four-byte form
      {"\xF0\x90\x80", 0, kCut},
      {"\xF0\x90\x80\x41", 0, 3},
      {"\xF4\x90\x80\x80", 0, 1},        // past U+10FFFF
      {"x\xE2\x82\xACy\xE2\x82", 5, kCut},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(describe(check_utf8(c.bytes)), expected(c.valid_up_to, c.error_len))
        << testing::PrintToString(c.bytes);
  }
}

// The eight-byte ASCII steps must hand over to the byte-wise check at every alignment.
TEST(CheckUtf8, ErrorsAtEveryOffsetAroundWordSteps) {
  for (std::size_t at = 0; at < 26; ++at) {
    std::string s(26, 'a');
    s[at] = '\x80';
    EXPECT_EQ(describe(check_utf8(s)), expected(at, 1)) << at;

    std::string good = std::string(at, 'a') + "\xE2\x82\xAC" + std::string(11, 'b');
    EXPECT_EQ(describe(check_utf8(good)), "valid") << at;

    std::string cut = std::string(at, 'a') + "\xF0\x9F\x98";
    EXPECT_EQ(describe(check_utf8(cut)), expected(at, kCut)) << at;
  }
}

}  // namespace
}  // namespace velmora::reader
