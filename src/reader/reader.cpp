// The pull reader: its state machine over the unread input, markup scanning, and the matching
// end tag of read_to_end / read_text.
#include "reader/reader.h"

#include <algorithm>
#include <cstring>

#include "reader/bytes.h"
#include "reader/tag_end.h"
#include "reader/utf8.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The steps of one event, all private to this file: inlined into read_event_impl, so that an
// event is built once in place rather than returned and moved through each step.
#define VELMORA_READER_STEP [[gnu::always_inline]] inline

namespace velmora::reader {

namespace {

// Index just past the last non-whitespace byte, or 0 when every byte is whitespace.
std::size_t trimmed_len(std::string_view s) {
  std::size_t n = s.size();
  while (n > 0 && is_xml_whitespace(s[n - 1])) --n;
  return n;
}

const char* find_tag_end(const char* p, const char* end) {
  char quote = 0;
  return reader::find_tag_end(p, end, quote);
}

// The first `b` in [p, end), or end. Inline 16-byte steps: most searches (the "<" after a short
// text, the ">" of an end tag) end within a few bytes, where a library call costs more than the
// search itself.
const char* find_byte(const char* p, const char* end, char b) {
#if defined(__SSE2__)
  const __m128i wanted = _mm_set1_epi8(b);
  for (; end - p >= 16; p += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, wanted)));
    if (m != 0) return p + __builtin_ctz(m);
  }
#endif
  for (; p < end; ++p)
    if (*p == b) return p;
  return end;
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

Reader::Reader(std::string_view input, Settings settings) : input_(input), unread_(input) {
  st_.settings = settings;
}

std::uint64_t Reader::position() const {
  if (st_.state == ScanState::TagOpened && st_.offset > 0) return st_.offset - 1;
  return st_.offset;
}

VELMORA_READER_STEP void Reader::consume(std::size_t n) {
  unread_.remove_prefix(n);
  st_.offset += n;
}

VELMORA_READER_STEP void Reader::push_name(std::string_view name) {
  st_.open_name_starts.push_back(st_.open_names.size());
  st_.open_names.append(name);
}

// ---- steps over the unread input ------------------------------------------------------------

VELMORA_READER_STEP void Reader::skip_whitespace() {
  std::size_t i = 0;
  while (i < unread_.size() && is_xml_whitespace(unread_[i])) ++i;
  consume(i);
}

VELMORA_READER_STEP bool Reader::skip_one(char b) {
  if (unread_.empty() || unread_.front() != b) return false;
  consume(1);
  return true;
}

VELMORA_READER_STEP std::optional<std::string_view> Reader::read_bytes_until(char b) {
  if (unread_.empty()) return std::nullopt;
  const char* begin = unread_.data();
  const char* end = begin + unread_.size();
  const char* hit = find_byte(begin, end, b);
  const std::string_view bytes(begin, static_cast<std::size_t>(hit - begin));
  consume(hit == end ? bytes.size() : bytes.size() + 1);
  return bytes;
}

void Reader::remove_utf8_bom() {
  if (unread_.starts_with(kUtf8Bom)) {
    unread_.remove_prefix(kUtf8Bom.size());  // not counted in offset
    bom_len_ = kUtf8Bom.size();
  }
}

VELMORA_READER_STEP std::optional<Event> Reader::read_until_open() {
  st_.state = ScanState::TagOpened;
  const bool at_content_start = content_start_ != nullptr && content_start_ == unread_.data();
  content_start_ = nullptr;
  if (at_content_start && st_.settings.drop_bom_at_content_start && unread_.starts_with(kUtf8Bom)) {
    consume(kUtf8Bom.size());  // counted: only a leading mark stands outside the positions
    skip_whitespace();
  }
  if (st_.settings.trim_leading_whitespace) skip_whitespace();
  if (skip_one('<')) return std::nullopt;
  auto bytes = read_bytes_until('<');
  if (!bytes) return Event::eof();
  return emit_text(*bytes);
}

VELMORA_READER_STEP Event Reader::emit_text(std::string_view bytes) {
  if (st_.settings.trim_trailing_whitespace) {
    if (const std::size_t n = trimmed_len(bytes)) bytes = bytes.substr(0, n);
  }
  return Event::text(bytes);
}

Event Reader::emit_expanded_end() {
  st_.state = ScanState::TagClosed;
  st_.open_names.resize(st_.open_name_starts.back());
  st_.open_name_starts.pop_back();
  return Event::end(pending_end_);
}

Result<Event, Error> Reader::read_event_impl() {
  auto result = [this]() -> Result<Event, Error> {
    switch (st_.state) {
      case ScanState::Initial:
        remove_utf8_bom();
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

// ---- markup --------------------------------------------------------------------------------

VELMORA_READER_STEP Result<Event, Error> Reader::read_markup() {
  using R = Result<Event, Error>;
  st_.state = ScanState::TagClosed;
  if (unread_.empty()) return R::ok(Event::eof());  // "<" was the last byte
  switch (unread_.front()) {
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
      return R::ok(emit_start(content.value()));
    }
  }
}

VELMORA_READER_STEP Result<std::string_view, Error> Reader::read_element() {
  using R = Result<std::string_view, Error>;
  const char* begin = unread_.data();
  const char* end = begin + unread_.size();
  const char* p = find_tag_end(begin, end);
  if (p == end) return R::err(Error::unexpected_eof("Element"));
  const std::string_view content(begin, static_cast<std::size_t>(p - begin));
  consume(content.size() + 1);
  return R::ok(content);
}

Result<std::pair<BangKind, std::string_view>, Error> Reader::read_bang_element() {
  using R = Result<std::pair<BangKind, std::string_view>, Error>;
  if (unread_.size() == 1) return R::err(Error::unexpected_eof("Bang"));
  BangKind kind;
  switch (unread_[1]) {
    case '[': kind = BangKind::CData; break;
    case '-': kind = BangKind::Comment; break;
    case 'D':
    case 'd': kind = BangKind::DocType; break;
    default: return R::err(Error::unexpected_bang(static_cast<std::uint8_t>(unread_[1])));
  }

  const char* base = unread_.data();
  const char* end = base + unread_.size();
  // DOCTYPE: "<" minus ">" over [base, counted), kept up to date as candidates are visited so
  // the whole construct is counted once.
  std::int64_t depth = 0;
  const char* counted = base;
  for (const char* gt = find_byte(base + 1, end, '>'); gt != end; gt = find_byte(gt + 1, end, '>')) {
    const std::size_t i = static_cast<std::size_t>(gt - base);
    bool closes = false;
    switch (kind) {
      case BangKind::CData:
        closes = i >= 2 && gt[-1] == ']' && gt[-2] == ']';
        break;
      case BangKind::Comment:
        closes = i >= 5 && gt[-1] == '-' && gt[-2] == '-';
        break;
      case BangKind::DocType:
        depth += std::count(counted, gt, '<');
        closes = depth == 0;
        --depth;  // this ">" counts for the candidates after it
        counted = gt + 1;
        break;
    }
    if (closes) {
      const std::string_view bytes(base, i);
      consume(i + 1);
      return R::ok({kind, bytes});
    }
  }
  return R::err(Error::unexpected_eof(bang_kind_name(kind)));
}

VELMORA_READER_STEP Event Reader::emit_start(std::string_view content) {
  const std::size_t name_len = first_ws(content);
  if (!content.empty() && content.back() == '/') {
    const std::string_view tag = content.substr(0, content.size() - 1);
    const std::size_t len = name_len < content.size() ? name_len : content.size() - 1;
    if (!st_.settings.expand_empty_tags) return Event::empty(BytesStart{tag, len});
    st_.state = ScanState::EmptyPending;
    pending_end_ = tag.substr(0, len);
    push_name(pending_end_);
    return Event::start(BytesStart{tag, len});
  }
  push_name(content.substr(0, name_len));
  content_start_ = unread_.data();
  return Event::start(BytesStart{content, name_len});
}

VELMORA_READER_STEP Result<Event, Error> Reader::emit_end(std::string_view bytes) {
  using R = Result<Event, Error>;
  const std::string_view content = bytes.substr(1);
  std::string_view name = content;
  if (st_.settings.trim_end_tag_names) {
    if (const std::size_t n = trimmed_len(content)) name = content.substr(0, n);
  }
  const bool verify = st_.settings.verify_end_tags;
  if (!st_.open_name_starts.empty()) {
    const std::size_t s = st_.open_name_starts.back();
    st_.open_name_starts.pop_back();
    if (verify && std::string_view(st_.open_names).substr(s) != name) {
      std::string expected = st_.open_names.substr(s);
      st_.open_names.resize(s);
      st_.offset -= bytes.size();
      return R::err(Error::end_event_mismatch(std::move(expected), std::string(name)));
    }
    st_.open_names.resize(s);
    return R::ok(Event::end(name));
  }
  if (verify) {
    st_.offset -= bytes.size();
    return R::err(Error::end_event_mismatch(std::string(), std::string(content)));
  }
  return R::ok(Event::end(name));
}

Result<Event, Error> Reader::emit_question_mark(std::string_view bytes) {
  using R = Result<Event, Error>;
  const std::size_t n = bytes.size();
  if (n >= 3 && bytes.back() == '?') {
    const std::string_view inner = bytes.substr(1, n - 2);
    if (n >= 6 && bytes.substr(1, 3) == "xml" && is_xml_whitespace(bytes[4]))
      return R::ok(Event::decl(BytesStart{inner, 3}));
    return R::ok(Event::pi(inner));
  }
  st_.offset -= n;
  return R::err(Error::unexpected_eof("XmlDecl"));
}

Result<Event, Error> Reader::emit_bang(BangKind kind, std::string_view bytes) {
  using R = Result<Event, Error>;
  const std::size_t n = bytes.size();
  switch (kind) {
    case BangKind::Comment: {
      if (bytes.substr(0, 3) != "!--") return R::err(Error::unexpected_eof("Comment"));
      // The closing rule guarantees n >= 5 and a trailing "--".
      const std::string_view text = bytes.substr(3, n - 5);
      if (st_.settings.verify_comments) {
        // A "-" followed by "-", the first "-" of the closing "--" included. The construct stays
        // consumed, so offset is just after its ">" like every other outcome here.
        const std::string_view with_close = bytes.substr(3, n - 4);
        if (with_close.find("--") != std::string_view::npos)
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

// ---- content up to the matching end tag ------------------------------------------------------

Result<std::pair<std::uint64_t, std::uint64_t>, Error> Reader::read_to_end(std::string_view name) {
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
        return R::err(Error::missing_end_tag(name));
      default:
        break;
    }
  }
}

Result<std::string_view, Error> Reader::read_text(std::string_view name) {
  using R = Result<std::string_view, Error>;
  auto range = read_to_end(name);
  if (range.is_err()) return R::err(std::move(range).error());
  const auto [start, end] = range.value();
  // The range is taken from the input by position, so it is the same whatever state the reader
  // was in when called. Positions do not count a removed byte order mark.
  const std::string_view body = input_.substr(bom_len_);
  const std::size_t from = static_cast<std::size_t>(std::min<std::uint64_t>(start, body.size()));
  const std::size_t to = static_cast<std::size_t>(std::min<std::uint64_t>(std::max(start, end), body.size()));
  const std::string_view text = body.substr(from, to - from);
  if (!on_char_boundary(body, from) || !on_char_boundary(body, to))
    return R::err(Error::non_decodable(check_utf8(text)));
  return R::ok(text);
}

}  // namespace velmora::reader
