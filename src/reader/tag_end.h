// The search for the ">" that ends a tag, outside quotes: shared by the reader and the streaming
// item scanner, which resumes it across chunks.
#pragma once

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmora::reader {

// The ">" that ends a tag: the first one outside single or double quotes, or end. Inside quotes
// only the same quote leaves them. `quote` holds the quote open at `p` (0 for none) and, at
// return, the one open at the end, so a search over chunks resumes where the last one stopped.
// One pass: each 16-byte block is compared once, and the quote state changes only at the hits
// its masks report.
inline const char* find_tag_end(const char* p, const char* end, char& quote) {
#if defined(__SSE2__)
  const __m128i gt = _mm_set1_epi8('>');
  const __m128i dq = _mm_set1_epi8('"');
  const __m128i sq = _mm_set1_epi8('\'');
  while (end - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const unsigned m_gt = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, gt)));
    const unsigned m_dq = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, dq)));
    const unsigned m_sq = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, sq)));
    const unsigned any = m_gt | m_dq | m_sq;
    unsigned m = quote == 0 ? any : quote == '"' ? m_dq : m_sq;
    while (m) {
      const unsigned i = static_cast<unsigned>(__builtin_ctz(m));
      const unsigned after = ~((2u << i) - 1);  // bits above i
      if (quote != 0) {
        quote = 0;
        m = any & after;
      } else if (p[i] == '>') {
        return p + i;
      } else {
        quote = p[i];
        m = (quote == '"' ? m_dq : m_sq) & after;
      }
    }
    p += 16;
  }
#endif
  for (; p < end; ++p) {
    const char c = *p;
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '>') {
      return p;
    } else if (c == '"' || c == '\'') {
      quote = c;
    }
  }
  return end;
}

}  // namespace velmora::reader
