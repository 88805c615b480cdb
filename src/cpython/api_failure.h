// The fatal failure of an object-creating Python/C API call that returned NULL.
#pragma once

#include <source_location>

namespace velmora::py {

// Prints the pending exception the interpreter's way, then fails fatally with "Python API call
// failed" (reported where the call failed).
[[noreturn]] void panic_after_error(std::source_location where = std::source_location::current());

}  // namespace velmora::py
