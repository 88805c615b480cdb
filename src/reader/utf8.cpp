// UTF-8 validation and lossy decoding. Errors report the longest valid prefix and the length
// of the maximal invalid subpart found there, so a caller can resume right after it.
#include "reader/utf8.h"

#include <cstdint>
#include <cstring>

namespace velmora::reader {

namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ull;

}  // namespace

std::optional<Utf8Error> check_utf8(std::string_view bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    // Most text is ASCII: test eight bytes at a time for any high bit.
    if (s[i] < 0x80) {
      while (i + 8 <= n) {
        std::uint64_t word;
        std::memcpy(&word, s + i, 8);
        if (word & kHighBits) break;
        i += 8;
      }
      while (i < n && s[i] < 0x80) ++i;
      if (i == n) break;
    }

    const unsigned char lead = s[i];
    // Bounds of the second byte for each lead byte; later bytes are plain continuations.
    unsigned char lo = 0x80, hi = 0xBF;
    std::size_t len;
    if (lead >= 0xC2 && lead <= 0xDF) {
      len = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      len = 3;
      if (lead == 0xE0) lo = 0xA0;       // no overlong forms
      else if (lead == 0xED) hi = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      len = 4;
      if (lead == 0xF0) lo = 0x90;       // no overlong forms
      else if (lead == 0xF4) hi = 0x8F;  // nothing past U+10FFFF
    } else {
      return Utf8Error{i, 1};  // a continuation byte, C0, C1 or F5..FF cannot start a sequence
    }

    // The maximal invalid subpart ends before the first byte that does not fit.
    if (i + 1 >= n) return Utf8Error{i, std::nullopt};
    if (s[i + 1] < lo || s[i + 1] > hi) return Utf8Error{i, 1};
    for (std::size_t k = 2; k < len; ++k) {
      if (i + k >= n) return Utf8Error{i, std::nullopt};
      if (!is_continuation_byte(static_cast<char>(s[i + k]))) return Utf8Error{i, static_cast<std::uint8_t>(k)};
    }
    i += len;
  }
  return std::nullopt;
}

void append_lossy(std::string& out, std::string_view bytes) {
  while (!bytes.empty()) {
    const std::optional<Utf8Error> bad = check_utf8(bytes);
    const std::size_t valid = bad ? bad->valid_up_to : bytes.size();
    out.append(bytes.substr(0, valid));
    if (!bad) return;
    out += "\xEF\xBF\xBD";  // U+FFFD
    bytes.remove_prefix(valid + (bad->error_len ? *bad->error_len : bytes.size() - valid));
  }
}

void append_utf8(std::string& out, char32_t c) {
  char buf[4];
  std::size_t len;
  if (c < 0x80) {
    buf[0] = static_cast<char>(c);
    len = 1;
  } else if (c < 0x800) {
    buf[0] = static_cast<char>(0xC0 | (c >> 6));
    buf[1] = static_cast<char>(0x80 | (c & 0x3F));
    len = 2;
  } else if (c < 0x10000) {
    buf[0] = static_cast<char>(0xE0 | (c >> 12));
    buf[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    buf[2] = static_cast<char>(0x80 | (c & 0x3F));
    len = 3;
  } else {
    buf[0] = static_cast<char>(0xF0 | (c >> 18));
    buf[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    buf[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    buf[3] = static_cast<char>(0x80 | (c & 0x3F));
    len = 4;
  }
  out.append(buf, len);
}

char32_t decode_utf8_valid(std::string_view text, std::size_t& i) {
  auto b = [&](std::size_t k) -> char32_t { return static_cast<unsigned char>(text[k]); };
  const char32_t lead = b(i);
  if (lead < 0x80) {
    i += 1;
    return lead;
  }
  if (lead < 0xE0) {
    char32_t c = ((lead & 0x1F) << 6) | (b(i + 1) & 0x3F);
    i += 2;
    return c;
  }
  if (lead < 0xF0) {
    char32_t c = ((lead & 0x0F) << 12) | ((b(i + 1) & 0x3F) << 6) | (b(i + 2) & 0x3F);
    i += 3;
    return c;
  }
  char32_t c = ((lead & 0x07) << 18) | ((b(i + 1) & 0x3F) << 12) | ((b(i + 2) & 0x3F) << 6) |
               (b(i + 3) & 0x3F);
  i += 4;
  return c;
}

}  // namespace velmora::reader
