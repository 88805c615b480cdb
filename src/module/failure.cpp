// Placeholder report: first line and message only (the full report replaces this file).
#include "module/failure.h"

#include <unistd.h>

#include <string>

namespace velmora {

[[noreturn]] void fail(std::string message, std::source_location where) {
  std::string line = std::string("thread '<unnamed>' panicked at ") + where.file_name() + ":" +
                     std::to_string(where.line()) + ":" + std::to_string(where.column()) + ":\n" +
                     message + "\n";
  (void)!::write(2, line.data(), line.size());
  throw FatalFailure(std::move(message), where);
}

void failure_caught() noexcept {}

}  // namespace velmora
