// The conversion of one XML text into a dictionary tree.
#pragma once

#include <string_view>

#include "cpython/ref.h"

namespace velmora::convert {

// Converts `text` (valid UTF-8, borrowed for the call) into the result dictionary. Every failure
// is a fatal failure (velmora::fail); nothing is returned then.
py::PyRef parse_document(std::string_view text);

}  // namespace velmora::convert
