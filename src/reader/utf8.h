// UTF-8 validation with the position and length of the first invalid sequence.
#pragma once

#include <optional>
#include <string_view>

#include "reader/errors.h"

namespace velmora::reader {

// Empty when `bytes` is valid UTF-8; otherwise where and how it fails.
std::optional<Utf8Error> check_utf8(std::string_view bytes);

}  // namespace velmora::reader
