// Fatal failures: an unwinding stop that carries one message. `fail` writes the failure report
// to standard error at the failure point and then throws; only the entry frames catch it.
// Nothing here touches Python, so the machinery can be exercised without an interpreter.
#pragma once

#include <cstddef>
#include <source_location>
#include <string>
#include <string_view>

namespace velmora {

// Deliberately not derived from std::exception: nothing but an entry frame should catch it.
class FatalFailure {
 public:
  FatalFailure(std::string message, std::source_location where)
      : message_(std::move(message)), where_(where) {}
  const std::string& message() const { return message_; }
  const std::source_location& where() const { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

// Report the failure on file descriptor 2, then throw FatalFailure.
[[noreturn]] void fail(std::string message,
                       std::source_location where = std::source_location::current());

// Continue a failure that came back from Python code (a PanicException taken from the
// interpreter): counted like any failure, but no new report is written.
[[noreturn]] void resume_failure(std::string message);

// Called by an entry frame once it has caught a FatalFailure: the failure is no longer in
// flight, so the counts drop back to what they were before it.
void failure_caught() noexcept;

// Last-resort guard of an entry frame: a failure escaped the frame's catching region.
// Reports `message` with a full backtrace, then the clean-up failure ("panic in a destructor
// during cleanup", no backtrace), then writes the abort line and aborts.
[[noreturn]] void panic_trap_fired(
    const char* message, std::source_location where = std::source_location::current()) noexcept;

// A failure that must not unwind (for instance one that would leave the frame's catching step):
// reported as usual, then the abort line, then abort().
[[noreturn]] void fail_without_unwinding(
    std::string_view message, std::source_location where = std::source_location::current()) noexcept;

// Exhausted memory: "memory allocation of <size> bytes failed" on descriptor 2, then abort().
// No failure report and no exception: neither could be made without memory.
[[noreturn]] void allocation_failed(std::size_t size) noexcept;

// Name of the environment variable that asks for stack backtraces in failure reports.
inline constexpr std::string_view kBacktraceVariable = "VELMORA_BACKTRACE";

}  // namespace velmora
