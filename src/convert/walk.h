// The conversion of one XML text into a dictionary tree.
#pragma once

#include <cstdint>
#include <string_view>

#include "cpython/pyerr.h"
#include "cpython/ref.h"

namespace velmora::convert {

// Converts `text` (valid UTF-8, borrowed for the call) into the result dictionary. Every failure
// is a fatal failure (velmora::fail); nothing is returned then. Every few megabytes of input the
// interpreter's signal handlers get to run: the exception one of them raises (KeyboardInterrupt
// for Ctrl-C) ends the conversion and is returned as it is, with no failure report.
py::PyResult<py::PyRef> parse_document(std::string_view text);

// Bytes of input between two runs of the signal handlers.
inline constexpr std::uint64_t kSignalCheckInterval = std::uint64_t{4} << 20;

}  // namespace velmora::convert
