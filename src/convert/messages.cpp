// The failure messages of the conversion.
#include "convert/messages.h"

namespace velmora::convert {
namespace {

template <class ReaderError>
std::string framed(const ReaderError& error) {
  std::string message(kUnwrapFrame);
  reader::print(message, error);
  return message;
}

}  // namespace

std::string unwrap_message(const reader::Error& error) { return framed(error); }
std::string unwrap_message(const reader::AttrError& error) { return framed(error); }
std::string unwrap_message(const reader::Utf8Error& error) { return framed(error); }

std::string unwrap_message(py::PyErr error) {
  std::string message(kUnwrapFrame);
  py::append_printed_form(message, error);
  return message;
}

std::string unwrap_message_for_pending_error() { return unwrap_message(py::fetch_error()); }

std::string position_message(std::uint64_t position, const reader::Error& error) {
  std::string message = "Error at position " + std::to_string(position) + ": ";
  reader::print(message, error);
  return message;
}

}  // namespace velmora::convert
