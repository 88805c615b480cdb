// Entity and character reference unescaping.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reader/cow_text.h"
#include "reader/errors.h"
#include "reader/result.h"
#include "reader/unit_blocks.h"
#include "reader/units.h"

namespace velmora::reader {

// Replacement text for an entity name beyond the five predefined ones, or nothing.
using EntityLookup = std::optional<std::string_view> (*)(std::string_view name);

// Resolves the five predefined entities and numeric character references in `text` (valid UTF-8).
// No "&" in the text: the text itself is returned, borrowed. Otherwise one owned text.
Result<CowText, EscapeError> unescape_with(std::string_view text, EntityLookup lookup = nullptr);

// Checks that `raw` is UTF-8 (NonDecodable otherwise), then unescapes it with no extra entities
// (an EscapeError e comes back as the Error EscapeError(e)).
Result<CowText, Error> unescape(std::string_view raw);

// One pass over a text or attribute value: whether it holds an "&" (then it needs unescaping) and,
// when it does not, whether every byte is ASCII.
struct TextScan {
  bool has_reference = false;
  bool ascii = true;  // meaningful only without a reference
};
TextScan scan_text(std::string_view text);

#if defined(__SSE2__)
// The units of a 16-byte block or-ed together.
template <TextUnit Unit>
inline std::uint32_t lanes_or(__m128i block) {
  alignas(16) Unit lanes[UnitBlocks<Unit>::kUnits];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), block);
  std::uint32_t bits = 0;
  for (const Unit u : lanes) bits |= unit_value(u);
  return bits;
}
#endif

// The same one pass over a text or attribute value of code points (one per unit): whether it
// holds an "&" and, when it does not, every unit or-ed together, which tells the narrowest form
// its str takes (below 0x80, 0x100, 0x10000).
struct UnitScan {
  bool has_reference = false;
  std::uint32_t bits = 0;  // meaningful only without a reference
};
template <TextUnit Unit>
inline UnitScan scan_units(UnitView<Unit> text) {
  const Unit* p = text.data();
  const Unit* const end = p + text.size();
  std::uint32_t bits = 0;
#if defined(__SSE2__)
  using B = UnitBlocks<Unit>;
  const __m128i amp = B::splat('&');
  __m128i any = _mm_setzero_si128();
  for (; static_cast<std::size_t>(end - p) >= B::kUnits; p += B::kUnits) {
    const __m128i v = B::load(p);
    if (B::equal_mask(v, amp)) return UnitScan{true, 0};
    any = _mm_or_si128(any, v);
  }
  bits = lanes_or<Unit>(any);
#endif
  for (; p < end; ++p) {
    if (*p == Unit('&')) return UnitScan{true, 0};
    bits |= unit_value(*p);
  }
  return UnitScan{false, bits};
}

// Every unit of a text or attribute value of code points or-ed together (see UnitScan).
template <TextUnit Unit>
inline std::uint32_t units_or(UnitView<Unit> text) {
  const Unit* p = text.data();
  const Unit* const end = p + text.size();
  std::uint32_t bits = 0;
#if defined(__SSE2__)
  using B = UnitBlocks<Unit>;
  if (static_cast<std::size_t>(end - p) >= B::kUnits) {
    __m128i any = _mm_setzero_si128();
    for (; static_cast<std::size_t>(end - p) >= B::kUnits; p += B::kUnits) any = _mm_or_si128(any, B::load(p));
    bits = lanes_or<Unit>(any);
  }
#endif
  for (; p < end; ++p) bits |= unit_value(*p);
  return bits;
}

// A reference in a text: the units [start, end) from its "&" to its ";", and the one code point
// it stands for.
struct FoundReference {
  std::size_t start;
  std::size_t end;
  char32_t code;
};
// What a text with its references resolved comes to: its length in units (each reference one)
// and every unit of the text and every reference's code point or-ed together, which tells the
// narrowest form of its str as UnitScan::bits does (a UTF-8 text: below 0x80 when it is ASCII,
// and one unit is then one code point).
struct ReferenceSummary {
  std::size_t count;  // of the references: the first `count` of `found`
  std::size_t length;
  std::uint32_t bits;
};

// The references of a text or attribute value, in order, at the start of `found` (grown as
// needed, and kept by the caller for its room), so that its str can be written in one pass from
// the text and them: the predefined entities and character references only, with the errors
// and error positions of `unescape_to_utf8`. `unit_bits`, when the caller knows them: every unit
// of the text or-ed together (or the largest unit of the narrowest form that holds them; for
// UTF-8, 0x80 or more when it is not ASCII), which then need no pass of their own.
template <TextUnit Unit>
Result<ReferenceSummary, Error> find_references(UnitView<Unit> text, std::vector<FoundReference>& found,
                                                std::optional<std::uint32_t> unit_bits = std::nullopt);

// Resolves the predefined entities and character references of a text or attribute value of
// code points, into UTF-8 (the text itself, in UTF-8, when it holds none). Error ranges are
// UTF-8 byte offsets into the text.
template <TextUnit Unit>
Result<std::string, Error> unescape_to_utf8(UnitView<Unit> text);

// `unescape` for a text or attribute value that a Reader handed out: those are slices of its
// input (valid UTF-8) cut next to ASCII bytes, so they are UTF-8 already and are not checked again.
Result<CowText, Error> unescape_slice(std::string_view slice);

}  // namespace velmora::reader
