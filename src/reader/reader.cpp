// The pull reader: its state machine over the unread input, markup scanning, and the matching
// end tag of read_to_end / read_text.
#include "reader/reader.h"

#include <algorithm>
#include <cstring>

#include "reader/bytes.h"
#include "reader/run_tag.h"
#include "reader/tag_end.h"
#include "reader/utf8.h"

#include "reader/unit_blocks.h"

// The steps of one event, all private to this file: inlined into read_event_impl, so that an
// event is built once in place rather than returned and moved through each step.
#define VELMORA_READER_STEP [[gnu::always_inline]] inline

namespace velmora::reader {

namespace {

// The first n units of s, n <= s.size() (unchecked: the steps below know their bounds).
template <class Unit>
[[gnu::always_inline]] inline UnitView<Unit> prefix(UnitView<Unit> s, std::size_t n) {
  return UnitView<Unit>(s.data(), n);
}

// Index just past the last non-whitespace unit, or 0 when every unit is whitespace.
template <class Unit>
[[gnu::always_inline]] inline std::size_t trimmed_len(UnitView<Unit> s) {
  std::size_t n = s.size();
  while (n > 0 && is_xml_whitespace(s[n - 1])) --n;
  return n;
}

template <class Unit>
[[gnu::always_inline]] inline const Unit* find_tag_end(const Unit* p, const Unit* end) {
  char quote = 0;
  return reader::find_tag_end(p, end, quote);
}

const char* bang_kind_name(BangKind k) {
  switch (k) {
    case BangKind::CData: return "CData";
    case BangKind::Comment: return "Comment";
    case BangKind::DocType: return "DOCTYPE";
  }
  return "";
}

// Under the input's UTF-8 guarantee, a slice of it is UTF-8 exactly when neither end splits a
// character: the first byte and the byte after the slice are not continuation bytes.
bool on_char_boundary(std::string_view whole, std::size_t at) {
  return at >= whole.size() || !is_continuation_byte(whole[at]);
}

}  // namespace

template <TextUnit Unit>
BasicReader<Unit>::BasicReader(View input, Settings settings) : input_(input), unread_(input) {
  st_.settings = settings;
}

template <TextUnit Unit>
std::uint64_t BasicReader<Unit>::position() const {
  if (st_.state == ScanState::TagOpened && st_.offset > 0) return st_.offset - 1;
  return st_.offset;
}

template <TextUnit Unit>
std::uint64_t BasicReader<Unit>::utf8_position() const {
  if constexpr (kIsUtf8<Unit>) {
    return position();
  } else {
    // The step back that position() takes in TagOpened is one byte in UTF-8 terms too, whether
    // over a "<" or (after a text that ran to the end of the input) over the last byte of the
    // last character, as the UTF-8 reader counts it: so it is taken after converting.
    const std::uint64_t consumed = utf8_length(input_.substr(bom_len_, static_cast<std::size_t>(st_.offset)));
    return position() == st_.offset ? consumed : consumed - 1;
  }
}

// Whether a byte order mark begins at `at` (in the unread input) and would be dropped there as
// at an element's content start. Its first unit is tested before anything else.
template <TextUnit Unit>
VELMORA_READER_STEP bool BasicReader<Unit>::drops_bom_at(const Unit* at) const {
  constexpr std::uint32_t kBomStart = kIsUtf8<Unit> ? 0xEF : 0xFEFF;
  const Unit* end = unread_.data() + unread_.size();
  return at != end && unit_value(*at) == kBomStart && st_.settings.drop_bom_at_content_start &&
         byte_order_mark_length(View(at, static_cast<std::size_t>(end - at))) != 0;
}

template <TextUnit Unit>
VELMORA_READER_STEP void BasicReader<Unit>::push_name(View name) {
  st_.open_names.push_back(name);
}

// ---- steps over the unread input ------------------------------------------------------------

template <TextUnit Unit>
VELMORA_READER_STEP void BasicReader<Unit>::skip_whitespace() {
  std::size_t i = 0;
  while (i < unread_.size() && is_xml_whitespace(unread_[i])) ++i;
  consume(i);
}

template <TextUnit Unit>
VELMORA_READER_STEP bool BasicReader<Unit>::skip_one(char b) {
  if (unread_.empty() || unread_.front() != Unit(b)) return false;
  consume(1);
  return true;
}

template <TextUnit Unit>
VELMORA_READER_STEP auto BasicReader<Unit>::read_bytes_until(char b) -> std::optional<View> {
  if (unread_.empty()) return std::nullopt;
  const Unit* begin = unread_.data();
  const Unit* end = begin + unread_.size();
  const Unit* hit = find_unit(begin, end, b);
  const View bytes(begin, static_cast<std::size_t>(hit - begin));
  consume(hit == end ? bytes.size() : bytes.size() + 1);
  return bytes;
}

template <TextUnit Unit>
void BasicReader<Unit>::remove_bom() {
  if (const std::size_t n = byte_order_mark_length(unread_)) {
    unread_.remove_prefix(n);  // not counted in offset
    bom_len_ = n;
  }
}

template <TextUnit Unit>
VELMORA_READER_STEP auto BasicReader<Unit>::read_until_open() -> std::optional<Event> {
  st_.state = ScanState::TagOpened;
  const bool at_content_start = content_start_ != nullptr && content_start_ == unread_.data();
  content_start_ = nullptr;
  if (at_content_start && st_.settings.drop_bom_at_content_start) {
    if (const std::size_t n = byte_order_mark_length(unread_)) {
      consume(n);  // counted: only a leading mark stands outside the positions
      skip_whitespace();
    }
  }
  if (st_.settings.trim_leading_whitespace) skip_whitespace();
  if (skip_one('<')) return std::nullopt;
  auto bytes = read_bytes_until('<');
  if (!bytes) return Event::eof();
  return emit_text(*bytes);
}

template <TextUnit Unit>
VELMORA_READER_STEP auto BasicReader<Unit>::emit_text(View bytes) -> Event {
  if (st_.settings.trim_trailing_whitespace) {
    if (const std::size_t n = trimmed_len(bytes)) bytes = prefix(bytes, n);
  }
  return Event::text(bytes);
}

template <TextUnit Unit>
auto BasicReader<Unit>::emit_expanded_end() -> Event {
  st_.state = ScanState::TagClosed;
  st_.open_names.pop_back();
  return Event::end(pending_end_);
}

// ---- markup --------------------------------------------------------------------------------

template <TextUnit Unit>
VELMORA_READER_STEP auto BasicReader<Unit>::read_markup() -> Result<Event, Error> {
  using R = Result<Event, Error>;
  st_.state = ScanState::TagClosed;
  if (unread_.empty()) return R::ok(Event::eof());  // "<" was the last byte
  switch (unit_value(unread_.front())) {
    case '!': {
      auto bang = read_bang_element();
      if (bang.is_err()) return R::err(std::move(bang).error());
      return emit_bang(bang.value().first, bang.value().second);
    }
    case '/':
      return emit_end(*read_bytes_until('>'));
    case '?':
      return emit_question_mark(*read_bytes_until('>'));
    default: {
      auto content = read_element();
      if (content.is_err()) return R::err(std::move(content).error());
      const View tag = content.value();
      const std::size_t name_len = first_ws(tag);
      if (st_.settings.join_text_only_elements && name_len != 0 && tag.back() != Unit('/') &&
          tag.size() - name_len <= kMaxLeafAttributes) {
        if (auto leaf = read_leaf(tag, name_len)) return R::ok(*leaf);
      }
      return R::ok(emit_start(tag, name_len));
    }
  }
}

template <TextUnit Unit>
VELMORA_READER_STEP auto BasicReader<Unit>::read_element() -> Result<View, Error> {
  using R = Result<View, Error>;
  const Unit* begin = unread_.data();
  const Unit* end = begin + unread_.size();
  const Unit* p = find_tag_end(begin, end);
  if (p == end) return R::err(Error::unexpected_eof("Element"));
  const View content(begin, static_cast<std::size_t>(p - begin));
  consume(content.size() + 1);
  return R::ok(content);
}

template <TextUnit Unit>
auto BasicReader<Unit>::read_bang_element() -> Result<std::pair<BangKind, View>, Error> {
  using R = Result<std::pair<BangKind, View>, Error>;
  if (unread_.size() == 1) return R::err(Error::unexpected_eof("Bang"));
  BangKind kind;
  switch (unit_value(unread_[1])) {
    case '[': kind = BangKind::CData; break;
    case '-': kind = BangKind::Comment; break;
    case 'D':
    case 'd': kind = BangKind::DocType; break;
    default: return R::err(Error::unexpected_bang(first_utf8_byte(unread_[1])));
  }

  const Unit* base = unread_.data();
  const Unit* end = base + unread_.size();
  // DOCTYPE: "<" minus ">" over [base, counted), kept up to date as candidates are visited so
  // the whole construct is counted once.
  std::int64_t depth = 0;
  const Unit* counted = base;
  for (const Unit* gt = find_unit(base + 1, end, '>'); gt != end; gt = find_unit(gt + 1, end, '>')) {
    const std::size_t i = static_cast<std::size_t>(gt - base);
    bool closes = false;
    switch (kind) {
      case BangKind::CData:
        closes = i >= 2 && gt[-1] == Unit(']') && gt[-2] == Unit(']');
        break;
      case BangKind::Comment:
        closes = i >= 5 && gt[-1] == Unit('-') && gt[-2] == Unit('-');
        break;
      case BangKind::DocType:
        depth += std::count(counted, gt, Unit('<'));
        closes = depth == 0;
        --depth;  // this ">" counts for the candidates after it
        counted = gt + 1;
        break;
    }
    if (closes) {
      const View bytes(base, i);
      consume(i + 1);
      return R::ok({kind, bytes});
    }
  }
  return R::err(Error::unexpected_eof(bang_kind_name(kind)));
}

template <TextUnit Unit>
VELMORA_READER_STEP auto BasicReader<Unit>::emit_start(View content, std::size_t name_len) -> Event {
  if (!content.empty() && content.back() == Unit('/')) {
    const View tag = prefix(content, content.size() - 1);
    const std::size_t len = name_len < content.size() ? name_len : content.size() - 1;
    if (!st_.settings.expand_empty_tags) return Event::empty(Start{tag, len});
    st_.state = ScanState::EmptyPending;
    pending_end_ = prefix(tag, len);
    push_name(pending_end_);
    return Event::start(Start{tag, len});
  }
  push_name(prefix(content, name_len));
  content_start_ = unread_.data();
  return Event::start(Start{content, name_len});
}

// After the ">" of a start tag (its content `tag`, not "/"-ended, its name the first `name_len`
// units): when what follows is text alone (no markup, no byte order mark to drop) up to
// "</name>", consumes through that end tag and answers the Leaf. Otherwise consumes nothing.
// The text is what read_until_open would give: leading whitespace skipped, trailing whitespace
// cut, empty when there is none.
template <TextUnit Unit>
VELMORA_READER_STEP auto BasicReader<Unit>::read_leaf(View tag, std::size_t name_len) -> std::optional<Event> {
  Event leaf;
  const Unit* after = match_leaf(unread_.data(), prefix(tag, name_len), leaf, nullptr);
  if (after == nullptr) return std::nullopt;
  consume(static_cast<std::size_t>(after - unread_.data()));
  if (name_len == tag.size()) return leaf;
  return leaf.with_attributes(static_cast<std::uint32_t>(tag.size() - name_len));
}

// The matching itself, consuming nothing: when the unread input from `content` is a leaf's text
// and its end tag, sets `leaf` and answers where the end tag ends; else answers null.
template <TextUnit Unit>
VELMORA_READER_STEP auto BasicReader<Unit>::match_leaf(const Unit* content, View name, Event& leaf,
                                                       const RunTag<Unit>* end_tag) const -> const Unit* {
  const Unit* end = unread_.data() + unread_.size();
  const Unit* text = content;
  while (text < end && is_xml_whitespace(*text)) ++text;
  // A child element right away (a chain, a record) is the common way to fail: seen first.
  if (end - text >= 2 && text[0] == Unit('<') && text[1] != Unit('/')) return nullptr;
  // A byte order mark to drop at the content's start is left to the general path (seldom there).
  if (drops_bom_at(content)) return nullptr;
  std::uint8_t scan = 0;
  UnitScan unit_scan;
  const Unit* open;
  if constexpr (kIsUtf8<Unit>) {
    const TextEnd found = find_text_end(text, end);
    open = found.at;
    scan = Event::scan_bits(TextScan{found.has_reference, found.ascii});
  } else {
    const QuotedScan<Unit> found = find_text_end_scanning(text, end);
    open = found.at;
    unit_scan = UnitScan{found.has_reference, found.bits};
  }
  const std::size_t n = name.size();
  if (end_tag != nullptr && end_tag->fits(open)) {
    if (!end_tag->matches(open)) return nullptr;
  } else if (static_cast<std::size_t>(end - open) < n + 3 || open[1] != Unit('/') ||
             !same_units(View(open + 2, n), name)) {
    return nullptr;
  }
  const Unit* close = open + 2 + n;
  while (close < end && is_xml_whitespace(*close)) ++close;
  if (close == end || *close != Unit('>')) return nullptr;
  View body(text, static_cast<std::size_t>(open - text));
  body = prefix(body, trimmed_len(body));
  // Trailing whitespace cut from the text is ASCII and no "&": the scan holds for the rest.
  if constexpr (kIsUtf8<Unit>) leaf = Event::leaf(name, body, scan);
  else leaf = Event::leaf(name, body, unit_scan);
  return close + 1;
}

template <TextUnit Unit>
auto BasicReader<Unit>::match_leaf_outside(const Unit* content, View name, Event& leaf,
                                           const RunTag<Unit>* end_tag) const -> const Unit* {
  return match_leaf(content, name, leaf, end_tag);
}

namespace {

// A tag's one attribute read with the tag: its key's length and its value's scan.
struct OneAttribute {
  std::size_t key_len = 0;
  bool has_reference = false;
  std::uint32_t bits = 0;
};

// The start tag `<name k="v">` from its key on (`key`, after the name and one whitespace unit),
// the common form of a leaf's tag with attributes: one attribute whose closing quote ends the
// tag. Answers the tag's ">" and sets `read`, or null when the tag has any other form. After a
// name that holds no quote, that ">" is the one the search for the tag's end finds, and the
// attribute is what the attribute pass over the tag gives (its only item): the key runs up to
// "=" and holds no quote, whitespace or ">".
template <TextUnit Unit>
[[gnu::always_inline]] inline const Unit* read_one_attribute_tag(const Unit* key, const Unit* end, OneAttribute& read) {
  if (end - key < 4 || *key == Unit('=') || is_xml_whitespace(*key)) return nullptr;
  // The first unit that may end the key must be "=" (the key's first unit is checked with the
  // others: none may be a quote or ">").
  const Unit* e = key;
#if defined(__SSE2__)
  using B = UnitBlocks<Unit>;
  if (static_cast<std::size_t>(end - key) >= B::kUnits) {
    const __m128i v = B::load(key);
    const unsigned m = B::equal_mask(v, B::splat('=')) | B::at_most_mask(v, ' ') | B::equal_mask(v, B::splat('>')) |
                       B::equal_mask(v, B::splat('"')) | B::equal_mask(v, B::splat('\''));
    if (m != 0) {
      e = key + (static_cast<unsigned>(__builtin_ctz(m)) >> B::kShift);
      if (*e != Unit('=')) return nullptr;
    } else {
      e = key + B::kUnits;  // a longer key: its other units one by one
    }
  }
  if (e == end || *e != Unit('=')) [[unlikely]]
#endif
  {
    for (;; ++e) {
      if (e == end) return nullptr;
      const Unit c = *e;
      if (c == Unit('=')) break;
      if (unit_value(c) <= ' ' || c == Unit('>') || c == Unit('"') || c == Unit('\'')) return nullptr;
    }
  }
  const std::size_t key_len = static_cast<std::size_t>(e - key);
  if (key_len == 0 || key_len > 255 || end - e < 3) return nullptr;
  const Unit quote = e[1];
  if (quote != Unit('"') && quote != Unit('\'')) return nullptr;
  const QuotedScan<Unit> found = find_quote_scanning(e + 2, end, static_cast<char>(quote));
  if (end - found.at < 2 || found.at[1] != Unit('>')) return nullptr;
  read = OneAttribute{key_len, found.has_reference, found.bits};
  return found.at + 1;
}

}  // namespace

// A leaf of the run whose start tag holds attributes, at `tag` ("<"): `<name` and whitespace,
// the rest of the tag as read_markup reads it, then the leaf's text and end tag. Sets `leaf`
// and answers where its end tag ends, or null, consuming nothing. A tag of one attribute is
// read by that attribute, which the Leaf then carries. (Apart from the run's loop, so that a
// run of leaves without attributes keeps its code tight.)
template <TextUnit Unit>
[[gnu::noinline]] auto BasicReader<Unit>::match_attributed_leaf(const Unit* tag, View name, bool quoteless_name,
                                                                Event& leaf, const RunTag<Unit>& end_tag) const
    -> const Unit* {
  const Unit* const end = unread_.data() + unread_.size();
  const std::size_t n = name.size();
  if (static_cast<std::size_t>(end - tag) < n + 2 || tag[0] != Unit('<') || !is_xml_whitespace(tag[n + 1]) ||
      !same_units(View(tag + 1, n), name))
    return nullptr;
  OneAttribute one;
  const Unit* gt = quoteless_name ? read_one_attribute_tag(tag + n + 2, end, one) : nullptr;
  if (gt == nullptr) {
    gt = find_tag_end(tag + 1, end);
    if (gt == end || gt[-1] == Unit('/')) return nullptr;
  }
  const View content(tag + 1, static_cast<std::size_t>(gt - tag - 1));
  if (content.size() - n > kMaxLeafAttributes) return nullptr;
  // Its name as a view of the input, which its start tag's content extends.
  const Unit* after = match_leaf(gt + 1, prefix(content, n), leaf, &end_tag);
  if (after == nullptr) return nullptr;
  leaf = leaf.with_attributes(static_cast<std::uint32_t>(content.size() - n));
  if (one.key_len != 0) leaf = leaf.with_read_attribute(one.key_len, one.has_reference, one.bits);
  return after;
}

namespace {
// The units that end a bare name before its ">" (or are not in one): whitespace, quotes, "/",
// "!", "?" and ">" itself, all below 64, so one compare and one bit test.
constexpr std::uint64_t kBareNameStops = (1ull << ' ') | (1ull << '\t') | (1ull << '\n') | (1ull << '\r') |
                                         (1ull << '"') | (1ull << '\'') | (1ull << '/') | (1ull << '!') |
                                         (1ull << '?') | (1ull << '>');
template <class Unit>
[[gnu::always_inline]] inline bool stops_bare_name(Unit c) {
  const std::uint32_t u = unit_value(c);
  return u < 64 && ((kBareNameStops >> u) & 1u) != 0;
}
}  // namespace

template <TextUnit Unit>
auto BasicReader<Unit>::read_bare_tag() -> std::optional<Event> {
  const Settings& s = st_.settings;
  if (st_.state != ScanState::TagClosed || !s.trim_leading_whitespace) return std::nullopt;
  const Unit* begin = unread_.data();
  const Unit* end = begin + unread_.size();
  // A byte order mark to drop at the start of an element's content is left to the general path.
  if (content_start_ != nullptr) {
    if (content_start_ == begin && drops_bom_at(begin)) return std::nullopt;
    content_start_ = nullptr;  // no mark there: the content's start needs no more care
  }
  skip_whitespace();
  const Unit* p = unread_.data();
  if (p == end || *p != Unit('<')) return std::nullopt;
  const Unit* name = p + 1;
  const Unit* q = name;
  while (q < end && !stops_bare_name(*q)) ++q;
  // Also leaves out "<" at the very end, "<>", "</", "<!", "<?" and every tag with more in it.
  if (q == end || *q != Unit('>') || q == name) return std::nullopt;
  const View tag(name, static_cast<std::size_t>(q - name));
  consume(static_cast<std::size_t>(q + 1 - p));
  if (s.join_text_only_elements) {
    if (auto leaf = read_leaf(tag, tag.size())) return leaf;
  }
  push_name(tag);
  content_start_ = unread_.data();
  return Event::start(Start{tag, tag.size()});
}

template <TextUnit Unit>
bool BasicReader<Unit>::read_innermost_end() {
  if (st_.state != ScanState::TagClosed || content_start_ != nullptr || st_.open_names.empty())
    return false;
  const Settings& s = st_.settings;
  if (!s.trim_leading_whitespace || !s.trim_end_tag_names || !s.verify_end_tags) return false;
  const View name = st_.open_names.back();
  const Unit* begin = unread_.data();
  const Unit* end = begin + unread_.size();
  const Unit* p = begin;
  while (p < end && is_xml_whitespace(*p)) ++p;
  const std::size_t n = name.size();
  // The end of the end tag, or null. An empty name is left to the general path: there an end
  // tag of whitespace alone keeps it.
  const Unit* close = nullptr;
  if (n != 0 && static_cast<std::size_t>(end - p) >= n + 3 && p[0] == Unit('<') && p[1] == Unit('/') &&
      same_units(View(p + 2, n), name)) {
    close = p + 2 + n;
    while (close < end && is_xml_whitespace(*close)) ++close;
    if (close == end || *close != Unit('>')) close = nullptr;
  }
  if (close == nullptr) {
    // The next read skips this whitespace first in any case: it goes now, to be read once.
    consume(static_cast<std::size_t>(p - begin));
    return false;
  }
  consume(static_cast<std::size_t>(close + 1 - begin));
  st_.open_names.pop_back();
  return true;
}

template <TextUnit Unit>
VELMORA_READER_STEP auto BasicReader<Unit>::emit_end(View bytes) -> Result<Event, Error> {
  using R = Result<Event, Error>;
  const View content(bytes.data() + 1, bytes.size() - 1);  // bytes begins with "/"
  View name = content;
  if (st_.settings.trim_end_tag_names) {
    if (const std::size_t n = trimmed_len(content)) name = prefix(content, n);
  }
  const bool verify = st_.settings.verify_end_tags;
  if (!st_.open_names.empty()) {
    const View open = st_.open_names.back();
    st_.open_names.pop_back();
    if (verify && !same_units(open, name)) {
      st_.offset -= bytes.size();
      return R::err(Error::end_event_mismatch(to_utf8(open), to_utf8(name)));
    }
    return R::ok(Event::end(name));
  }
  if (verify) {
    st_.offset -= bytes.size();
    return R::err(Error::end_event_mismatch(std::string(), to_utf8(content)));
  }
  return R::ok(Event::end(name));
}

template <TextUnit Unit>
auto BasicReader<Unit>::emit_question_mark(View bytes) -> Result<Event, Error> {
  using R = Result<Event, Error>;
  const std::size_t n = bytes.size();
  if (n >= 3 && bytes.back() == Unit('?')) {
    const View inner = bytes.substr(1, n - 2);
    if (n >= 6 && equals_ascii(bytes.substr(1, 3), "xml") && is_xml_whitespace(bytes[4]))
      return R::ok(Event::decl(Start{inner, 3}));
    return R::ok(Event::pi(inner));
  }
  st_.offset -= n;
  return R::err(Error::unexpected_eof("XmlDecl"));
}

template <TextUnit Unit>
auto BasicReader<Unit>::emit_bang(BangKind kind, View bytes) -> Result<Event, Error> {
  using R = Result<Event, Error>;
  const std::size_t n = bytes.size();
  switch (kind) {
    case BangKind::Comment: {
      if (!equals_ascii(bytes.substr(0, 3), "!--")) return R::err(Error::unexpected_eof("Comment"));
      // The closing rule guarantees n >= 5 and a trailing "--".
      const View text = bytes.substr(3, n - 5);
      if (st_.settings.verify_comments) {
        // A "-" followed by "-", the first "-" of the closing "--" included. The construct stays
        // consumed, so offset is just after its ">" like every other outcome here.
        const View with_close = bytes.substr(3, n - 4);
        const Unit dashes[] = {Unit('-'), Unit('-')};
        if (with_close.find(View(dashes, 2)) != View::npos)
          return R::err(Error::unexpected_token("--"));
      }
      return R::ok(Event::comment(text));
    }
    case BangKind::CData:
      // A closed construct ends in "]]", so a matching prefix implies n >= 10.
      if (n >= 10 && ascii_iequals(bytes.substr(0, 8), "![cdata["))
        return R::ok(Event::cdata(bytes.substr(8, n - 10)));
      return R::err(Error::unexpected_eof("CData"));
    case BangKind::DocType: {
      if (n < 8 || !ascii_iequals(bytes.substr(0, 8), "!doctype"))
        return R::err(Error::unexpected_eof("DOCTYPE"));
      std::size_t j = 8;
      while (j < n && is_xml_whitespace(bytes[j])) ++j;
      if (j == n) return R::err(Error::empty_doctype());
      return R::ok(Event::doctype(bytes.substr(j)));
    }
  }
  return R::err(Error::unexpected_eof(bang_kind_name(kind)));
}

// ---- one event ------------------------------------------------------------------------------

template <TextUnit Unit>
auto BasicReader<Unit>::read_event_impl() -> Result<Event, Error> {
  auto result = [this]() -> Result<Event, Error> {
    switch (st_.state) {
      case ScanState::Initial:
        remove_bom();
        [[fallthrough]];
      case ScanState::TagClosed:
        if (auto ev = read_until_open()) return Result<Event, Error>::ok(std::move(*ev));
        // A "<" was consumed: read the construct within this same call.
        [[fallthrough]];
      case ScanState::TagOpened:
        return read_markup();
      case ScanState::EmptyPending:
        return Result<Event, Error>::ok(emit_expanded_end());
      case ScanState::Finished:
        break;
    }
    return Result<Event, Error>::ok(Event::eof());
  }();
  if (result.is_err() || result.value().kind() == EventKind::Eof) st_.state = ScanState::Finished;
  return result;
}

// ---- content up to the matching end tag ------------------------------------------------------

template <TextUnit Unit>
auto BasicReader<Unit>::read_to_end(View name) -> Result<std::pair<std::uint64_t, std::uint64_t>, Error> {
  using R = Result<std::pair<std::uint64_t, std::uint64_t>, Error>;
  const std::uint64_t start = position();
  // Open elements of the same name inside the content. 64 bits: no input can overflow it.
  std::int64_t depth = 0;
  for (;;) {
    const std::uint64_t end = position();
    auto ev = read_event_impl();
    if (ev.is_err()) return R::err(std::move(ev).error());
    const Event& e = ev.value();
    switch (e.kind()) {
      case EventKind::Start:
        if (e.as_start().name() == name) ++depth;
        break;
      case EventKind::End:
        if (e.bytes() == name) {
          if (depth == 0) return R::ok({start, end});
          --depth;
        }
        break;
      case EventKind::Eof:
        return R::err(Error::missing_end_tag(to_utf8(name)));
      default:
        break;
    }
  }
}

template <TextUnit Unit>
auto BasicReader<Unit>::read_text(View name) -> Result<View, Error> {
  using R = Result<View, Error>;
  auto range = read_to_end(name);
  if (range.is_err()) return R::err(std::move(range).error());
  const auto [start, end] = range.value();
  // The range is taken from the input by position, so it is the same whatever state the reader
  // was in when called. Positions do not count a removed byte order mark.
  const View body = input_.substr(bom_len_);
  const std::size_t from = static_cast<std::size_t>(std::min<std::uint64_t>(start, body.size()));
  const std::size_t to = static_cast<std::size_t>(std::min<std::uint64_t>(std::max(start, end), body.size()));
  const View text = body.substr(from, to - from);
  if constexpr (kIsUtf8<Unit>) {
    if (!on_char_boundary(body, from) || !on_char_boundary(body, to))
      return R::err(Error::non_decodable(check_utf8(text)));
  }
  return R::ok(text);
}

template class BasicReader<char>;
template class BasicReader<char8_t>;
template class BasicReader<char16_t>;
template class BasicReader<char32_t>;

}  // namespace velmora::reader
