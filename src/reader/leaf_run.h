// Runs of same-named leaves (`<v>1</v><v>2</v>...`) read without the general dispatch, each leaf
// handed on as soon as it is read. A template over what takes the leaves, so that a consumer's
// work on each (the walk's value for it) is compiled into the loop that reads them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "reader/bytes.h"
#include "reader/events.h"
#include "reader/reader.h"
#include "reader/run_tag.h"
#include "reader/units.h"

namespace velmora::reader {

namespace leaf_run_detail {

// The input a leaf of a run needs after its start tag's "<" for match_short_leaf: its tag and
// its text (16 bytes each at most) and the 16-byte step of its end tag.
constexpr std::size_t kShortLeafRoom = 48;

// The most common leaf of a run, after its bare start tag, in one 16-byte step: UTF-8 text of
// 1 to 15 bytes whose first byte is ASCII and neither whitespace nor "<" and whose last is not
// whitespace, right before `</name>`. Answers where that end tag ends, the text's length and
// its scan (the leaf match_leaf would give: nothing to trim, no byte order mark, no child), or
// a null end for match_leaf to look at (which may then find the same leaf by its longer way).
// For a run whose tags are each compared in one step (`end_tag` among them), from a start tag
// with kShortLeafRoom bytes of input from its "<": every load is then inside the input, and so
// is the end tag's ">".
struct ShortLeaf {
  const char* after;
  unsigned length;
  TextScan scan;
};
[[gnu::always_inline]] inline ShortLeaf match_short_leaf(const char* text, std::size_t name_size,
                                                         const RunTag<char>& end_tag) {
#if defined(__SSE2__)
  const auto first = static_cast<unsigned char>(text[0]);
  if (first <= ' ' || first >= 0x80 || first == '<') return ShortLeaf{};
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
  const auto m_lt = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('<'))));
  if (m_lt == 0) return ShortLeaf{};
  const unsigned length = static_cast<unsigned>(__builtin_ctz(m_lt));
  if (static_cast<unsigned char>(text[length - 1]) <= ' ') return ShortLeaf{};
  const char* open = text + length;
  if (!end_tag.matches(open)) return ShortLeaf{};
  const char* close = open + 2 + name_size;
  if (*close != '>') return ShortLeaf{};
  const unsigned before = (1u << length) - 1;
  const auto m_amp = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('&'))));
  const auto m_high = static_cast<unsigned>(_mm_movemask_epi8(v));
  return ShortLeaf{close + 1, length, TextScan{(m_amp & before) != 0, (m_high & before) == 0}};
#else
  (void)text, (void)name_size, (void)end_tag;
  return ShortLeaf{};
#endif
}

}  // namespace leaf_run_detail

template <TextUnit Unit>
template <class Take>
std::size_t BasicReader<Unit>::take_leaf_run(View name, std::size_t room, Take&& take) {
  using leaf_run_detail::kShortLeafRoom;
  using leaf_run_detail::match_short_leaf;
  using leaf_run_detail::ShortLeaf;
  if (st_.state != ScanState::TagClosed || !st_.settings.join_text_only_elements || content_start_ != nullptr ||
      !st_.settings.trim_leading_whitespace || name.empty())
    return 0;
  const Unit* p = unread_.data();
  const Unit* const end = p + unread_.size();
  const std::size_t n = name.size();
  const RunTag<Unit> start_tag(name, false, p, end), end_tag(name, true, p, end);
  const bool quoteless_name = std::find_if(name.begin(), name.end(), [](Unit c) {
                                return c == Unit('"') || c == Unit('\'');
                              }) == name.end();
  // Both tags in one step each: a leaf far enough from the input's end then needs no bound checks.
  const bool short_tags = kIsUtf8<Unit> && start_tag.in_one_step() && end_tag.in_one_step();
  std::size_t count = 0;
  while (count < room) {
    const Unit* tag = p;
    while (tag < end && is_xml_whitespace(*tag)) ++tag;
    // On a miss the whitespace before it goes too, as the next read would skip it first.
    p = tag;
    const bool roomy = short_tags && static_cast<std::size_t>(end - tag) >= kShortLeafRoom;
    const bool bare = roomy || start_tag.fits(tag)
                          ? start_tag.matches(tag)
                          : static_cast<std::size_t>(end - tag) >= n + 2 && tag[0] == Unit('<') &&
                                tag[n + 1] == Unit('>') && same_units(View(tag + 1, n), name);
    if constexpr (kIsUtf8<Unit>) {
      if (roomy && bare) {
        const Unit* const text = tag + n + 2;
        const ShortLeaf found = match_short_leaf(text, n, end_tag);
        if (found.after != nullptr) {
          ++count;
          p = found.after;
          if (!take.short_text(View(text, found.length), found.scan)) break;
          continue;
        }
      }
    }
    Event leaf;
    const Unit* after = nullptr;
    if (bare) {
      after = match_leaf_outside(tag + n + 2, name, leaf, &end_tag);
    } else {
      after = match_attributed_leaf(tag, name, quoteless_name, leaf, end_tag);
    }
    if (after == nullptr) break;
    ++count;
    p = after;
    if (!take.leaf(static_cast<const Event&>(leaf))) break;
  }
  consume(static_cast<std::size_t>(p - unread_.data()));
  return count;
}

}  // namespace velmora::reader
