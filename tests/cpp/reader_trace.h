// Test helper: a reader's events as one compact line, so whole sequences compare at once.
//   Start(a b='1'):a   tag content, then the element name
//   End(a) Text(x) CData(x) Comment(x) PI(x) DocType(x) Decl(xml v='1'):xml Eof
//   Leaf(x):a k='1'   an element holding text alone: its text, then its start tag's content
//   Leaf(x):a k='1' [k=1]   ... and the one attribute the reader read with the tag (" &" when
//                           the value holds a reference, " !ascii" when it is not ASCII)
//   !EndEventMismatch(a,b)@5   an error (kind and payload fields), then position()
#pragma once

#include <string>
#include <string_view>

#include "reader/reader.h"

namespace velmora::reader::testing {

// One table row: an input and the events it yields, as `trace` writes them.
struct TraceCase {
  std::string input;
  std::string events;
};

inline std::string describe(const Error& e) {
  switch (e.kind) {
    case ErrorKind::UnexpectedEof: return "UnexpectedEof(" + std::string(e.text()) + ")";
    case ErrorKind::UnexpectedToken: return "UnexpectedToken(" + std::string(e.text()) + ")";
    case ErrorKind::EndEventMismatch: return "EndEventMismatch(" + std::string(e.text()) + "," + std::string(e.found()) + ")";
    case ErrorKind::UnexpectedBang: return "UnexpectedBang(" + std::to_string(e.bang()) + ")";
    case ErrorKind::EmptyDocType: return "EmptyDocType";
    case ErrorKind::NonDecodable: return "NonDecodable";
    default: return "Error#" + std::to_string(static_cast<int>(e.kind));
  }
}

inline std::string describe(const Event& ev) {
  auto with = [&](const char* kind) { return std::string(kind) + "(" + std::string(ev.bytes()) + ")"; };
  switch (ev.kind()) {
    case EventKind::Start: return with("Start") + ":" + std::string(ev.as_start().name());
    case EventKind::Empty: return with("Empty") + ":" + std::string(ev.as_start().name());
    case EventKind::Decl: return with("Decl") + ":" + std::string(ev.as_start().name());
    case EventKind::End: return with("End");
    case EventKind::Text: return with("Text");
    case EventKind::CData: return with("CData");
    case EventKind::Comment: return with("Comment");
    case EventKind::PI: return with("PI");
    case EventKind::DocType: return with("DocType");
    case EventKind::Eof: return "Eof";
    case EventKind::Leaf: {
      std::string out = with("Leaf") + ":" + std::string(ev.leaf_tag().content);
      if (!ev.has_read_attribute()) return out;
      const Attribute a = ev.read_attribute();
      return out + " [" + std::string(a.key.bytes) + "=" + std::string(a.value) + (a.has_reference ? " &" : a.bits >= 0x80 ? " !ascii" : "") + "]";
    }
  }
  return "?";
}

// The reader's open names, outermost first, joined by "/".
inline std::string open_names(const Reader& r) {
  std::string out;
  for (std::string_view name : r.state().open_names) out += (out.empty() ? "" : "/") + std::string(name);
  return out;
}

// Every event up to and including Eof or the first error.
inline std::string trace(Reader& r) {
  std::string out;
  for (int guard = 0; guard < 10000; ++guard) {
    if (!out.empty()) out += ' ';
    auto ev = r.read_event_impl();
    if (ev.is_err()) return out + "!" + describe(ev.error()) + "@" + std::to_string(r.position());
    out += describe(ev.value());
    if (ev.value().kind() == EventKind::Eof) return out;
  }
  return out + "...";
}

inline std::string trace(std::string_view input, Settings settings = {}) {
  Reader r(input, settings);
  return trace(r);
}

}  // namespace velmora::reader::testing
