// Unbuffered, allocation-free lines of failure reports on descriptor 2.
#include "failure/output.h"

#include <cerrno>

namespace velmora::failure_output {
namespace {

// Writes all of `piece`, in chunks; false if some of it could not be written.
bool write_piece(std::string_view piece) noexcept {
  const char* data = piece.data();
  std::size_t left = piece.size();
  while (left > 0) {
    const std::size_t chunk = left < kMaxWriteChunk ? left : kMaxWriteChunk;
    const ssize_t written = write_report(2, data, chunk);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (written == 0) return false;
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

StderrLine& StderrLine::operator<<(std::string_view piece) noexcept {
  if (intact_) intact_ = write_piece(piece);
  return *this;
}

StderrLine& StderrLine::operator<<(std::uint64_t value) noexcept {
  char digits[20];
  std::size_t start = sizeof digits;
  do {
    digits[--start] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  return *this << std::string_view(digits + start, sizeof digits - start);
}

StderrLine& StderrLine::hex(std::uintptr_t value) noexcept {
  char digits[2 + 2 * sizeof value];
  std::size_t start = sizeof digits;
  do {
    digits[--start] = "0123456789abcdef"[value & 0xf];
    value >>= 4;
  } while (value != 0);
  digits[--start] = 'x';
  digits[--start] = '0';
  return *this << std::string_view(digits + start, sizeof digits - start);
}

}  // namespace velmora::failure_output
