// The search for the ">" that ends a tag, outside quotes: shared by the reader and the streaming
// item scanner, which resumes it across chunks.
#pragma once

#include "reader/unit_blocks.h"

namespace velmora::reader {

// The ">" that ends a tag: the first one outside single or double quotes, or end. Inside quotes
// only the same quote leaves them. `quote` holds the quote open at `p` (0 for none) and, at
// return, the one open at the end, so a search over chunks resumes where the last one stopped.
// One pass: each 16-byte block is compared once, and the quote state changes only at the hits
// its masks report.
template <TextUnit Unit>
[[gnu::always_inline]] inline const Unit* find_tag_end(const Unit* p, const Unit* end, char& quote) {
#if defined(__SSE2__)
  using B = UnitBlocks<Unit>;
  const __m128i gt = B::splat('>');
  const __m128i dq = B::splat('"');
  const __m128i sq = B::splat('\'');
  while (static_cast<std::size_t>(end - p) >= B::kUnits) {
    const __m128i v = B::load(p);
    const unsigned m_gt = B::equal_mask(v, gt);
    const unsigned m_dq = B::equal_mask(v, dq);
    const unsigned m_sq = B::equal_mask(v, sq);
    const unsigned any = m_gt | m_dq | m_sq;
    unsigned m = any;
    if (quote != 0) {  // only the same quote leaves a quoted value
      const unsigned closing = quote == '"' ? m_dq : m_sq;
      if (closing == 0) {
        p += B::kUnits;
        continue;
      }
      quote = 0;
      m = any & B::bits_above(static_cast<unsigned>(__builtin_ctz(closing)));
    }
    // Outside quotes at each hit: a ">" ends the tag; a quote opens a value, closed by the next
    // hit of the same quote in this block (most values are short) or in a later one.
    while (m) {
      const unsigned i = static_cast<unsigned>(__builtin_ctz(m));
      const Unit hit = p[i >> B::kShift];
      if (hit == Unit('>')) return p + (i >> B::kShift);
      const unsigned closing = (hit == Unit('"') ? m_dq : m_sq) & B::bits_above(i);
      if (closing == 0) {
        quote = static_cast<char>(hit);
        break;
      }
      m = any & B::bits_above(static_cast<unsigned>(__builtin_ctz(closing)));
    }
    p += B::kUnits;
  }
#endif
  for (; p < end; ++p) {
    const Unit c = *p;
    if (quote != 0) {
      if (c == Unit(quote)) quote = 0;
    } else if (c == Unit('>')) {
      return p;
    } else if (c == Unit('"') || c == Unit('\'')) {
      quote = static_cast<char>(c);
    }
  }
  return end;
}

}  // namespace velmora::reader
