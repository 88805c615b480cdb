// libFuzzer target for the reader: events under several settings, read_to_end/read_text after
// every Start, nested readers over element content, attribute passes and unescaping. The same
// input is then read again in every code point form it fits (Latin-1, UCS-2, UCS-4), step for
// step beside the UTF-8 reader, and must give the same events, positions and errors in UTF-8
// terms. Every invariant that fails aborts, so the fuzzer keeps the input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reader/attributes.h"
#include "reader/reader.h"
#include "reader/unescape.h"
#include "reader/units.h"
#include "reader/utf8.h"
#include "check.h"

using namespace velmora::reader;

namespace {

// The str form that units or-ed together call for (0: ASCII, 1: Latin-1, 2: two bytes, 3: four).
unsigned str_form(std::uint32_t bits) { return bits < 0x80 ? 0 : bits < 0x100 ? 1 : bits < 0x10000 ? 2 : 3; }

// A leaf's scan made while finding its text's end is what a scan of the text itself answers.
template <TextUnit Unit>
bool scan_is_the_texts_own(const BasicEvent<Unit>& leaf) {
  if (!leaf.has_text_scan()) return true;
  if constexpr (kIsUtf8<Unit>) {
    const TextScan own = scan_text(leaf.bytes());
    return own.has_reference == leaf.text_scan().has_reference &&
           (own.has_reference || own.ascii == leaf.text_scan().ascii);
  } else {
    const UnitScan own = scan_units(leaf.bytes());
    return own.has_reference == leaf.unit_scan().has_reference &&
           (own.has_reference || str_form(own.bits) == str_form(leaf.unit_scan().bits));
  }
}

// A leaf's attribute read with its tag is what the attribute pass over the tag gives: its
// only item.
template <TextUnit Unit>
bool read_attribute_is_the_passes(const BasicEvent<Unit>& leaf) {
  if (!leaf.has_read_attribute()) return true;
  BasicAttributes<Unit> pass = leaf.leaf_tag().attributes();
  auto first = pass.next();
  if (!first || first->is_err()) return false;
  const BasicAttribute<Unit>& a = first->value();
  const BasicAttribute<Unit> r = leaf.read_attribute();
  const auto same = [](UnitView<Unit> x, UnitView<Unit> y) { return x.data() == y.data() && x.size() == y.size(); };
  if (!same(a.key.bytes, r.key.bytes) || !same(a.value, r.value) || !a.scanned || !r.scanned ||
      a.has_reference != r.has_reference)
    return false;
  if (!a.has_reference && str_form(a.bits) != str_form(r.bits)) return false;
  return !pass.next().has_value();
}

// Two reads of one leaf carry the same scan of its text.
template <TextUnit Unit>
bool same_text_scan(const BasicEvent<Unit>& a, const BasicEvent<Unit>& b) {
  if (a.has_text_scan() != b.has_text_scan()) return false;
  if (!a.has_text_scan()) return true;
  if constexpr (kIsUtf8<Unit>) {
    return a.text_scan().has_reference == b.text_scan().has_reference && a.text_scan().ascii == b.text_scan().ascii;
  } else {
    return a.unit_scan().has_reference == b.unit_scan().has_reference && a.unit_scan().bits == b.unit_scan().bits;
  }
}

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

// The inline pass and the pass by the general rules alone agree item for item on every tag:
// the same keys, values and errors, and a value scanned on the way scans as it would alone.
template <TextUnit Unit>
void check_shortcut_alike(UnitView<Unit> content, std::size_t name_len) {
  BasicAttributes<Unit> fast(content, name_len);
  BasicAttributes<Unit> rules(content, name_len);
  for (std::size_t steps = 0;; ++steps) {
    CHECK(steps <= content.size() + 2);
    auto a = fast.next();
    auto b = rules.next_by_rules();
    CHECK(a.has_value() == b.has_value());
    if (!a) break;
    CHECK(a->is_err() == b->is_err());
    if (a->is_err()) {
      const AttrError &x = a->error(), &y = b->error();
      CHECK(x.kind == y.kind && x.position == y.position && x.earlier_key == y.earlier_key && x.quote == y.quote);
      continue;
    }
    const BasicAttribute<Unit>& x = a->value();
    const BasicAttribute<Unit>& y = b->value();
    CHECK(x.key.bytes.data() == y.key.bytes.data() && x.key.bytes.size() == y.key.bytes.size());
    CHECK(x.value.data() == y.value.data() && x.value.size() == y.value.size());
    if (!x.scanned) continue;
    const UnitScan own = scan_units<Unit>(x.value);
    CHECK(own.has_reference == x.has_reference);
    if (!own.has_reference) {
      CHECK((own.bits < 0x80) == (x.bits < 0x80));
      CHECK((own.bits < 0x100) == (x.bits < 0x100));
      CHECK((own.bits < 0x10000) == (x.bits < 0x10000));
    }
  }
}

// A full pass over a tag's attributes, continuing after errors. Every step either ends the
// pass or moves on, so content size + 1 steps always suffice.
void check_attributes(const BytesStart& tag) {
  const std::string_view content = tag.content;
  check_shortcut_alike<char>(content, tag.name_len);
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
    case EventKind::Leaf:
      CHECK(inside(ev.leaf_name(), input));
      CHECK(ev.leaf_name().data() < b.data() || b.empty());
      CHECK(inside(ev.leaf_tag().content, input));
      if (ev.leaf_has_attributes()) check_attributes(ev.leaf_tag());
      check_unescape(b);
      CHECK(scan_is_the_texts_own(ev));
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

// Every open name is a view of the input.
void check_name_stack(const ReaderState<char>& st, std::string_view input) {
  for (std::string_view name : st.open_names) CHECK(inside(name, input));
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
    check_name_stack(r.state(), input);
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

// ---- the code point forms, read beside the UTF-8 reader ------------------------------------

// The input's code points in every form they fit: Latin-1 below U+0100, UCS-2 below U+10000
// (valid UTF-8 holds no surrogates), UCS-4 always.
struct Forms {
  std::optional<std::u8string> latin1;
  std::optional<std::u16string> ucs2;
  std::u32string ucs4;
};

Forms transcode(std::string_view utf8) {
  Forms forms;
  std::uint32_t highest = 0;
  for (std::size_t i = 0; i < utf8.size();) {
    const char32_t c = decode_utf8_valid(utf8, i);
    CHECK(c < 0xD800 || c > 0xDFFF);
    forms.ucs4 += c;
    highest = std::max<std::uint32_t>(highest, c);
  }
  // Every comparison below turns the wide side back into UTF-8, so the round trip must hold.
  CHECK(to_utf8<char32_t>(forms.ucs4) == utf8);
  if (highest < 0x100) {
    forms.latin1.emplace();
    for (const char32_t c : forms.ucs4) forms.latin1->push_back(static_cast<char8_t>(c));
  }
  if (highest < 0x10000) {
    forms.ucs2.emplace();
    for (const char32_t c : forms.ucs4) forms.ucs2->push_back(static_cast<char16_t>(c));
  }
  return forms;
}

// The references found in a text, put back in place of their units: the text unescaped (in
// UTF-8, each unit of a UTF-8 text staying the byte it is) or the printed error. The summary
// must agree with what is rebuilt: its length in code points and the width of its widest one.
template <TextUnit Unit>
std::string rebuilt_from_references(UnitView<Unit> text) {
  static std::vector<FoundReference> found;  // kept between texts, as the walk keeps it
  auto summary = find_references<Unit>(text, found);
  if (summary.is_err()) return to_string(summary.error());
  std::string out;
  std::size_t pos = 0, length = 0;
  std::uint32_t highest = 0;
  const auto copy_units = [&](std::size_t to) {
    for (; pos < to; ++pos, ++length) highest = std::max(highest, unit_value(text[pos]));
  };
  for (std::size_t i = 0; i < summary.value().count; ++i) {
    const FoundReference& reference = found[i];
    CHECK(pos <= reference.start && reference.start < reference.end && reference.end <= text.size());
    const std::size_t run = pos;
    copy_units(reference.start);
    out += to_utf8<Unit>(text.substr(run, reference.start - run));
    append_utf8(out, reference.code);
    highest = std::max<std::uint32_t>(highest, reference.code);
    ++length;
    pos = reference.end;
  }
  const std::size_t run = pos;
  copy_units(text.size());
  out += to_utf8<Unit>(text.substr(run));
  const std::uint32_t bits = summary.value().bits;
  if (!kIsUtf8<Unit> || bits < 0x80) {
    CHECK(summary.value().length == length);
    CHECK((bits < 0x80) == (highest < 0x80));
    CHECK((bits < 0x100) == (highest < 0x100));
    CHECK((bits < 0x10000) == (highest < 0x10000));
  }
  return out;
}

// A text or attribute value: unescaped into UTF-8 it gives what the UTF-8 slice gives (the
// value, or the same printed error), so do the references found in it (in its form and in
// UTF-8), and the one-pass scan agrees on references and on the narrowest form the text fits.
template <TextUnit Unit>
void check_unescape_alike(UnitView<Unit> wide, std::string_view utf8) {
  CHECK(to_utf8<Unit>(wide) == utf8);
  auto mine = unescape_to_utf8<Unit>(wide);
  auto expected = unescape_slice(utf8);
  CHECK(mine.is_err() == expected.is_err());
  const std::string expected_text =
      expected.is_err() ? to_string(expected.error()) : std::string(expected.value().view());
  if (mine.is_err()) CHECK(to_string(mine.error()) == expected_text);
  else CHECK(mine.value() == expected_text);
  CHECK(rebuilt_from_references<Unit>(wide) == expected_text);
  CHECK(rebuilt_from_references<char>(utf8) == expected_text);

  const UnitScan units = scan_units<Unit>(wide);
  const TextScan bytes = scan_text(utf8);
  CHECK(units.has_reference == bytes.has_reference);
  if (units.has_reference) return;
  std::uint32_t highest = 0;
  for (const Unit u : wide) highest = std::max(highest, unit_value(u));
  CHECK((units.bits < 0x80) == bytes.ascii);
  CHECK((units.bits < 0x80) == (highest < 0x80));
  CHECK((units.bits < 0x100) == (highest < 0x100));
  CHECK((units.bits < 0x10000) == (highest < 0x10000));
}

// Two passes over the same tag content, step for step: the same keys, values and errors (the
// wide pass's error positions are UTF-8 offsets already).
template <TextUnit Unit>
void check_attributes_alike(const BasicBytesStart<Unit>& wide, const BytesStart& utf8) {
  check_shortcut_alike<Unit>(wide.content, wide.name_len);
  BasicAttributes<Unit> mine = wide.attributes();
  Attributes expected = utf8.attributes();
  for (std::size_t steps = 0;; ++steps) {
    CHECK(steps <= utf8.content.size() + 2);
    auto a = mine.next();
    auto b = expected.next();
    CHECK(a.has_value() == b.has_value());
    if (!a) break;
    CHECK(a->is_err() == b->is_err());
    if (a->is_err()) {
      const AttrError &x = a->error(), &y = b->error();
      CHECK(x.kind == y.kind && x.position == y.position && x.quote == y.quote);
      if (x.kind == AttrErrorKind::Duplicated) CHECK(x.earlier_key == y.earlier_key);
      CHECK(to_string(x) == to_string(y));
      continue;
    }
    const BasicAttribute<Unit>& x = a->value();
    const Attribute& y = b->value();
    CHECK(to_utf8<Unit>(x.key.bytes) == y.key.bytes);
    CHECK(to_utf8<Unit>(x.key.local_name()) == y.key.local_name());
    check_unescape_alike<Unit>(x.value, y.value);
  }
}

template <TextUnit Unit>
void check_event_alike(const BasicEvent<Unit>& wide, const Event& utf8) {
  CHECK(wide.kind() == utf8.kind());
  CHECK(to_utf8<Unit>(wide.bytes()) == utf8.bytes());
  switch (utf8.kind()) {
    case EventKind::Start:
    case EventKind::Empty:
    case EventKind::Decl:
      CHECK(to_utf8<Unit>(wide.as_start().name()) == utf8.as_start().name());
      check_attributes_alike(wide.as_start(), utf8.as_start());
      break;
    case EventKind::Leaf:
      CHECK(to_utf8<Unit>(wide.leaf_name()) == utf8.leaf_name());
      CHECK(wide.leaf_has_attributes() == utf8.leaf_has_attributes());
      CHECK(to_utf8<Unit>(wide.leaf_tag().content) == utf8.leaf_tag().content);
      check_attributes_alike(wide.leaf_tag(), utf8.leaf_tag());
      check_unescape_alike<Unit>(wide.bytes(), utf8.bytes());
      CHECK(scan_is_the_texts_own(wide));
      break;
    case EventKind::Text:
    case EventKind::Comment:
    case EventKind::PI:
    case EventKind::DocType:
    case EventKind::CData:
      check_unescape_alike<Unit>(wide.bytes(), utf8.bytes());
      break;
    default:
      break;
  }
}

// The wide reader stands where the UTF-8 one does: the same scan state, its position in UTF-8
// bytes, and the same open names.
template <TextUnit Unit>
void check_state_alike(const BasicReader<Unit>& wide, const Reader& utf8) {
  CHECK(wide.utf8_position() == utf8.position());
  const ReaderState<Unit>& a = wide.state();
  const ReaderState<char>& b = utf8.state();
  CHECK(a.state == b.state);
  CHECK(a.open_names.size() == b.open_names.size());
  for (std::size_t i = 0; i < a.open_names.size(); ++i) CHECK(to_utf8<Unit>(a.open_names[i]) == b.open_names[i]);
}

template <TextUnit Unit>
void check_error_alike(const Error& wide, const Error& utf8) {
  CHECK(wide.kind == utf8.kind);
  CHECK(to_string(wide) == to_string(utf8));
}

// Reads `wide` and its UTF-8 form `utf8` side by side, under the same settings, with
// read_to_end / read_text on the same Starts as drive() and nested readers over their content.
template <TextUnit Unit>
void drive_alike(UnitView<Unit> wide, std::string_view utf8, const Settings& settings, int depth) {
  BasicReader<Unit> mine(wide, settings);
  Reader expected(utf8, settings);
  const UnitView<Unit> body = wide.substr(byte_order_mark_length(wide));
  const std::size_t max_events = 2 * utf8.size() + 4;
  std::size_t starts = 0;
  for (std::size_t n = 0;; ++n) {
    CHECK(n <= max_events);
    auto a = mine.read_event_impl();
    auto b = expected.read_event_impl();
    CHECK(a.is_err() == b.is_err());
    check_state_alike(mine, expected);
    if (a.is_err()) {
      check_error_alike<Unit>(a.error(), b.error());
      break;
    }
    check_event_alike(a.value(), b.value());
    if (b.value().kind() == EventKind::Eof) break;
    if (b.value().kind() != EventKind::Start || starts++ % 2 != 0) continue;

    const std::basic_string<Unit> wide_name(a.value().as_start().name());
    const std::string name(b.value().as_start().name());
    BasicReader<Unit> mine_copy = mine;
    Reader expected_copy = expected;
    auto wide_range = mine_copy.read_to_end(wide_name);
    auto range = expected_copy.read_to_end(name);
    CHECK(wide_range.is_ok() == range.is_ok());
    check_state_alike(mine_copy, expected_copy);
    if (range.is_ok()) {
      CHECK(utf8_offset(body, static_cast<std::size_t>(wide_range.value().first)) == range.value().first);
      CHECK(utf8_offset(body, static_cast<std::size_t>(wide_range.value().second)) == range.value().second);
    } else {
      check_error_alike<Unit>(wide_range.error(), range.error());
    }

    auto wide_text = mine.read_text(wide_name);
    auto text = expected.read_text(name);
    CHECK(wide_text.is_ok() == text.is_ok());
    check_state_alike(mine, expected);
    if (text.is_err()) {
      check_error_alike<Unit>(wide_text.error(), text.error());
      continue;
    }
    CHECK(to_utf8<Unit>(wide_text.value()) == text.value());
    if (depth < 6) drive_alike<Unit>(wide_text.value(), text.value(), settings, depth + 1);
  }
  for (int i = 0; i < 2; ++i) {
    auto a = mine.read_event_impl();
    CHECK(a.is_ok() && a.value().kind() == EventKind::Eof);
    check_state_alike(mine, expected);
  }
}

// A reader that joins text-only elements gives the plain reader's events, each Leaf standing
// for its Start, Text (when not empty) and End, with the same views, positions and errors. The
// shortcuts for runs (read_leaf_run with room for one, read_innermost_end) read exactly the next
// event or nothing, and a reader that tries read_bare_tag before every event reads the same
// events.
template <TextUnit Unit>
void check_joined(UnitView<Unit> input, Settings settings) {
  settings.join_text_only_elements = false;
  BasicReader<Unit> plain(input, settings);
  settings.join_text_only_elements = true;
  BasicReader<Unit> joined(input, settings);
  BasicReader<Unit> eager(input, settings);
  using View = UnitView<Unit>;
  auto same = [](View a, View b) { return a.data() == b.data() && a.size() == b.size(); };
  // The name of the last Leaf, End or Empty: read_leaf_run is tried with it before each event
  // and must either read exactly that event or nothing.
  std::optional<View> last_name;
  for (std::size_t n = 0;; ++n) {
    CHECK(n <= 2 * input.size() + 4);
    std::optional<BasicReader<Unit>> fast;
    std::optional<BasicEvent<Unit>> fast_event;
    const std::uint64_t before = joined.position();
    if (last_name) {
      fast.emplace(joined);
      BasicEvent<Unit> one;
      if (fast->read_leaf_run(*last_name, &one, 1) == 1) fast_event = one;
      if (!fast_event) CHECK(fast->position() >= before && fast->state().state == joined.state().state);
    }
    BasicReader<Unit> closing = joined;
    const bool closed = closing.read_innermost_end();
    if (!closed) CHECK(closing.position() >= before && closing.state().open_names == joined.state().open_names);
    auto a = joined.read_event_impl();
    if (auto c = eager.read_bare_tag()) {
      CHECK(a.is_ok() && c->kind() == a.value().kind() && same(c->bytes(), a.value().bytes()));
      if (c->kind() == EventKind::Start) {
        CHECK(c->as_start().name_len == a.value().as_start().name_len);
      } else {
        CHECK(c->kind() == EventKind::Leaf && same(c->leaf_name(), a.value().leaf_name()));
        CHECK(!c->leaf_has_attributes() && !a.value().leaf_has_attributes());
        CHECK(same_text_scan(*c, a.value()));
      }
    } else {
      auto d = eager.read_event_impl();
      CHECK(a.is_err() == d.is_err());
      if (a.is_err()) CHECK(to_string(a.error()) == to_string(d.error()));
      else CHECK(a.value().kind() == d.value().kind() && same(a.value().bytes(), d.value().bytes()));
    }
    CHECK(eager.utf8_position() == joined.utf8_position() && eager.state().state == joined.state().state);
    CHECK(eager.state().open_names == joined.state().open_names);
    // A shortcut that read nothing but whitespace leaves the next event as it was.
    const auto same_next = [&](BasicReader<Unit>& other) {
      auto b = other.read_event_impl();
      CHECK(a.is_err() == b.is_err());
      if (a.is_err()) {
        CHECK(to_string(a.error()) == to_string(b.error()));
      } else {
        CHECK(a.value().kind() == b.value().kind() && same(a.value().bytes(), b.value().bytes()));
      }
      CHECK(other.position() == joined.position() && other.state().state == joined.state().state);
      CHECK(other.state().open_names == joined.state().open_names);
    };
    if (!closed) same_next(closing);
    if (fast && !fast_event) same_next(*fast);
    if (closed) {
      CHECK(a.is_ok() && a.value().kind() == EventKind::End);
      CHECK(closing.position() == joined.position() && closing.state().state == joined.state().state);
      CHECK(closing.state().open_names == joined.state().open_names);
    }
    if (fast_event) {
      CHECK(a.is_ok() && a.value().kind() == EventKind::Leaf);
      CHECK(same(a.value().leaf_name(), fast_event->leaf_name()) || a.value().leaf_name() == fast_event->leaf_name());
      CHECK(a.value().leaf_has_attributes() == fast_event->leaf_has_attributes());
      if (a.value().leaf_has_attributes()) CHECK(same(a.value().leaf_tag().content, fast_event->leaf_tag().content));
      CHECK(same(a.value().bytes(), fast_event->bytes()));
      CHECK(fast->position() == joined.position() && fast->state().state == joined.state().state);
      CHECK(fast->state().open_names == joined.state().open_names);
    }
    auto b = plain.read_event_impl();
    CHECK(a.is_err() == b.is_err());
    if (a.is_err()) {
      CHECK(to_string(a.error()) == to_string(b.error()));
      CHECK(joined.utf8_position() == plain.utf8_position());
      break;
    }
    const BasicEvent<Unit>& e = a.value();
    if (e.kind() == EventKind::Leaf) {
      CHECK(b.value().kind() == EventKind::Start);
      // The same start tag: its content (attributes and all) and its name.
      CHECK(same(b.value().bytes(), e.leaf_tag().content) && b.value().as_start().name_len == e.leaf_tag().name_len);
      CHECK(same(b.value().as_start().name(), e.leaf_name()));
      CHECK(e.leaf_has_attributes() == (e.leaf_tag().content.size() != e.leaf_name().size()));
      auto next = plain.read_event_impl();
      CHECK(next.is_ok());
      if (!e.bytes().empty()) {
        CHECK(next.value().kind() == EventKind::Text && same(next.value().bytes(), e.bytes()));
        next = plain.read_event_impl();
        CHECK(next.is_ok());
      }
      CHECK(next.value().kind() == EventKind::End && next.value().bytes() == e.leaf_name());
    } else {
      CHECK(e.kind() == b.value().kind() && same(e.bytes(), b.value().bytes()));
    }
    if (e.kind() == EventKind::Leaf) last_name = e.leaf_name();
    else if (e.kind() == EventKind::End) last_name = e.bytes();
    else if (e.kind() == EventKind::Empty) last_name = e.as_start().name();
    CHECK(joined.position() == plain.position());
    CHECK(joined.state().state == plain.state().state);
    CHECK(joined.state().open_names == plain.state().open_names);
    if (e.kind() == EventKind::Eof) break;
  }
}

// A reader that tries read_leaf_run (room for three) with the name of the last Leaf, End or
// Empty before every event reads the joined reader's events, positions, states and errors.
template <TextUnit Unit>
void check_leaf_runs(UnitView<Unit> input, Settings settings) {
  settings.join_text_only_elements = true;
  BasicReader<Unit> joined(input, settings);
  BasicReader<Unit> batched(input, settings);
  using View = UnitView<Unit>;
  auto same = [](View a, View b) { return a.data() == b.data() && a.size() == b.size(); };
  std::optional<View> last_name;
  for (std::size_t n = 0;; ++n) {
    CHECK(n <= 2 * input.size() + 4);
    BasicEvent<Unit> run[3];
    const std::size_t count = last_name ? batched.read_leaf_run(*last_name, run, 3) : 0;
    for (std::size_t i = 0; i < count; ++i) {
      auto a = joined.read_event_impl();
      CHECK(a.is_ok() && a.value().kind() == EventKind::Leaf);
      CHECK(a.value().leaf_name() == run[i].leaf_name() && same(a.value().bytes(), run[i].bytes()));
      CHECK(a.value().leaf_has_attributes() == run[i].leaf_has_attributes());
      if (a.value().leaf_has_attributes()) CHECK(same(a.value().leaf_tag().content, run[i].leaf_tag().content));
      CHECK(same_text_scan(a.value(), run[i]));
      CHECK(read_attribute_is_the_passes(run[i]));
    }
    // A full batch stops right after its last leaf; a shorter one also read the whitespace
    // before what ended it, and the next event then shows that nothing else went.
    if (count == 3) {
      CHECK(batched.position() == joined.position() && batched.state().state == joined.state().state);
      CHECK(batched.state().open_names == joined.state().open_names);
      continue;
    }
    CHECK(batched.position() >= joined.position());
    auto a = joined.read_event_impl();
    auto b = batched.read_event_impl();
    CHECK(a.is_err() == b.is_err());
    if (a.is_err()) {
      CHECK(to_string(a.error()) == to_string(b.error()));
      CHECK(joined.utf8_position() == batched.utf8_position());
      break;
    }
    const BasicEvent<Unit>& e = a.value();
    CHECK(e.kind() == b.value().kind() && same(e.bytes(), b.value().bytes()));
    CHECK(batched.position() == joined.position() && batched.state().state == joined.state().state);
    CHECK(batched.state().open_names == joined.state().open_names);
    if (e.kind() == EventKind::Leaf) last_name = e.leaf_name();
    else if (e.kind() == EventKind::End) last_name = e.bytes();
    else if (e.kind() == EventKind::Empty) last_name = e.as_start().name();
    if (e.kind() == EventKind::Eof) break;
  }
}

// Every form the input fits, under one setting, and the input as a whole unescaped.
void drive_forms(const Forms& forms, std::string_view utf8, const Settings& settings) {
  if (forms.latin1) drive_alike<char8_t>(*forms.latin1, utf8, settings, 0);
  if (forms.ucs2) drive_alike<char16_t>(*forms.ucs2, utf8, settings, 0);
  drive_alike<char32_t>(forms.ucs4, utf8, settings, 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  if (check_utf8(input)) return 0;  // the reader's input is always UTF-8
  const Forms forms = transcode(input);

  Settings flipped;
  flipped.expand_empty_tags = true;
  flipped.trim_leading_whitespace = false;
  flipped.trim_trailing_whitespace = false;
  flipped.trim_end_tag_names = false;
  flipped.verify_end_tags = false;
  flipped.verify_comments = true;
  flipped.drop_bom_at_content_start = true;

  Settings walk;  // what the conversion walk reads with
  walk.drop_bom_at_content_start = true;

  // One more mix, picked by the input so every combination gets its turn.
  const unsigned bits = static_cast<unsigned>(size * 2654435761u) >> 26;
  Settings mixed;
  mixed.expand_empty_tags = bits & 1;
  mixed.trim_leading_whitespace = bits & 2;
  mixed.trim_trailing_whitespace = bits & 4;
  mixed.trim_end_tag_names = bits & 8;
  mixed.verify_end_tags = bits & 16;
  mixed.verify_comments = bits & 32;

  Settings joined = walk;
  joined.join_text_only_elements = true;

  for (const Settings& settings : {Settings{}, flipped, walk, mixed, joined}) {
    drive(input, settings, 0);
    drive_forms(forms, input, settings);
  }
  for (const Settings& settings : {Settings{}, walk}) {
    check_joined<char>(input, settings);
    if (forms.latin1) check_joined<char8_t>(*forms.latin1, settings);
    if (forms.ucs2) check_joined<char16_t>(*forms.ucs2, settings);
    check_joined<char32_t>(forms.ucs4, settings);
    check_leaf_runs<char>(input, settings);
    if (forms.ucs2) check_leaf_runs<char16_t>(*forms.ucs2, settings);
  }

  check_unescape(input);
  if (forms.latin1) check_unescape_alike<char8_t>(*forms.latin1, input);
  if (forms.ucs2) check_unescape_alike<char16_t>(*forms.ucs2, input);
  check_unescape_alike<char32_t>(forms.ucs4, input);
  return 0;
}
