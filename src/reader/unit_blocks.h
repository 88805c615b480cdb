// 16-byte blocks of code units for the reader's searches: every unit of a block compared with
// one ASCII character at once, answering a mask with one bit per byte (so a unit of k bytes sets
// k bits, its lowest at the unit's first byte).
#pragma once

#include <cstddef>
#include <cstdint>

#include "reader/bytes.h"
#include "reader/units.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmora::reader {

template <TextUnit Unit>
struct UnitBlocks {
  static constexpr std::size_t kUnits = 16 / sizeof(Unit);
  // Byte index in a block -> unit index.
  static constexpr unsigned kShift = sizeof(Unit) == 1 ? 0 : sizeof(Unit) == 2 ? 1 : 2;

  // The mask bits above the unit whose first byte is at byte index `i`.
  static constexpr unsigned bits_above(unsigned i) { return ~((2u << (i + sizeof(Unit) - 1)) - 1); }

#if defined(__SSE2__)
  static __m128i splat(char c) {
    if constexpr (sizeof(Unit) == 1) return _mm_set1_epi8(c);
    else if constexpr (sizeof(Unit) == 2) return _mm_set1_epi16(static_cast<short>(c));
    else return _mm_set1_epi32(c);
  }
  static __m128i load(const Unit* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
  static unsigned equal_mask(__m128i v, __m128i wanted) {
    __m128i eq;
    if constexpr (sizeof(Unit) == 1) eq = _mm_cmpeq_epi8(v, wanted);
    else if constexpr (sizeof(Unit) == 2) eq = _mm_cmpeq_epi16(v, wanted);
    else eq = _mm_cmpeq_epi32(v, wanted);
    return static_cast<unsigned>(_mm_movemask_epi8(eq));
  }
  // The units of `v` at or below the ASCII character `c` (as a mask like equal_mask's).
  static unsigned at_most_mask(__m128i v, char c) {
    __m128i le;
    if constexpr (sizeof(Unit) == 1) le = _mm_cmpeq_epi8(_mm_subs_epu8(v, splat(c)), _mm_setzero_si128());
    else if constexpr (sizeof(Unit) == 2) le = _mm_cmpeq_epi16(_mm_subs_epu16(v, splat(c)), _mm_setzero_si128());
    else le = _mm_cmplt_epi32(v, splat(static_cast<char>(c + 1)));  // code points stay below 2^31
    return static_cast<unsigned>(_mm_movemask_epi8(le));
  }
  // A block whose first `bytes` bytes (0 to 16) are set and the others clear.
  static __m128i leading_bytes(unsigned bytes) {
    alignas(16) static constexpr unsigned char kLeading[32] = {
        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(kLeading + 16 - bytes));
  }
  // Sixteen units from `p` as sixteen bytes, one per unit: its value when below 0x100, else 0 or
  // 0xFF (by saturation), so that comparing the bytes with an ASCII character tells the units
  // equal to it.
  static __m128i load_narrow(const Unit* p) {
    if constexpr (sizeof(Unit) == 1) {
      return load(p);
    } else if constexpr (sizeof(Unit) == 2) {
      return _mm_packus_epi16(load(p), load(p + 8));
    } else {
      // Code points stay below 2^31, so the signed narrowing to 16 bits keeps them positive.
      return _mm_packus_epi16(_mm_packs_epi32(load(p), load(p + 4)), _mm_packs_epi32(load(p + 8), load(p + 12)));
    }
  }
#endif
};

// The first `c` in [p, end), or end. Inline 16-byte steps: most searches (the "<" after a short
// text, the ">" of an end tag) end within a few units, where a library call costs more than the
// search itself. (Always inlined: the searches sit in the reader's one large event function,
// where the compiler's size limits would otherwise leave them as calls.)
template <TextUnit Unit>
[[gnu::always_inline]] inline const Unit* find_unit(const Unit* p, const Unit* end, char c) {
#if defined(__SSE2__)
  using B = UnitBlocks<Unit>;
  const __m128i wanted = B::splat(c);
  for (; static_cast<std::size_t>(end - p) >= B::kUnits; p += B::kUnits) {
    const unsigned m = B::equal_mask(B::load(p), wanted);
    if (m != 0) return p + (static_cast<unsigned>(__builtin_ctz(m)) >> B::kShift);
  }
#endif
  for (; p < end; ++p)
    if (*p == Unit(c)) return p;
  return end;
}

// Index of the first whitespace unit of `s`, or its size: sixteen bytes a step (a tag's name,
// followed by its attributes).
template <TextUnit Unit>
[[gnu::always_inline]] inline std::size_t first_ws(UnitView<Unit> s) {
  std::size_t i = 0;
#if defined(__SSE2__)
  using B = UnitBlocks<Unit>;
  for (; s.size() - i >= B::kUnits; i += B::kUnits) {
    // The units at or below the space, of which only four are whitespace.
    for (unsigned m = B::at_most_mask(B::load(s.data() + i), ' '); m != 0;) {
      const unsigned byte = static_cast<unsigned>(__builtin_ctz(m));
      const std::size_t at = i + (byte >> B::kShift);
      if (is_xml_whitespace(s[at])) return at;
      m &= B::bits_above(byte);
    }
  }
#endif
  for (; i < s.size(); ++i)
    if (is_xml_whitespace(s[i])) return i;
  return s.size();
}

#if defined(__SSE2__)
// The eight 16-bit lanes of `v` or-ed together.
[[gnu::always_inline]] inline std::uint32_t lanes_or_16(__m128i v) {
  v = _mm_or_si128(v, _mm_srli_si128(v, 8));
  v = _mm_or_si128(v, _mm_srli_si128(v, 4));
  v = _mm_or_si128(v, _mm_srli_si128(v, 2));
  return static_cast<std::uint32_t>(_mm_cvtsi128_si32(v)) & 0xFFFFu;
}
#endif

// The first `quote` in [p, end) (or end), and the scan of the units before it: whether they hold
// an "&", and all of them or-ed together whether they do or not (for one-byte units, 0x80 when
// any is at or above it), as scan_text answers them and scan_units does without an "&"; found
// in the same pass as the quote.
template <TextUnit Unit>
struct QuotedScan {
  const Unit* at;
  bool has_reference;
  std::uint32_t bits;
};

template <TextUnit Unit>
[[gnu::always_inline]] inline QuotedScan<Unit> find_quote_scanning(const Unit* p, const Unit* end, char quote) {
  unsigned amps = 0;
  std::uint32_t bits = 0;
#if defined(__SSE2__)
  using B = UnitBlocks<Unit>;
  const __m128i wanted = B::splat(quote);
  const __m128i amp = B::splat('&');
  __m128i any = _mm_setzero_si128();
  const Unit* found = nullptr;
  for (; static_cast<std::size_t>(end - p) >= B::kUnits; p += B::kUnits) {
    const __m128i v = B::load(p);
    const unsigned m_quote = B::equal_mask(v, wanted);
    const unsigned m_amp = B::equal_mask(v, amp);
    if (m_quote != 0) {
      // Only the bytes before the quote count: those of the units before it.
      const unsigned before_bytes = static_cast<unsigned>(__builtin_ctz(m_quote));
      amps |= m_amp & ((1u << before_bytes) - 1);
      any = _mm_or_si128(any, _mm_and_si128(v, B::leading_bytes(before_bytes)));
      found = p + (before_bytes >> B::kShift);
      break;
    }
    amps |= m_amp;
    any = _mm_or_si128(any, v);
  }
  if constexpr (sizeof(Unit) == 1) {
    bits = _mm_movemask_epi8(any) != 0 ? 0x80u : 0u;
  } else {
    if constexpr (sizeof(Unit) == 2) {
      bits = lanes_or_16(any);
    } else {
      any = _mm_or_si128(any, _mm_srli_si128(any, 8));
      any = _mm_or_si128(any, _mm_srli_si128(any, 4));
      bits = static_cast<std::uint32_t>(_mm_cvtsi128_si32(any));
    }
  }
  if (found != nullptr) return QuotedScan<Unit>{found, amps != 0, bits};
#endif
  for (; p < end && *p != Unit(quote); ++p) {
    amps |= *p == Unit('&');
    bits |= unit_value(*p);
  }
  if constexpr (sizeof(Unit) == 1) bits = bits >= 0x80 ? 0x80u : 0u;
  return QuotedScan<Unit>{p, amps != 0, bits};
}

// The first "<" in [p, end) of a text of code points, or end, and the same scan of the units
// before it as find_quote_scanning answers. Two-byte units go sixteen at a time: a text runs to
// the end of the input, so whole steps fit until near its end.
template <TextUnit Unit>
[[gnu::always_inline]] inline QuotedScan<Unit> find_text_end_scanning(const Unit* p, const Unit* end) {
#if defined(__SSE2__)
  if constexpr (sizeof(Unit) == 2) {
    using B = UnitBlocks<Unit>;
    const __m128i lt = _mm_set1_epi8('<');
    const __m128i amp = _mm_set1_epi8('&');
    __m128i any = _mm_setzero_si128();
    unsigned amps = 0;
    for (; end - p >= 16; p += 16) {
      const __m128i low = B::load(p), high = B::load(p + 8);
      const __m128i v = _mm_packus_epi16(low, high);
      const unsigned m_lt = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lt)));
      const unsigned m_amp = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, amp)));
      if (m_lt != 0) {
        // Only the units before the "<" count.
        const unsigned before = static_cast<unsigned>(__builtin_ctz(m_lt));
        amps |= m_amp & ((1u << before) - 1);
        const auto keep = [](unsigned units) { return B::leading_bytes(2 * units); };  // at most 8 lanes
        any = _mm_or_si128(any, _mm_and_si128(low, keep(before < 8 ? before : 8)));
        any = _mm_or_si128(any, _mm_and_si128(high, keep(before > 8 ? before - 8 : 0)));
        return QuotedScan<Unit>{p + before, amps != 0, lanes_or_16(any)};
      }
      amps |= m_amp;
      any = _mm_or_si128(any, _mm_or_si128(low, high));
    }
    QuotedScan<Unit> rest = find_quote_scanning(p, end, '<');
    rest.has_reference |= amps != 0;
    rest.bits |= lanes_or_16(any);
    return rest;
  }
#endif
  return find_quote_scanning(p, end, '<');
}

// The first "<" in [p, end) of UTF-8 text, or end, and the scan of the text before it: whether
// it holds an "&" and whether it is all ASCII (as scan_text answers them, the second exact with
// an "&" too), found in the same pass as its end.
struct TextEnd {
  const char* at;
  bool has_reference;
  bool ascii;
};

[[gnu::always_inline]] inline TextEnd find_text_end(const char* p, const char* end) {
  unsigned amps = 0;
  unsigned high = 0;
#if defined(__SSE2__)
  const __m128i lt = _mm_set1_epi8('<');
  const __m128i amp = _mm_set1_epi8('&');
  for (; end - p >= 16; p += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const unsigned m_lt = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lt)));
    const unsigned m_amp = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, amp)));
    const unsigned m_high = static_cast<unsigned>(_mm_movemask_epi8(v));
    if (m_lt != 0) {
      const unsigned before = (m_lt & (0u - m_lt)) - 1;  // the bytes before the first "<"
      return TextEnd{p + __builtin_ctz(m_lt), (amps | (m_amp & before)) != 0, (high | (m_high & before)) == 0};
    }
    amps |= m_amp;
    high |= m_high;
  }
#endif
  for (; p < end && *p != '<'; ++p) {
    amps |= *p == '&';
    high |= static_cast<unsigned char>(*p) & 0x80u;
  }
  return TextEnd{p, amps != 0, high == 0};
}

}  // namespace velmora::reader
