// Fatal failures: an unwinding stop that carries one message. `fail` writes the failure report
// to standard error at the failure point and then throws; only the entry frames catch it.
// Nothing here touches Python, so the machinery can be exercised without an interpreter.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#if !defined(__clang__)
#include <source_location>
#endif

namespace velmora {

// Where a failure was raised: the file (as the build names it), line and column of the call
// that raised it, taken from the caller through a default argument. GCC reads it from
// std::source_location; clang (whose C++ library's <source_location> it cannot compile before
// version 15) from its location builtins. GCC's column is that of the call's opening
// parenthesis, clang's that of the start of the call.
class SourceLocation {
 public:
#if defined(__clang__)
  static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                          unsigned line = __builtin_LINE(),
                                          unsigned column = __builtin_COLUMN()) noexcept {
    return SourceLocation(file, line, column);
  }
#else
  static constexpr SourceLocation current(
      std::source_location where = std::source_location::current()) noexcept {
    return SourceLocation(where.file_name(), where.line(), where.column());
  }
#endif
  constexpr SourceLocation() noexcept = default;
  constexpr const char* file_name() const noexcept { return file_; }
  constexpr unsigned line() const noexcept { return line_; }
  constexpr unsigned column() const noexcept { return column_; }

 private:
  constexpr SourceLocation(const char* file, unsigned line, unsigned column) noexcept
      : file_(file), line_(line), column_(column) {}
  const char* file_ = "";
  unsigned line_ = 0;
  unsigned column_ = 0;
};

// Deliberately not derived from std::exception: nothing but an entry frame should catch it.
class FatalFailure {
 public:
  FatalFailure(std::string message, SourceLocation where)
      : message_(std::move(message)), where_(where) {}
  const std::string& message() const { return message_; }
  const SourceLocation& where() const { return where_; }

 private:
  std::string message_;
  SourceLocation where_;
};

// Report the failure on file descriptor 2, then throw FatalFailure.
[[noreturn]] void fail(std::string message,
                       SourceLocation where = SourceLocation::current());

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
    const char* message, SourceLocation where = SourceLocation::current()) noexcept;

// A failure that must not unwind (for instance one that would leave the frame's catching step):
// reported as usual, then the abort line, then abort().
[[noreturn]] void fail_without_unwinding(
    std::string_view message, SourceLocation where = SourceLocation::current()) noexcept;

// Exhausted memory in the module's own allocations: "memory allocation of <size> bytes failed"
// on descriptor 2 (the whole report: it is written without allocating). Then, while an
// AllocationFailureScope is open on the thread (the entry frames open one around the body of
// every call), AllocationFailure is thrown, which the frame turns into a PanicException with
// that line as its message; anywhere else (outside every call) the process aborts.
[[noreturn]] void allocation_failed(std::size_t size);

// Like FatalFailure, deliberately not derived from std::exception. Holds only the size, so
// throwing it needs no allocation beyond the exception object itself (which the C++ runtime
// takes from its emergency pool when the heap is exhausted).
class AllocationFailure {
 public:
  explicit AllocationFailure(std::size_t size) noexcept : size_(size) {}
  std::size_t size() const noexcept { return size_; }
  // "memory allocation of <size> bytes failed"
  std::string message() const;

 private:
  std::size_t size_;
};

// While one is open on a thread, the module's own allocation failures there unwind as
// AllocationFailure instead of aborting. Nests.
class AllocationFailureScope {
 public:
  AllocationFailureScope() noexcept;
  ~AllocationFailureScope();
  AllocationFailureScope(const AllocationFailureScope&) = delete;
  AllocationFailureScope& operator=(const AllocationFailureScope&) = delete;
};

// Name of the environment variable that asks for stack backtraces in failure reports.
inline constexpr std::string_view kBacktraceVariable = "VELMORA_BACKTRACE";

}  // namespace velmora
