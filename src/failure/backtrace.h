// Stack backtraces of the calling thread for failure reports, written straight to descriptor 2.
#pragma once

#include <cstdint>

namespace velmora::backtrace {

// Writes the calling thread's frames, innermost first, numbered from 0: one entry per physical
// frame with the demangled function name, then "at file:line" where debug information has it;
// calls inlined into a frame are listed under that frame's number, innermost first.
//
// `first_frame` is a return address into the outermost frame of the caller that is not part
// of the failure machinery (what __builtin_return_address(0) gives in the reporting function):
// frames inner to it are left out. 0 writes every frame, and so does a `first_frame` that is
// not found on the stack.
//
// Never allocates through Python (symbol tables are read with mmap; demangling uses malloc).
// Not reentrant: callers serialise with the backtrace lock.
void write_stack(std::uintptr_t first_frame) noexcept;

}  // namespace velmora::backtrace
