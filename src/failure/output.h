// Unbuffered output of failure reports on file descriptor 2. Nothing here allocates or goes
// through Python: a report must get out even when the interpreter or the heap is in trouble.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace velmora::failure_output {

// The one write(2) behind every report. Defined in a unit of its own (report_sink.cpp), which
// the module links; the failure library's tests link a scripted one in its place instead.
ssize_t write_report(int fd, const void* data, std::size_t size) noexcept;

// Largest count handed to one write call (what the kernel accepts without truncating signs).
inline constexpr std::size_t kMaxWriteChunk = 2147483646;

// One line of a report, written piece by piece straight to descriptor 2. A piece that cannot
// be written completely (an error other than EINTR, or a write that accepts nothing) drops
// the rest of the line; the next line starts afresh. Write errors are never reported.
class StderrLine {
 public:
  StderrLine() = default;
  StderrLine(const StderrLine&) = delete;
  StderrLine& operator=(const StderrLine&) = delete;

  StderrLine& operator<<(std::string_view piece) noexcept;
  StderrLine& operator<<(std::uint64_t value) noexcept;  // decimal
  StderrLine& hex(std::uintptr_t value) noexcept;        // "0x" and lower-case digits

  // False once a piece of this line was lost.
  bool intact() const noexcept { return intact_; }

 private:
  bool intact_ = true;
};

}  // namespace velmora::failure_output
