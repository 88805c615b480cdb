// A tag of a run of same-named siblings (`<name>` or `</name`) compared in one 16-byte step.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "reader/units.h"

namespace velmora::reader {

// A tag of a run, `<name>` or `</name`, compared in one 16-byte step where it fits in one and
// the input (ending at `end`) has 16 bytes left from where it is compared; `fits` false leaves
// it to same_units.
template <class Unit>
class RunTag {
 public:
  RunTag(UnitView<Unit> name, bool closing, const Unit* begin, const Unit* end) {
#if defined(__SSE2__)
    const std::size_t units = name.size() + 2;
    if (units * sizeof(Unit) > sizeof(__m128i)) return;
    constexpr std::size_t kStep = sizeof(__m128i) / sizeof(Unit);
    if (static_cast<std::size_t>(end - begin) < kStep) return;
    last_ = end - kStep;
    Unit tag[sizeof(__m128i) / sizeof(Unit)] = {};
    tag[0] = Unit('<');
    if (closing) tag[1] = Unit('/');
    std::copy(name.begin(), name.end(), tag + (closing ? 2 : 1));
    if (!closing) tag[units - 1] = Unit('>');
    std::memcpy(&tag_, tag, sizeof(tag_));
    mask_ = static_cast<unsigned>((1u << (units * sizeof(Unit))) - 1);
#else
    (void)name;
    (void)closing;
    (void)begin;
    (void)end;
#endif
  }
  // Whether the step can be taken at `at` (in the input); `matches` then answers.
  bool fits(const Unit* at) const { return last_ != nullptr && at <= last_; }
  // Whether the tag is compared in one step at all (wherever 16 bytes of input are left).
  bool in_one_step() const { return last_ != nullptr; }
  bool matches(const Unit* at) const {
#if defined(__SSE2__)
    const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    return (static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, tag_))) & mask_) == mask_;
#else
    (void)at;
    return false;
#endif
  }

 private:
#if defined(__SSE2__)
  __m128i tag_;
#endif
  unsigned mask_ = 0;
  const Unit* last_ = nullptr;  // the last place a step fits; null when the tag does not fit one
};

}  // namespace velmora::reader
