// Where failure reports go: straight to write(2), unbuffered.
#include <unistd.h>

#include "failure/output.h"

namespace velmora::failure_output {

ssize_t write_report(int fd, const void* data, std::size_t size) noexcept {
  return ::write(fd, data, size);
}

}  // namespace velmora::failure_output
