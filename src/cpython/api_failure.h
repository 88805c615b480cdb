// The fatal failure of an object-creating Python/C API call that returned NULL.
#pragma once

#include "failure/failure.h"

namespace velmora::py {

// Prints the pending exception the interpreter's way, then fails fatally with "Python API call
// failed" (reported where the call failed).
[[noreturn]] void panic_after_error(
    velmora::SourceLocation where = velmora::SourceLocation::current());

}  // namespace velmora::py
