// Placeholder report: first line and message only (the full report replaces this file).
#include "module/failure.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace velmora {

[[noreturn]] void fail(std::string message, std::source_location where) {
  std::string line = std::string("thread '<unnamed>' panicked at ") + where.file_name() + ":" +
                     std::to_string(where.line()) + ":" + std::to_string(where.column()) + ":\n" +
                     message + "\n";
  (void)!::write(2, line.data(), line.size());
  throw FatalFailure(std::move(message), where);
}

[[noreturn]] void resume_failure(std::string message) {
  throw FatalFailure(std::move(message), std::source_location::current());
}

void failure_caught() noexcept {}

[[noreturn]] void panic_trap_fired(const char* message) noexcept {
  (void)!::write(2, message, std::char_traits<char>::length(message));
  std::abort();
}

}  // namespace velmora
