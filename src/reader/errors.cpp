// Printed forms of the reader's error values: one line, the kind's name and its payload.
#include "reader/errors.h"

#include <charconv>
#include <string_view>

#include "reader/unicode_tables.h"
#include "reader/utf8.h"

namespace velmora::reader {

namespace {

void print_number(std::string& out, std::uint64_t n) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, n);
  (void)ec;  // 24 digits always suffice for 64 bits
  out.append(buf, end);
}

void print_hex(std::string& out, std::uint32_t n) {
  char buf[12];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, n, 16);  // lower case, no leading zeros
  (void)ec;
  out.append(buf, end);
}

void print_range(std::string& out, std::size_t start, std::size_t end) {
  print_number(out, start);
  out += "..";
  print_number(out, end);
}

void print_byte_list(std::string& out, const std::vector<std::uint8_t>& bytes) {
  out += '[';
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i) out += ", ";
    print_number(out, bytes[i]);
  }
  out += ']';
}

// One character inside quotes; `quote` is the delimiter that needs a backslash.
void print_escaped(std::string& out, char32_t c, char quote) {
  switch (c) {
    case 0: out += "\\0"; return;
    case '\t': out += "\\t"; return;
    case '\r': out += "\\r"; return;
    case '\n': out += "\\n"; return;
    case '\\': out += "\\\\"; return;
    case '"':
    case '\'':
      if (static_cast<char>(c) == quote) out += '\\';
      out += static_cast<char>(c);
      return;
    default: break;
  }
  // Surrogates and values past U+10FFFF are not printable, so they never reach append_utf8.
  if (is_grapheme_extend(c) || !is_printable(c)) {
    out += "\\u{";
    print_hex(out, c);
    out += '}';
    return;
  }
  append_utf8(out, c);
}

}  // namespace

void print_quoted_text(std::string& out, std::string_view utf8) {
  out += '"';
  // Bytes that are not UTF-8 cannot come from a Python str; should they appear anyway, each
  // invalid sequence prints as U+FFFD rather than being dropped or read past.
  std::string repaired;
  if (check_utf8(utf8)) {
    append_lossy(repaired, utf8);
    utf8 = repaired;
  }
  for (std::size_t i = 0; i < utf8.size();) print_escaped(out, decode_utf8_valid(utf8, i), '"');
  out += '"';
}

Error Error::missing_end_tag(std::string_view name) {
  std::string missing = "</";
  print_quoted_text(missing, name);
  missing += '>';
  return unexpected_eof(std::move(missing));
}

void print_quoted_char(std::string& out, char32_t c) {
  out += '\'';
  print_escaped(out, c, '\'');
  out += '\'';
}

void print(std::string& out, const Utf8Error& e) {
  out += "Utf8Error { valid_up_to: ";
  print_number(out, e.valid_up_to);
  out += ", error_len: ";
  if (e.error_len) {
    out += "Some(";
    print_number(out, *e.error_len);
    out += ')';
  } else {
    out += "None";
  }
  out += " }";
}

void print(std::string& out, const AttrError& e) {
  switch (e.kind) {
    case AttrErrorKind::ExpectedEq: out += "ExpectedEq("; break;
    case AttrErrorKind::ExpectedValue: out += "ExpectedValue("; break;
    case AttrErrorKind::UnquotedValue: out += "UnquotedValue("; break;
    case AttrErrorKind::ExpectedQuote:
      out += "ExpectedQuote(";
      print_number(out, e.position);
      out += ", ";
      print_number(out, e.quote);
      out += ')';
      return;
    case AttrErrorKind::Duplicated:
      out += "Duplicated(";
      print_number(out, e.position);
      out += ", ";
      print_number(out, e.earlier_key);
      out += ')';
      return;
  }
  print_number(out, e.position);
  out += ')';
}

void print(std::string& out, const EscapeError& e) {
  switch (e.kind) {
    case EscapeErrorKind::EntityWithNull:
      out += "EntityWithNull(";
      print_range(out, e.start, e.end);
      out += ')';
      return;
    case EscapeErrorKind::UnrecognizedSymbol:
      out += "UnrecognizedSymbol(";
      print_range(out, e.start, e.end);
      out += ", ";
      print_quoted_text(out, e.name);
      out += ')';
      return;
    case EscapeErrorKind::UnterminatedEntity:
      out += "UnterminatedEntity(";
      print_range(out, e.start, e.end);
      out += ')';
      return;
    case EscapeErrorKind::TooLongHexadecimal: out += "TooLongHexadecimal"; return;
    case EscapeErrorKind::InvalidHexadecimal:
      out += "InvalidHexadecimal(";
      print_quoted_char(out, e.byte);  // the byte as the character U+0000..U+00FF
      out += ')';
      return;
    case EscapeErrorKind::TooLongDecimal: out += "TooLongDecimal"; return;
    case EscapeErrorKind::InvalidDecimal:
      out += "InvalidDecimal(";
      print_quoted_char(out, e.byte);
      out += ')';
      return;
    case EscapeErrorKind::InvalidCodepoint:
      out += "InvalidCodepoint(";
      print_number(out, e.codepoint);
      out += ')';
      return;
  }
}

void print(std::string& out, const Error& e) {
  switch (e.kind) {
    case ErrorKind::Io:
      out += "Io(";
      out += e.text();
      out += ')';
      return;
    case ErrorKind::NonDecodable:
      out += "NonDecodable(";
      if (e.utf8()) {
        out += "Some(";
        print(out, *e.utf8());
        out += ')';
      } else {
        out += "None";
      }
      out += ')';
      return;
    case ErrorKind::UnexpectedEof:
      out += "UnexpectedEof(";
      print_quoted_text(out, e.text());
      out += ')';
      return;
    case ErrorKind::EndEventMismatch:
      out += "EndEventMismatch { expected: ";
      print_quoted_text(out, e.text());
      out += ", found: ";
      print_quoted_text(out, e.found());
      out += " }";
      return;
    case ErrorKind::UnexpectedToken:
      out += "UnexpectedToken(";
      print_quoted_text(out, e.text());
      out += ')';
      return;
    case ErrorKind::UnexpectedBang:
      out += "UnexpectedBang(";
      print_number(out, e.bang());
      out += ')';
      return;
    case ErrorKind::TextNotFound: out += "TextNotFound"; return;
    case ErrorKind::XmlDeclWithoutVersion:
      out += "XmlDeclWithoutVersion(";
      if (e.has_text()) {
        out += "Some(";
        print_quoted_text(out, e.text());
        out += ')';
      } else {
        out += "None";
      }
      out += ')';
      return;
    case ErrorKind::EmptyDocType: out += "EmptyDocType"; return;
    case ErrorKind::InvalidAttr:
      out += "InvalidAttr(";
      if (e.attr()) print(out, *e.attr());
      out += ')';
      return;
    case ErrorKind::EscapeError:
      out += "EscapeError(";
      if (e.escape()) print(out, *e.escape());
      out += ')';
      return;
    case ErrorKind::UnknownPrefix:
      out += "UnknownPrefix(";
      print_byte_list(out, e.prefix());
      out += ')';
      return;
    case ErrorKind::InvalidPrefixBind:
      out += "InvalidPrefixBind { prefix: ";
      print_byte_list(out, e.prefix());
      out += ", namespace: ";
      print_byte_list(out, e.ns());
      out += " }";
      return;
  }
}

}  // namespace velmora::reader
