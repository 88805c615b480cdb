// libFuzzer target for the reader: events under several settings, read_to_end/read_text after
// every Start, nested readers over element content, attribute passes and unescaping. Every
// invariant that fails aborts, so the fuzzer keeps the input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "reader/attributes.h"
#include "reader/reader.h"
#include "reader/unescape.h"
#include "reader/utf8.h"
#include "check.h"

using namespace velmora::reader;

namespace {

bool inside(std::string_view part, std::string_view whole) {
  return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

// Unescaping never lengthens a text, and a borrowed result is the text itself. A slice the
// reader hands out is UTF-8 already: unescaping it unchecked gives the same outcome.
void check_unescape(std::string_view raw) {
  auto r = unescape(raw);
  auto unchecked = unescape_slice(raw);
  CHECK(r.is_err() == unchecked.is_err());
  CHECK(r.is_err() ? to_string(r.error()) == to_string(unchecked.error())
                   : r.value().view() == unchecked.value().view());
  if (r.is_err()) return;
  const std::string_view out = r.value().view();
  CHECK(out.size() <= raw.size());
  if (!r.value().is_owned()) CHECK(out.data() == raw.data() && out.size() == raw.size());
}

// A full pass over a tag's attributes, continuing after errors. Every step either ends the
// pass or moves on, so content size + 1 steps always suffice.
void check_attributes(const BytesStart& tag) {
  const std::string_view content = tag.content;
  Attributes attrs = tag.attributes();
  std::size_t steps = 0;
  while (auto item = attrs.next()) {
    CHECK(++steps <= content.size() + 1);
    if (item->is_err()) {
      const AttrError& e = item->error();
      CHECK(e.position <= content.size());
      if (e.kind == AttrErrorKind::Duplicated) CHECK(e.earlier_key < e.position);
      continue;
    }
    const Attribute& a = item->value();
    CHECK(!a.key.bytes.empty());
    CHECK(inside(a.key.bytes, content));
    CHECK(inside(a.value, content));
    CHECK(inside(a.key.local_name(), a.key.bytes));
    check_unescape(a.value);
  }
  CHECK(!attrs.next().has_value());  // an ended pass stays ended
}

void check_payload(const Event& ev, std::string_view input) {
  const std::string_view b = ev.bytes();
  CHECK(inside(b, input));
  switch (ev.kind()) {
    case EventKind::Start:
    case EventKind::Empty:
    case EventKind::Decl:
      CHECK(ev.as_start().name_len <= b.size());
      check_attributes(ev.as_start());
      break;
    case EventKind::Text:
      CHECK(!b.empty());
      check_unescape(b);
      break;
    case EventKind::Comment:
    case EventKind::PI:
    case EventKind::DocType:
    case EventKind::CData:
      check_unescape(b);
      break;
    default:
      break;
  }
}

// Starts never decrease and never pass the end of the name buffer.
void check_name_stack(const ReaderState& st) {
  std::size_t prev = 0;
  for (std::size_t s : st.open_name_starts) {
    CHECK(s >= prev && s <= st.open_names.size());
    prev = s;
  }
}

void drive(std::string_view input, const Settings& settings, int depth);

// read_text after a Start: the range lies in the input and the text is exactly that range.
void check_read_text(Reader& r, std::string_view name, std::string_view input, const Settings& settings,
                     int depth) {
  Reader copy = r;
  auto range = copy.read_to_end(name);
  auto text = r.read_text(name);
  CHECK(range.is_ok() == text.is_ok());
  CHECK(r.position() == copy.position());
  if (text.is_err()) {
    CHECK(r.state().state == ScanState::Finished);
    return;
  }
  const auto [start, end] = range.value();
  CHECK(start <= end);
  CHECK(end <= r.position());
  CHECK(inside(text.value(), input));
  CHECK(text.value().size() == end - start);
  // The nested reader the conversion would make over this content.
  if (depth < 6) drive(text.value(), settings, depth + 1);
}

void drive(std::string_view input, const Settings& settings, int depth) {
  Reader r(input, settings);
  const bool bom = input.substr(0, 3) == "\xEF\xBB\xBF";
  const std::uint64_t limit = input.size() - (bom ? 3 : 0);
  // Every event but an expanded End consumes at least one byte.
  const std::size_t max_events = 2 * input.size() + 4;
  std::size_t starts = 0;
  for (std::size_t n = 0;; ++n) {
    CHECK(n <= max_events);
    auto ev = r.read_event_impl();
    CHECK(r.position() <= limit);
    CHECK(r.state().offset <= limit);
    check_name_stack(r.state());
    if (ev.is_err()) {
      CHECK(r.state().state == ScanState::Finished);
      break;
    }
    const Event& e = ev.value();
    if (e.kind() == EventKind::Eof) {
      CHECK(r.state().state == ScanState::Finished);
      break;
    }
    check_payload(e, input);
    // read_text on every other Start (the reader then goes on after the element); the others
    // keep reading event by event, so both paths cover nested content.
    if (e.kind() == EventKind::Start && (starts++ % 2 == 0)) {
      const std::string name(e.as_start().name());
      check_read_text(r, name, input, settings, depth);
    }
  }
  // A finished reader yields only Eof and stays where it is.
  const auto pos = r.position();
  for (int i = 0; i < 2; ++i) {
    auto ev = r.read_event_impl();
    CHECK(ev.is_ok() && ev.value().kind() == EventKind::Eof);
    CHECK(r.position() == pos);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  if (check_utf8(input)) return 0;  // the reader's input is always UTF-8

  drive(input, Settings{}, 0);

  Settings flipped;
  flipped.expand_empty_tags = true;
  flipped.trim_leading_whitespace = false;
  flipped.trim_trailing_whitespace = false;
  flipped.trim_end_tag_names = false;
  flipped.verify_end_tags = false;
  flipped.verify_comments = true;
  flipped.drop_bom_at_content_start = true;
  drive(input, flipped, 0);

  Settings walk;  // what the conversion walk reads with
  walk.drop_bom_at_content_start = true;
  drive(input, walk, 0);

  // One more mix, picked by the input so every combination gets its turn.
  const unsigned bits = static_cast<unsigned>(size * 2654435761u) >> 26;
  Settings mixed;
  mixed.expand_empty_tags = bits & 1;
  mixed.trim_leading_whitespace = bits & 2;
  mixed.trim_trailing_whitespace = bits & 4;
  mixed.trim_end_tag_names = bits & 8;
  mixed.verify_end_tags = bits & 16;
  mixed.verify_comments = bits & 32;
  drive(input, mixed, 0);

  check_unescape(input);
  return 0;
}
