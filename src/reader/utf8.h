// UTF-8 rules in one place: validation with the position and length of the first invalid
// sequence, lossy decoding, continuation bytes, and the encoding and decoding of single characters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::reader {

// A failed UTF-8 check: the longest valid prefix and the length of the bad sequence there
// (absent when the input ends inside a sequence).
struct Utf8Error {
  std::size_t valid_up_to = 0;
  std::optional<std::uint8_t> error_len;
};

// A byte that continues a sequence (10xxxxxx) and so cannot start a character.
constexpr bool is_continuation_byte(char b) { return (static_cast<unsigned char>(b) & 0xC0) == 0x80; }

// Empty when `bytes` is valid UTF-8; otherwise where and how it fails.
std::optional<Utf8Error> check_utf8(std::string_view bytes);

// Appends `bytes` with each maximal invalid subpart replaced by U+FFFD: a lead byte together with
// the continuation bytes that could still have completed it counts as one bad sequence.
void append_lossy(std::string& out, std::string_view bytes);

// Appends the 1 to 4 bytes of `c`, which must be at most U+10FFFF and not a surrogate.
void append_utf8(std::string& out, char32_t c);

// The character that starts at `i` of text already checked as UTF-8; advances `i` past it.
char32_t decode_utf8_valid(std::string_view text, std::size_t& i);

}  // namespace velmora::reader
