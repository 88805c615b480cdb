// Error values of the reader, the attribute iterator and unescaping, with their printed forms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reader/utf8.h"

namespace velmora::reader {

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

// A reader error: its kind, and a payload that costs one pointer, so that a reader result
// stays a few words. Kinds without a payload (and UnexpectedBang, whose byte is kept inline)
// allocate nothing; the others hold their payload on the heap, off the path of every event.
class Error {
 public:
  ErrorKind kind;

  static Error io(std::string text) { return with_text(ErrorKind::Io, std::move(text)); }
  static Error unexpected_eof(std::string what) { return with_text(ErrorKind::UnexpectedEof, std::move(what)); }
  // UnexpectedEof for an element whose end tag never came: the text "</" + quoted name + ">".
  static Error missing_end_tag(std::string_view name);
  static Error end_event_mismatch(std::string expected, std::string found) {
    Error e = with_text(ErrorKind::EndEventMismatch, std::move(expected));
    e.detail_->found = std::move(found);
    return e;
  }
  static Error unexpected_bang(std::uint8_t b) { Error e(ErrorKind::UnexpectedBang); e.byte_ = b; return e; }
  static Error unexpected_token(std::string t) { return with_text(ErrorKind::UnexpectedToken, std::move(t)); }
  static Error text_not_found() { return Error(ErrorKind::TextNotFound); }
  static Error xml_decl_without_version(std::optional<std::string> text) {
    Error e = with_text(ErrorKind::XmlDeclWithoutVersion, text ? std::move(*text) : std::string());
    e.detail_->has_text = text.has_value();
    return e;
  }
  static Error empty_doctype() { return Error(ErrorKind::EmptyDocType); }
  static Error non_decodable(std::optional<Utf8Error> u) {
    Error e = with_detail(ErrorKind::NonDecodable);
    e.detail_->utf8 = u;
    return e;
  }
  static Error invalid_attr(AttrError a) {
    Error e = with_detail(ErrorKind::InvalidAttr);
    e.detail_->attr = a;
    return e;
  }
  static Error escape_error(EscapeError x) {
    Error e = with_detail(ErrorKind::EscapeError);
    e.detail_->escape = std::move(x);
    return e;
  }
  static Error unknown_prefix(std::vector<std::uint8_t> prefix) {
    Error e = with_detail(ErrorKind::UnknownPrefix);
    e.detail_->prefix = std::move(prefix);
    return e;
  }
  static Error invalid_prefix_bind(std::vector<std::uint8_t> prefix, std::vector<std::uint8_t> ns) {
    Error e = with_detail(ErrorKind::InvalidPrefixBind);
    e.detail_->prefix = std::move(prefix);
    e.detail_->ns = std::move(ns);
    return e;
  }

  Error(const Error& other) : kind(other.kind), byte_(other.byte_) {
    if (other.detail_) detail_ = std::make_unique<Detail>(*other.detail_);
  }
  Error& operator=(const Error& other) {
    if (this != &other) *this = Error(other);
    return *this;
  }
  Error(Error&&) noexcept = default;
  Error& operator=(Error&&) noexcept = default;

  // Io, UnexpectedEof, UnexpectedToken: the text; EndEventMismatch: `expected`;
  // XmlDeclWithoutVersion: the text when has_text().
  std::string_view text() const { return detail_ ? std::string_view(detail_->text) : std::string_view(); }
  std::string_view found() const { return detail_ ? std::string_view(detail_->found) : std::string_view(); }  // EndEventMismatch
  bool has_text() const { return detail_ && detail_->has_text; }       // XmlDeclWithoutVersion: Some/None
  std::uint8_t bang() const { return byte_; }                          // UnexpectedBang
  const std::optional<Utf8Error>& utf8() const { return payload().utf8; }      // NonDecodable
  const std::optional<AttrError>& attr() const { return payload().attr; }      // InvalidAttr
  const std::optional<EscapeError>& escape() const { return payload().escape; }  // EscapeError
  const std::vector<std::uint8_t>& prefix() const { return payload().prefix; }  // UnknownPrefix, InvalidPrefixBind
  const std::vector<std::uint8_t>& ns() const { return payload().ns; }          // InvalidPrefixBind

 private:
  struct Detail {
    std::string text;
    std::string found;
    bool has_text = true;
    std::optional<Utf8Error> utf8;
    std::optional<AttrError> attr;
    std::optional<EscapeError> escape;
    std::vector<std::uint8_t> prefix;
    std::vector<std::uint8_t> ns;
  };

  explicit Error(ErrorKind k) : kind(k) {}
  static Error with_detail(ErrorKind k) {
    Error e(k);
    e.detail_ = std::make_unique<Detail>();
    return e;
  }
  static Error with_text(ErrorKind k, std::string text) {
    Error e = with_detail(k);
    e.detail_->text = std::move(text);
    return e;
  }
  const Detail& payload() const {
    static const Detail kEmpty;
    return detail_ ? *detail_ : kEmpty;
  }

  std::uint8_t byte_ = 0;
  std::unique_ptr<Detail> detail_;
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
