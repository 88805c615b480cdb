// The events a Reader yields and their payloads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "reader/attributes.h"
#include "reader/cow_text.h"
#include "reader/errors.h"
#include "reader/result.h"
#include "reader/unescape.h"

namespace velmora::reader {

// The bytes of a start tag, an empty-element tag or an XML declaration: everything between "<"
// (or "<?") and ">" (or "/>", "?>"), with the length of the element name at its front.
struct BytesStart {
  std::string_view content;
  std::size_t name_len = 0;

  std::string_view name() const { return content.substr(0, name_len); }
  // A fresh pass over the attributes that follow the name.
  Attributes attributes() const { return Attributes(content, name_len); }
};

// Raw character data (text, comment, processing instruction, DOCTYPE), not yet unescaped.
struct BytesText {
  std::string_view bytes;

  Result<CowText, Error> unescape() const { return reader::unescape(bytes); }
};

enum class EventKind { Start, End, Empty, Text, CData, Comment, Decl, PI, DocType, Eof };

// One event: its kind and a view of the reader's input (four words, built for every event).
class Event {
 public:
  static Event start(BytesStart s) { return Event(EventKind::Start, s.content, s.name_len); }
  static Event empty(BytesStart s) { return Event(EventKind::Empty, s.content, s.name_len); }
  static Event decl(BytesStart s) { return Event(EventKind::Decl, s.content, s.name_len); }
  static Event end(std::string_view name) { return Event(EventKind::End, name, 0); }
  static Event text(std::string_view b) { return Event(EventKind::Text, b, 0); }
  static Event cdata(std::string_view b) { return Event(EventKind::CData, b, 0); }
  static Event comment(std::string_view b) { return Event(EventKind::Comment, b, 0); }
  static Event pi(std::string_view b) { return Event(EventKind::PI, b, 0); }
  static Event doctype(std::string_view b) { return Event(EventKind::DocType, b, 0); }
  static Event eof() { return Event(EventKind::Eof, {}, 0); }

  EventKind kind() const { return kind_; }

  // The payload bytes: the tag content (Start, Empty, Decl), the name (End), the text (others);
  // empty for Eof.
  std::string_view bytes() const { return view_; }
  // Start, Empty, Decl.
  BytesStart as_start() const { return BytesStart{view_, name_len_}; }
  // Text, Comment, PI, DocType (and CData, whose bytes are text too).
  BytesText as_text() const { return BytesText{view_}; }

 private:
  Event(EventKind k, std::string_view v, std::size_t n) : kind_(k), view_(v), name_len_(n) {}

  EventKind kind_;
  std::string_view view_;
  std::size_t name_len_ = 0;
};

}  // namespace velmora::reader
