// Making `str` objects: new strings from UTF-8 and from code points, the process-wide interned
// attribute names, and the lossy UTF-8 text of a `str`. All of it needs the interpreter lock.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string_view>

#include "cpython/ref.h"
#include "reader/cow_text.h"
#include "reader/unescape.h"
#include "reader/units.h"

namespace velmora::py {

// A new `str` holding `text` (valid UTF-8). A failed creation is fatal (panic_after_error). A
// caller that wants the call's scope to own it hands it over with register_owned.
PyRef new_string(std::string_view text);

// `new_string` for text known to be valid UTF-8 (a slice of the argument's text cut between
// characters, or text made from such slices); `ascii` true says every byte is below 0x80 (no
// scan is then needed), false that it is not known. Decodes straight into a str of the right
// width, without the general decoder's checks, which such text cannot fail.
PyRef new_string_from_valid(std::string_view text, bool ascii);

// A new `str` of code points, one per unit, in the narrowest form they allow. `bits` is every
// unit or-ed together (from a scan of the text); the other overload scans for it. A failed
// creation is fatal.
template <reader::TextUnit Unit>
PyRef new_string_from_units(reader::UnitView<Unit> units, std::uint32_t bits);
template <reader::TextUnit Unit>
PyRef new_string_from_units(reader::UnitView<Unit> units);

// A new `str` of a text's code points (one per unit; UTF-8 text only when ASCII) with each of
// its references (from reader::find_references, with its summary) replaced by the one code
// point it stands for, written in one pass. A failed creation is fatal.
template <reader::TextUnit Unit>
PyRef new_string_with_references(reader::UnitView<Unit> text, std::span<const reader::FoundReference> references,
                                 reader::ReferenceSummary summary);

// The process-wide interned names used for attribute look-ups (borrowed, never released).
enum class InternedName { Name, All, Qualname };
PyObject* interned(InternedName name);

// The UTF-8 text of a `str`, with each maximal invalid subpart (lone surrogates) replaced by
// U+FFFD. Borrowed when the `str` has a UTF-8 form, owned otherwise. Leaves no error pending.
reader::CowText to_string_lossy(PyObject* str);

}  // namespace velmora::py
