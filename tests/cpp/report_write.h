// Test helper: swaps the write(2) behind failure reports for a scripted one (null: the real one).
#pragma once

#include <unistd.h>

#include "failure/output.h"

namespace velmora::failure_output {

inline void set_write_function(WriteFunction write) noexcept {
  g_report_write.store(write != nullptr ? write : &::write, std::memory_order_relaxed);
}

}  // namespace velmora::failure_output
