// The C++ tests' sink of failure reports: write(2), or the scripted write a test puts in place.
#include "report_write.h"

#include <unistd.h>

#include <atomic>

#include "failure/output.h"

namespace velmora::failure_output {
namespace {
std::atomic<WriteFunction> g_write{&::write};
}  // namespace

void set_write_function(WriteFunction write) noexcept {
  g_write.store(write != nullptr ? write : &::write, std::memory_order_relaxed);
}

ssize_t write_report(int fd, const void* data, std::size_t size) noexcept {
  return g_write.load(std::memory_order_relaxed)(fd, data, size);
}

}  // namespace velmora::failure_output
