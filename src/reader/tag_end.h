// The search for the ">" that ends a tag, outside quotes: shared by the reader and the streaming
// item scanner, which resumes it across chunks.
#pragma once

#include "reader/unit_blocks.h"

namespace velmora::reader {

namespace tag_end_detail {

// Bit i set when an odd number of the bits 0..i of `m` (16 bits) are set.
[[gnu::always_inline]] inline unsigned prefix_parity(unsigned m) {
  m ^= m << 1;
  m ^= m << 2;
  m ^= m << 4;
  m ^= m << 8;
  return m & 0xFFFFu;
}

// The first ">" outside quotes among 16 units, given their masks (one bit per unit) and the quote
// open before them; or 16, `quote` then holding the one open after them.
[[gnu::always_inline]] inline unsigned tag_end_in_block(unsigned m_gt, unsigned m_dq, unsigned m_sq, char& quote) {
  // Quotes of one kind only (or none) and no value of the other kind open: the units inside a
  // value are those after an odd number of quotes (counting the open one), so the block takes
  // one step however many values it holds.
  const auto one_kind = [&](unsigned m_quote, char kind) {
    const unsigned inside = prefix_parity(m_quote) ^ (quote == kind ? 0xFFFFu : 0u);
    const unsigned ends = m_gt & ~inside;
    if (ends != 0) return static_cast<unsigned>(__builtin_ctz(ends));
    quote = (inside & 0x8000u) != 0 ? kind : 0;
    return 16u;
  };
  if (m_sq == 0 && quote != '\'') return one_kind(m_dq, '"');
  if (m_dq == 0 && quote != '"') return one_kind(m_sq, '\'');
  // Both kinds: hit by hit. Inside quotes only the same quote leaves them; outside, a ">" ends
  // the tag and a quote opens a value.
  const unsigned any = m_gt | m_dq | m_sq;
  unsigned from = 0;  // the units below it are done
  for (;;) {
    if (quote != 0) {
      const unsigned closing = (quote == '"' ? m_dq : m_sq) >> from << from;
      if (closing == 0) return 16;
      quote = 0;
      from = static_cast<unsigned>(__builtin_ctz(closing)) + 1;
    }
    const unsigned hits = from >= 16 ? 0 : any >> from << from;
    if (hits == 0) return 16;
    const unsigned i = static_cast<unsigned>(__builtin_ctz(hits));
    if ((m_gt >> i) & 1u) return i;
    quote = (m_dq >> i) & 1u ? '"' : '\'';
    from = i + 1;
  }
}

}  // namespace tag_end_detail

// The ">" that ends a tag: the first one outside single or double quotes, or end. Inside quotes
// only the same quote leaves them. `quote` holds the quote open at `p` (0 for none) and, at
// return, the one open at the end, so a search over chunks resumes where the last one stopped.
// Sixteen units at a time, each compared once as a byte (see load_narrow).
template <TextUnit Unit>
[[gnu::always_inline]] inline const Unit* find_tag_end(const Unit* p, const Unit* end, char& quote) {
#if defined(__SSE2__)
  const __m128i gt = _mm_set1_epi8('>');
  const __m128i dq = _mm_set1_epi8('"');
  const __m128i sq = _mm_set1_epi8('\'');
  while (end - p >= 16) {
    const __m128i v = UnitBlocks<Unit>::load_narrow(p);
    const auto mask = [&v](__m128i wanted) {
      return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, wanted)));
    };
    const unsigned m_dq = mask(dq), m_sq = mask(sq);
    if (quote != 0 && (quote == '"' ? m_dq : m_sq) == 0) {  // still inside a long value
      p += 16;
      continue;
    }
    const unsigned at = tag_end_detail::tag_end_in_block(mask(gt), m_dq, m_sq, quote);
    if (at < 16) return p + at;
    p += 16;
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
