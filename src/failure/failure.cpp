// The failure report on descriptor 2 and the last-resort abort paths.
//
// Order matters: the report is written at the failure point, before the throw, so it comes
// before any clean-up and before anything Python prints about the resulting exception.
#include "failure/failure.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "failure/backtrace.h"
#include "failure/output.h"

namespace velmora {
namespace {

using failure_output::StderrLine;

enum class BacktraceStyle : std::uint8_t { Unread, Off, Short, Full, None };

// Process-wide state.
std::atomic<std::size_t> g_failures_in_flight{0};
std::atomic<bool> g_hint_pending{true};  // cleared by the first report that writes the hint
std::atomic<BacktraceStyle> g_backtrace_setting{BacktraceStyle::Unread};
std::mutex g_backtrace_lock;  // keeps two backtraces from interleaving

// Per-thread state.
thread_local std::size_t t_failures_in_flight = 0;
thread_local bool t_in_report = false;
thread_local std::size_t t_allocation_failure_scopes = 0;

struct ReportKind {
  bool can_unwind = true;
  bool backtrace_suppressed = false;
  bool full_backtrace = false;
};

// Read once per process; a racing first read stores the same value.
BacktraceStyle backtrace_setting() {
  BacktraceStyle setting = g_backtrace_setting.load(std::memory_order_acquire);
  if (setting != BacktraceStyle::Unread) return setting;
  const char* value = std::getenv(kBacktraceVariable.data());
  if (value == nullptr || std::strcmp(value, "0") == 0) {
    setting = BacktraceStyle::Off;
  } else if (std::strcmp(value, "full") == 0) {
    setting = BacktraceStyle::Full;
  } else {
    setting = BacktraceStyle::Short;
  }
  g_backtrace_setting.store(setting, std::memory_order_release);
  return setting;
}

[[noreturn]] void abort_with(std::string_view line) noexcept {
  StderrLine() << line;
  std::abort();
}

void write_hint_once() {
  if (!g_hint_pending.exchange(false, std::memory_order_relaxed)) return;
  StderrLine() << "note: run with " << "`" << kBacktraceVariable << "=1" << "`"
               << " environment variable to display a backtrace" << "\n";
}

void write_backtrace(BacktraceStyle style, std::uintptr_t first_frame) {
  std::lock_guard<std::mutex> hold(g_backtrace_lock);
  StderrLine() << "stack backtrace:\n";
  if (style == BacktraceStyle::Short) {
    backtrace::write_stack(first_frame);
    StderrLine() << "note: Some details are omitted, run with " << "`" << kBacktraceVariable
                 << "=full" << "`" << " for a verbose backtrace." << "\n";
  } else {
    backtrace::write_stack(0);
  }
}

// Writes the report of one failure; returns only if the failure may go on unwinding.
// `first_frame` is a return address into the code that raised the failure: short backtraces
// start there, leaving out this machinery.
void report(std::string_view message, const SourceLocation& where, ReportKind kind,
            std::uintptr_t first_frame) noexcept {
  g_failures_in_flight.fetch_add(1, std::memory_order_relaxed);
  if (t_in_report) abort_with("thread panicked while processing panic. aborting.\n");
  ++t_failures_in_flight;
  t_in_report = true;

  BacktraceStyle style;
  if (kind.backtrace_suppressed) {
    style = BacktraceStyle::None;
  } else if (kind.full_backtrace || t_failures_in_flight >= 2) {
    style = BacktraceStyle::Full;  // a failure on top of another: show everything
  } else {
    style = backtrace_setting();
  }

  // The module starts no threads and knows no thread names.
  StderrLine() << "thread '" << "<unnamed>" << "' panicked at " << where.file_name() << ":"
               << std::uint64_t{where.line()} << ":" << std::uint64_t{where.column()} << ":\n";
  StderrLine() << message << "\n";

  switch (style) {
    case BacktraceStyle::Off:
      write_hint_once();
      break;
    case BacktraceStyle::Short:
    case BacktraceStyle::Full:
      write_backtrace(style, first_frame);
      break;
    default:
      break;
  }

  t_in_report = false;
  if (!kind.can_unwind) abort_with("thread caused non-unwinding panic. aborting.\n");
}

std::uintptr_t return_address(void* address) { return reinterpret_cast<std::uintptr_t>(address); }

}  // namespace

[[noreturn, gnu::noinline]] void fail(std::string message, SourceLocation where) {
  report(message, where, ReportKind{}, return_address(__builtin_return_address(0)));
  throw FatalFailure(std::move(message), where);
}

[[noreturn]] void resume_failure(std::string message) {
  g_failures_in_flight.fetch_add(1, std::memory_order_relaxed);
  ++t_failures_in_flight;
  throw FatalFailure(std::move(message), SourceLocation::current());
}

void failure_caught() noexcept {
  // Saturating: a stray call must not wrap the counts round and force full backtraces forever.
  std::size_t in_flight = g_failures_in_flight.load(std::memory_order_relaxed);
  while (in_flight > 0 && !g_failures_in_flight.compare_exchange_weak(
                              in_flight, in_flight - 1, std::memory_order_relaxed)) {
  }
  if (t_failures_in_flight > 0) --t_failures_in_flight;
  t_in_report = false;
}

[[noreturn, gnu::noinline]] void panic_trap_fired(const char* message,
                                                  SourceLocation where) noexcept {
  const std::uintptr_t caller = return_address(__builtin_return_address(0));
  report(message, where, ReportKind{.full_backtrace = true}, caller);
  // The trap's failure cannot leave the clean-up it was raised in.
  report("panic in a destructor during cleanup", where,
         ReportKind{.can_unwind = false, .backtrace_suppressed = true}, caller);
  std::abort();  // not reached: the clean-up failure aborts
}

[[noreturn, gnu::noinline]] void fail_without_unwinding(std::string_view message,
                                                        SourceLocation where) noexcept {
  report(message, where, ReportKind{.can_unwind = false},
         return_address(__builtin_return_address(0)));
  std::abort();  // not reached
}

[[noreturn]] void allocation_failed(std::size_t size) {
  StderrLine() << "memory allocation of " << std::uint64_t{size} << " bytes failed\n";
  if (t_allocation_failure_scopes > 0) throw AllocationFailure(size);
  std::abort();
}

std::string AllocationFailure::message() const {
  return "memory allocation of " + std::to_string(size_) + " bytes failed";
}

AllocationFailureScope::AllocationFailureScope() noexcept { ++t_allocation_failure_scopes; }
AllocationFailureScope::~AllocationFailureScope() { --t_allocation_failure_scopes; }

}  // namespace velmora
