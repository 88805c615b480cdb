// The conversion of one XML text into a dictionary tree.
#pragma once

#include <cstdint>
#include <string_view>

#include "cpython/pyerr.h"
#include "cpython/ref.h"

namespace velmora::convert {

// Converts `text` (borrowed for the call) into the result dictionary: valid UTF-8, or code
// points one per unit (Latin-1 in `char8_t`, or two or four bytes each, without surrogates), the
// form a str holds them in; results and messages are the same for the same text in any form. Every failure
// is a fatal failure (velmora::fail); nothing is returned then. Every few megabytes of input the
// interpreter's signal handlers get to run: the exception one of them raises (KeyboardInterrupt
// for Ctrl-C) ends the conversion and is returned as it is, with no failure report.
py::PyResult<py::PyRef> parse_document(std::string_view text);
py::PyResult<py::PyRef> parse_document(std::u8string_view text);
py::PyResult<py::PyRef> parse_document(std::u16string_view text);
py::PyResult<py::PyRef> parse_document(std::u32string_view text);

// Bytes of input between two runs of the signal handlers.
inline constexpr std::uint64_t kSignalCheckInterval = std::uint64_t{4} << 20;

}  // namespace velmora::convert
