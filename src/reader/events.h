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
#include "reader/units.h"

namespace velmora::reader {

// The units of a start tag, an empty-element tag or an XML declaration: everything between "<"
// (or "<?") and ">" (or "/>", "?>"), with the length of the element name at its front.
template <TextUnit Unit>
struct BasicBytesStart {
  UnitView<Unit> content;
  std::size_t name_len = 0;

  UnitView<Unit> name() const { return content.substr(0, name_len); }
  // A fresh pass over the attributes that follow the name.
  BasicAttributes<Unit> attributes() const { return BasicAttributes<Unit>(content, name_len); }
};
using BytesStart = BasicBytesStart<char>;

// Raw character data (text, comment, processing instruction, DOCTYPE) of UTF-8 text, not yet
// unescaped.
struct BytesText {
  std::string_view bytes;

  Result<CowText, Error> unescape() const { return reader::unescape(bytes); }
};

enum class EventKind : std::uint8_t { Start, End, Empty, Text, CData, Comment, Decl, PI, DocType, Eof, Leaf };

// One event: its kind and views of the reader's input (five words, built for every event).
template <TextUnit Unit>
class BasicEvent {
 public:
  using View = UnitView<Unit>;
  using Start = BasicBytesStart<Unit>;

  // An Eof, as a place for events to be read into.
  BasicEvent() : BasicEvent(EventKind::Eof, {}, 0) {}

  static BasicEvent start(Start s) { return BasicEvent(EventKind::Start, s.content, s.name_len); }
  static BasicEvent empty(Start s) { return BasicEvent(EventKind::Empty, s.content, s.name_len); }
  static BasicEvent decl(Start s) { return BasicEvent(EventKind::Decl, s.content, s.name_len); }
  static BasicEvent end(View name) { return BasicEvent(EventKind::End, name, 0); }
  static BasicEvent text(View b) { return BasicEvent(EventKind::Text, b, 0); }
  static BasicEvent cdata(View b) { return BasicEvent(EventKind::CData, b, 0); }
  static BasicEvent comment(View b) { return BasicEvent(EventKind::Comment, b, 0); }
  static BasicEvent pi(View b) { return BasicEvent(EventKind::PI, b, 0); }
  static BasicEvent doctype(View b) { return BasicEvent(EventKind::DocType, b, 0); }
  static BasicEvent eof() { return BasicEvent(EventKind::Eof, {}, 0); }
  // An element holding text alone (a reader option): its name and its text, maybe empty. A
  // leaf whose start tag has more after its name carries that too (with_attributes).
  static BasicEvent leaf(View name, View text) {
    BasicEvent e(EventKind::Leaf, text, name.size());
    e.name_ = name.data();
    return e;
  }
  // The same, with the scan of its text made while finding its end (UTF-8 text).
  static BasicEvent leaf(View name, View text, TextScan scan) { return leaf(name, text, scan_bits(scan)); }
  // The same with the scan as scan_bits gave it (one byte to carry rather than two flags).
  static BasicEvent leaf(View name, View text, std::uint8_t scan_bits) {
    BasicEvent e = leaf(name, text);
    e.scan_ = scan_bits;
    return e;
  }
  static std::uint8_t scan_bits(TextScan scan) {
    return static_cast<std::uint8_t>(kScanned | (scan.has_reference ? kReference : 0) | (scan.ascii ? kAscii : 0));
  }
  // The same for text of code points: what scan_units found, its bits kept as the narrowest str
  // form they allow (all a str needs of them).
  static BasicEvent leaf(View name, View text, UnitScan scan)
    requires(!kIsUtf8<Unit>)
  {
    const unsigned reference = scan.has_reference ? kReference : 0;
    return leaf(name, text, static_cast<std::uint8_t>(kScanned | reference | str_form(scan.bits) << kFormShift));
  }

  // The same leaf, its start tag's content running `attributes_len` units past its name.
  BasicEvent with_attributes(std::uint32_t attributes_len) const {
    BasicEvent e = *this;
    e.attributes_len_ = attributes_len;
    return e;
  }
  // The same leaf with attributes, its start tag being the name, one whitespace unit and one
  // attribute whose key is `key_len` units (1 to 255) and whose closing quote ends the tag, read
  // with the tag (the value's scan as find_quote_scanning answered it).
  BasicEvent with_read_attribute(std::size_t key_len, bool value_has_reference, std::uint32_t value_bits) const {
    BasicEvent e = *this;
    e.attribute_key_len_ = static_cast<std::uint8_t>(key_len);
    e.attribute_scan_ = static_cast<std::uint8_t>((value_has_reference ? 4u : 0u) | str_form(value_bits));
    return e;
  }

  EventKind kind() const { return kind_; }

  // The payload: the tag content (Start, Empty, Decl), the name (End), the text (others, Leaf
  // included); empty for Eof.
  View bytes() const { return view_; }
  // Start, Empty, Decl.
  Start as_start() const { return Start{view_, name_len_}; }
  // Leaf: the element's name.
  View leaf_name() const { return View(name_, name_len_); }
  // Leaf: whether its start tag has anything after the name (attributes, whitespace), and that
  // start tag's content, as the Start of the same element would hold it.
  bool leaf_has_attributes() const { return attributes_len_ != 0; }
  Start leaf_tag() const { return Start{View(name_, name_len_ + attributes_len_), name_len_}; }
  // Leaf: whether its start tag's one attribute was read with it (with_read_attribute), and
  // that attribute, as the attribute pass over leaf_tag() gives it.
  bool has_read_attribute() const { return attribute_key_len_ != 0; }
  BasicAttribute<Unit> read_attribute() const {
    const Unit* const key = name_ + name_len_ + 1;
    const Unit* const value = key + attribute_key_len_ + 2;
    const Unit* const tag_end = name_ + name_len_ + attributes_len_;
    BasicAttribute<Unit> attribute{BasicQName<Unit>{View(key, attribute_key_len_)},
                                   View(value, static_cast<std::size_t>(tag_end - 1 - value))};
    attribute.scanned = true;
    attribute.has_reference = (attribute_scan_ & 4u) != 0;
    attribute.bits = kFormLargest[attribute_scan_ & 3u];
    if constexpr (sizeof(Unit) == 1) attribute.bits &= 0x80u;  // one-byte units: 0x80 or 0
    return attribute;
  }
  // Leaf: whether the reader scanned its text while finding its end (see text_scan, unit_scan).
  bool has_text_scan() const { return (scan_ & kScanned) != 0; }
  TextScan text_scan() const
    requires kIsUtf8<Unit>
  {
    return TextScan{(scan_ & kReference) != 0, (scan_ & kAscii) != 0};
  }
  // The same for text of code points: bits 0x7F, 0xFF, 0xFFFF or 0x10FFFF, the largest unit of
  // the narrowest form that holds every unit (as scan_units(bytes()) would answer for that form).
  UnitScan unit_scan() const
    requires(!kIsUtf8<Unit>)
  {
    const bool has_reference = (scan_ & kReference) != 0;
    return UnitScan{has_reference, has_reference ? 0 : kFormLargest[(scan_ >> kFormShift) & 3]};
  }
  // Those bits whether or not the text holds a reference: then they are of its units alone (the
  // references' own included), as find_references takes them.
  std::uint32_t unit_bits() const
    requires(!kIsUtf8<Unit>)
  {
    return kFormLargest[(scan_ >> kFormShift) & 3];
  }
  // Text, Comment, PI, DocType (and CData, whose bytes are text too), of UTF-8 text.
  BytesText as_text() const
    requires kIsUtf8<Unit>
  {
    return BytesText{view_};
  }

 private:
  BasicEvent(EventKind k, View v, std::size_t n) : kind_(k), view_(v), name_len_(n) {}

  static constexpr std::uint8_t kScanned = 1, kReference = 2, kAscii = 4;
  static constexpr unsigned kFormShift = 3;  // two bits: the str form of a text of code points

  // The str form (0 to 3: ASCII, one byte, two, four) that units or-ed together call for, and
  // the largest unit of each.
  static unsigned str_form(std::uint32_t bits) { return bits < 0x80 ? 0 : bits < 0x100 ? 1 : bits < 0x10000 ? 2 : 3; }
  static constexpr std::uint32_t kFormLargest[4] = {0x7F, 0xFF, 0xFFFF, 0x10FFFF};

  EventKind kind_;
  std::uint8_t scan_ = 0;  // Leaf: kScanned and what the scan found
  std::uint8_t attribute_key_len_ = 0;  // Leaf: see with_read_attribute
  std::uint8_t attribute_scan_ = 0;     // Leaf: its value's reference (4) and str form
  std::uint32_t attributes_len_ = 0;  // Leaf: its start tag's units after the name
  View view_;
  std::size_t name_len_ = 0;
  const Unit* name_ = nullptr;  // Leaf
};
using Event = BasicEvent<char>;

}  // namespace velmora::reader
