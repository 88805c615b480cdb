// Error values of the reader, the attribute iterator and unescaping, with their printed forms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::reader {

// A failed UTF-8 check: the longest valid prefix and the length of the bad sequence there
// (absent when the input ends inside a sequence).
struct Utf8Error {
  std::size_t valid_up_to = 0;
  std::optional<std::uint8_t> error_len;
};

enum class AttrErrorKind { ExpectedEq, ExpectedValue, UnquotedValue, ExpectedQuote, Duplicated };

// Positions are byte offsets into the tag content (the bytes after "<").
struct AttrError {
  AttrErrorKind kind;
  std::size_t position = 0;        // every kind
  std::size_t earlier_key = 0;     // Duplicated: start of the earlier equal key
  std::uint8_t quote = 0;          // ExpectedQuote: 34 or 39
};

enum class EscapeErrorKind {
  EntityWithNull,
  UnrecognizedSymbol,
  UnterminatedEntity,
  TooLongHexadecimal,
  InvalidHexadecimal,
  TooLongDecimal,
  InvalidDecimal,
  InvalidCodepoint,
};

// Ranges are half-open byte ranges into the text being unescaped.
struct EscapeError {
  EscapeErrorKind kind;
  std::size_t start = 0, end = 0;  // EntityWithNull, UnrecognizedSymbol, UnterminatedEntity
  std::string name;                // UnrecognizedSymbol
  std::uint8_t byte = 0;           // InvalidHexadecimal, InvalidDecimal: printed as the char U+00XX
  std::uint32_t codepoint = 0;     // InvalidCodepoint
};

enum class ErrorKind {
  Io,
  NonDecodable,
  UnexpectedEof,
  EndEventMismatch,
  UnexpectedToken,
  UnexpectedBang,
  TextNotFound,
  XmlDeclWithoutVersion,
  EmptyDocType,
  InvalidAttr,
  EscapeError,
  UnknownPrefix,
  InvalidPrefixBind,
};

struct Error {
  ErrorKind kind;
  // Io: the I/O error's text; UnexpectedEof, UnexpectedToken: the text;
  // EndEventMismatch: `expected`; XmlDeclWithoutVersion: the optional text (see has_text).
  std::string text;
  std::string found;                 // EndEventMismatch
  bool has_text = true;              // XmlDeclWithoutVersion: Some/None
  std::optional<Utf8Error> utf8;     // NonDecodable
  std::uint8_t bang = 0;             // UnexpectedBang
  std::optional<AttrError> attr;     // InvalidAttr
  std::optional<EscapeError> escape; // EscapeError
  std::vector<std::uint8_t> prefix;  // UnknownPrefix, InvalidPrefixBind
  std::vector<std::uint8_t> ns;      // InvalidPrefixBind

  static Error unexpected_eof(std::string what) { return {ErrorKind::UnexpectedEof, std::move(what)}; }
  static Error end_event_mismatch(std::string expected, std::string found) {
    Error e{ErrorKind::EndEventMismatch, std::move(expected)};
    e.found = std::move(found);
    return e;
  }
  static Error unexpected_bang(std::uint8_t b) { Error e{ErrorKind::UnexpectedBang}; e.bang = b; return e; }
  static Error unexpected_token(std::string t) { return {ErrorKind::UnexpectedToken, std::move(t)}; }
  static Error empty_doctype() { return {ErrorKind::EmptyDocType}; }
  static Error non_decodable(std::optional<Utf8Error> u) { Error e{ErrorKind::NonDecodable}; e.utf8 = u; return e; }
  static Error escape_error(EscapeError x) { Error e{ErrorKind::EscapeError}; e.escape = std::move(x); return e; }
};

// Printed forms: single-line, appended to `out`. Printing cannot fail.
void print(std::string& out, const Utf8Error& e);
void print(std::string& out, const AttrError& e);
void print(std::string& out, const EscapeError& e);
void print(std::string& out, const Error& e);
// A text between double quotes / a character between single quotes, with backslash escapes.
void print_quoted_text(std::string& out, std::string_view utf8);
void print_quoted_char(std::string& out, char32_t c);

template <class E>
std::string to_string(const E& e) {
  std::string s;
  print(s, e);
  return s;
}

}  // namespace velmora::reader
