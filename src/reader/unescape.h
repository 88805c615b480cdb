// Entity and character reference unescaping.
#pragma once

#include <optional>
#include <string_view>

#include "reader/cow_text.h"
#include "reader/errors.h"
#include "reader/result.h"

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

// `unescape` for a text or attribute value that a Reader handed out: those are slices of its
// input (valid UTF-8) cut next to ASCII bytes, so they are UTF-8 already and are not checked again.
Result<CowText, Error> unescape_slice(std::string_view slice);

}  // namespace velmora::reader
