// Test helper: the scripted sink of failure reports that the C++ tests link in place of the
// module's write(2) (report_write.cpp); set_write_function swaps what it calls (null: write(2)).
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace velmora::failure_output {

using WriteFunction = ssize_t (*)(int fd, const void* data, std::size_t size);
void set_write_function(WriteFunction write) noexcept;

}  // namespace velmora::failure_output
