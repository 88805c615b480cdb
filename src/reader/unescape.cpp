// Resolution of the five predefined entities and of numeric character references.
#include "reader/unescape.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "reader/utf8.h"

namespace velmora::reader {

namespace {

EscapeError escape_error(EscapeErrorKind kind) { return EscapeError{kind}; }

EscapeError range_error(EscapeErrorKind kind, std::size_t start, std::size_t end) {
  EscapeError e{kind};
  e.start = start;
  e.end = end;
  return e;
}

EscapeError byte_error(EscapeErrorKind kind, char byte) {
  EscapeError e{kind};
  e.byte = static_cast<std::uint8_t>(byte);
  return e;
}

std::optional<std::string_view> predefined_entity(std::string_view name) {
  switch (name.size()) {
    case 2:
      if (name == "lt") return "<";
      if (name == "gt") return ">";
      break;
    case 3:
      if (name == "amp") return "&";
      break;
    case 4:
      if (name == "apos") return "'";
      if (name == "quot") return "\"";
      break;
  }
  return std::nullopt;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The value of the digits after "&#"; the length limits come before any digit is looked at.
using CodeResult = Result<std::uint32_t, EscapeError>;

CodeResult parse_char_ref(std::string_view digits) {
  std::uint32_t value = 0;
  if (!digits.empty() && digits.front() == 'x') {
    digits.remove_prefix(1);
    if (digits.size() > 6) return CodeResult::err(escape_error(EscapeErrorKind::TooLongHexadecimal));
    for (char c : digits) {
      int d = hex_digit(c);
      if (d < 0) return CodeResult::err(byte_error(EscapeErrorKind::InvalidHexadecimal, c));
      value = value * 16 + static_cast<std::uint32_t>(d);
    }
  } else {
    if (digits.size() > 7) return CodeResult::err(escape_error(EscapeErrorKind::TooLongDecimal));
    for (char c : digits) {
      if (c < '0' || c > '9') return CodeResult::err(byte_error(EscapeErrorKind::InvalidDecimal, c));
      value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
  }
  return CodeResult::ok(value);
}

}  // namespace

Result<CowText, EscapeError> unescape_with(std::string_view text, EntityLookup lookup) {
  using R = Result<CowText, EscapeError>;
  const char* const base = text.data();
  const std::size_t n = text.size();
  std::string out;
  bool replaced = false;
  std::size_t copied_up_to = 0;  // end of the previous reference
  std::size_t pos = 0;

  while (pos < n) {
    const void* amp_hit = std::memchr(base + pos, '&', n - pos);
    if (!amp_hit) break;
    const std::size_t start = static_cast<const char*>(amp_hit) - base;

    // The reference ends at the first ";" unless another "&" comes before it.
    const std::size_t after = start + 1;
    const void* semi_hit = std::memchr(base + after, ';', n - after);
    const std::size_t semi_bound = semi_hit ? static_cast<const char*>(semi_hit) - base : n;
    if (!semi_hit || std::memchr(base + after, '&', semi_bound - after)) {
      return R::err(range_error(EscapeErrorKind::UnterminatedEntity, start, n));
    }
    const std::size_t end = semi_bound;
    const std::string_view name = text.substr(after, end - after);

    if (!replaced) {
      // No reference is shorter than its predefined or numeric replacement, so n bytes do.
      out.reserve(n);
      replaced = true;
    }
    out.append(base + copied_up_to, start - copied_up_to);

    if (!name.empty() && name.front() == '#') {
      auto value = parse_char_ref(name.substr(1));
      if (value.is_err()) return R::err(std::move(value).error());
      const std::uint32_t c = value.value();
      if (c == 0) return R::err(range_error(EscapeErrorKind::EntityWithNull, start, end));
      if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        EscapeError e{EscapeErrorKind::InvalidCodepoint};
        e.codepoint = c;
        return R::err(std::move(e));
      }
      append_utf8(out, static_cast<char32_t>(c));
    } else if (auto rep = predefined_entity(name)) {
      out.append(*rep);
    } else if (auto found = lookup ? lookup(name) : std::nullopt) {
      out.append(*found);  // may exceed the reserved room; the string then grows
    } else {
      EscapeError e = range_error(EscapeErrorKind::UnrecognizedSymbol, after, end);
      e.name.assign(name);
      return R::err(std::move(e));
    }

    copied_up_to = end + 1;
    pos = end + 1;  // a replacement is never scanned again
  }

  if (!replaced) return R::ok(CowText(text));
  out.append(base + copied_up_to, n - copied_up_to);
  return R::ok(CowText(std::move(out)));
}

Result<CowText, Error> unescape(std::string_view raw) {
  using R = Result<CowText, Error>;
  if (auto bad = check_utf8(raw)) return R::err(Error::non_decodable(*bad));
  auto result = unescape_with(raw, nullptr);
  if (result.is_err()) return R::err(Error::escape_error(std::move(result).error()));
  return R::ok(std::move(result).value());
}

}  // namespace velmora::reader

namespace velmora::reader {

TextScan scan_text(std::string_view text) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  constexpr std::uint64_t kAmps = kOnes * static_cast<unsigned char>('&');
  const char* p = text.data();
  std::size_t n = text.size();
  std::uint64_t high = 0;
  // Eight bytes at a time: word ^ "&&&&&&&&" has a zero byte exactly where an "&" is, and
  // (x - 0x01..01) & ~x & 0x80..80 is nonzero exactly when x has a zero byte.
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    const std::uint64_t x = word ^ kAmps;
    if ((x - kOnes) & ~x & kHigh) return TextScan{true, false};
    high |= word;
  }
  for (; n > 0; ++p, --n) {
    if (*p == '&') return TextScan{true, false};
    high |= static_cast<unsigned char>(*p);
  }
  return TextScan{false, (high & kHigh) == 0};
}

Result<CowText, Error> unescape_slice(std::string_view slice) {
  using R = Result<CowText, Error>;
  auto result = unescape_with(slice, nullptr);
  if (result.is_err()) return R::err(Error::escape_error(std::move(result).error()));
  return R::ok(std::move(result).value());
}

}  // namespace velmora::reader
