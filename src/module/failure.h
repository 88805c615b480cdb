// Fatal failures: an unwinding stop that carries one message. `fail` writes the failure report
// to standard error at the failure point and then throws; only the entry frames catch it.
#pragma once

#include <source_location>
#include <string>

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

// Called by an entry frame once it has caught a FatalFailure.
void failure_caught() noexcept;

// Last-resort guard of an entry frame: a failure escaped the frame's catching region.
// Reports `message` with a full backtrace, then the clean-up failure, then aborts.
[[noreturn]] void panic_trap_fired(const char* message) noexcept;

}  // namespace velmora
