// The item scanner: the reader's markup rules applied to a buffer that grows at the back and is
// cut at the front, each construct's search resumable where the last chunk ended.
#include "stream/item_scanner.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "reader/bytes.h"
#include "reader/tag_end.h"
#include "reader/unit_blocks.h"
#include "reader/utf8.h"

namespace velmora::stream {

using reader::Error;
using reader::ascii_iequals;
using reader::first_ws;
using reader::is_xml_whitespace;

namespace {

// Index of the first byte at or after `from` that is not ASCII, eight bytes at a time.
std::size_t skip_ascii(std::string_view s, std::size_t from) {
  std::size_t i = from;
  while (s.size() - i >= 8) {
    std::uint64_t word;
    std::memcpy(&word, s.data() + i, 8);
    if (word & 0x8080808080808080ull) break;
    i += 8;
  }
  while (i < s.size() && static_cast<unsigned char>(s[i]) < 0x80) ++i;
  return i;
}

}  // namespace

ItemScanner::ItemScanner(std::size_t item_depth) : item_depth_(item_depth < 1 ? 1 : item_depth) {}

void ItemScanner::release() {
  std::string().swap(buf_);
  std::string().swap(names_);
  std::vector<std::size_t>().swap(name_starts_);
  stopped_ = true;
}

void ItemScanner::feed(std::string_view chunk) {
  if (stopped_ || final_) return;
  compact();
  buf_.append(chunk);
  check_new_bytes();
}

void ItemScanner::finish() {
  final_ = true;
  if (!bad_utf8_ && checked_ < buf_.size()) bad_utf8_ = checked_;  // ends inside a character
}

// Drops the bytes nothing needs any more: all before the item, or before the construct, being
// read. Only what is kept moves.
void ItemScanner::compact() {
  const std::size_t keep = item_start_ != kNone ? item_start_ : lt_ != kNone ? lt_ : pos_;
  if (keep == 0) return;
  buf_.erase(0, keep);
  base_ += keep;
  checked_ -= keep;
  pos_ -= keep;
  if (lt_ != kNone) lt_ -= keep;
  search_ = search_ >= keep ? search_ - keep : 0;
  end_ = end_ >= keep ? end_ - keep : 0;
  if (item_start_ != kNone) item_start_ -= keep;
  if (bad_utf8_) *bad_utf8_ -= keep;
}

// Extends the checked prefix over the new bytes; a character split by the chunk's end waits.
void ItemScanner::check_new_bytes() {
  if (bad_utf8_) return;
  const std::string_view all(buf_);
  const std::size_t from = skip_ascii(all, checked_);
  if (from == all.size()) {
    checked_ = from;
    return;
  }
  const auto fault = reader::check_utf8(all.substr(from));
  if (!fault) {
    checked_ = all.size();
  } else {
    checked_ = from + fault->valid_up_to;
    if (fault->error_len) bad_utf8_ = checked_;
  }
}

Step ItemScanner::stop(Step step) {
  stopped_ = true;
  return step;
}

Step ItemScanner::fault_here(Error error, std::uint64_t position) {
  Step step;
  if (item_start_ != kNone) {
    step.kind = StepKind::ItemError;
    step.offset = position_of(item_start_);
    step.text = std::string_view(buf_).substr(item_start_, checked_ - item_start_);
  } else {
    step.kind = StepKind::Error;
    step.offset = position;
  }
  step.error = std::move(error);
  return step;
}

Step ItemScanner::need_more() {
  if (bad_utf8_) {  // scanning stopped at the bad byte
    Step step;
    step.kind = StepKind::BadUtf8;
    step.offset = position_of(*bad_utf8_);
    step.text = std::string_view(buf_).substr(*bad_utf8_, 4);
    return stop(step);
  }
  if (!final_) return Step{};
  return at_end_of_input();
}

Step ItemScanner::at_end_of_input() {
  if (name_starts_.empty()) return stop(Step{StepKind::Done});
  // The end tag missing is the outermost open element's, as for a whole document, or in an
  // item the item's, as for the item's own text.
  const std::size_t level = item_start_ != kNone ? item_depth_ - 1 : 0;
  const std::size_t from = name_starts_[level];
  const std::size_t to = level + 1 < name_starts_.size() ? name_starts_[level + 1] : names_.size();
  return stop(fault_here(Error::missing_end_tag(std::string_view(names_).substr(from, to - from)),
                         position_of(checked_)));
}

// Reads the construct whose "<" is at lt_: Complete sets kind_, content_ and end_; Failed sets
// `fault`; Incomplete asks for more bytes (at the end of the input the reader's rules for cut
// constructs decide instead, and a "<" that is the last byte ends the input, as in the reader).
ItemScanner::Found ItemScanner::read_construct(Step& fault) {
  const char* data = buf_.data();
  const std::size_t limit = checked_;
  const bool eof = final_ && !bad_utf8_;
  const std::uint64_t k = position_of(lt_);
  if (lt_ + 1 >= limit) {
    if (!eof) return Found::Incomplete;
    fault.kind = StepKind::Done;  // the end of the input, not a fault
    return Found::Failed;
  }
  const char first = data[lt_ + 1];
  if (first == '!') return read_bang(fault);
  if (first == '/' || first == '?') {
    const void* hit = std::memchr(data + search_, '>', limit - search_);
    std::size_t gt;
    if (hit == nullptr) {
      if (!eof) {
        search_ = limit;
        return Found::Incomplete;
      }
      gt = limit;  // cut short by the end of the input: taken as if its ">" were there
    } else {
      gt = static_cast<std::size_t>(static_cast<const char*>(hit) - data);
    }
    const bool closed = hit != nullptr;
    end_ = closed ? gt + 1 : gt;
    const std::string_view bytes(data + lt_ + 1, gt - lt_ - 1);
    if (first == '/') {
      const std::string_view content = bytes.substr(1);
      std::size_t n = content.size();
      while (n > 0 && is_xml_whitespace(content[n - 1])) --n;
      content_ = n > 0 ? content.substr(0, n) : content;
      kind_ = Construct::End;
      // A mismatch is reported where the reader reports it: after "</", or at "/" when cut.
      const std::uint64_t at = closed ? k + 2 : k + 1;
      if (name_starts_.empty()) {
        fault = fault_here(Error::end_event_mismatch(std::string(), std::string(content)), at);
        return Found::Failed;
      }
      const std::string_view expected = std::string_view(names_).substr(name_starts_.back());
      if (expected != content_) {
        fault = fault_here(Error::end_event_mismatch(std::string(expected), std::string(content_)), at);
        return Found::Failed;
      }
      return Found::Complete;
    }
    if (bytes.size() >= 3 && bytes.back() == '?') {
      kind_ = Construct::Other;
      return Found::Complete;
    }
    fault = fault_here(Error::unexpected_eof("XmlDecl"), closed ? k + 2 : k + 1);
    return Found::Failed;
  }
  const char* end = data + limit;
  const char* gt = reader::find_tag_end(data + search_, end, quote_);
  if (gt == end) {
    search_ = limit;
    if (!eof) return Found::Incomplete;
    fault = fault_here(Error::unexpected_eof("Element"), k + 1);
    return Found::Failed;
  }
  const std::size_t g = static_cast<std::size_t>(gt - data);
  content_ = std::string_view(data + lt_ + 1, g - lt_ - 1);
  end_ = g + 1;
  kind_ = !content_.empty() && content_.back() == '/' ? Construct::Empty : Construct::Start;
  return Found::Complete;
}

// "<!" constructs: CDATA, comments and DOCTYPE, closed by the reader's rules.
ItemScanner::Found ItemScanner::read_bang(Step& fault) {
  const char* data = buf_.data();
  const std::size_t limit = checked_;
  const bool eof = final_ && !bad_utf8_;
  const std::uint64_t k = position_of(lt_);
  if (lt_ + 2 >= limit) {
    if (!eof) return Found::Incomplete;
    fault = fault_here(Error::unexpected_eof("Bang"), k + 1);
    return Found::Failed;
  }
  enum class Bang { CData, Comment, DocType } bang;
  const char* bang_name;
  switch (data[lt_ + 2]) {
    case '[': bang = Bang::CData; bang_name = "CData"; break;
    case '-': bang = Bang::Comment; bang_name = "Comment"; break;
    case 'D':
    case 'd': bang = Bang::DocType; bang_name = "DOCTYPE"; break;
    default:
      fault = fault_here(Error::unexpected_bang(static_cast<std::uint8_t>(data[lt_ + 2])), k + 1);
      return Found::Failed;
  }
  const std::size_t bang_at = lt_ + 1;  // index 0 of the construct's bytes
  if (search_ < lt_ + 2) search_ = lt_ + 2;
  for (;;) {
    const void* hit = std::memchr(data + search_, '>', limit - search_);
    if (hit == nullptr) {
      if (bang == Bang::DocType) doctype_depth_ += std::count(data + search_, data + limit, '<');
      search_ = limit;
      if (!eof) return Found::Incomplete;
      fault = fault_here(Error::unexpected_eof(bang_name), k + 1);
      return Found::Failed;
    }
    const std::size_t g = static_cast<std::size_t>(static_cast<const char*>(hit) - data);
    const std::size_t i = g - bang_at;
    bool closes = false;
    switch (bang) {
      case Bang::CData: closes = i >= 2 && data[g - 1] == ']' && data[g - 2] == ']'; break;
      case Bang::Comment: closes = i >= 5 && data[g - 1] == '-' && data[g - 2] == '-'; break;
      case Bang::DocType:
        doctype_depth_ += std::count(data + search_, data + g, '<');
        closes = doctype_depth_ == 0;
        --doctype_depth_;  // this ">" counts for the candidates after it
        break;
    }
    search_ = g + 1;
    if (!closes) continue;
    end_ = g + 1;
    kind_ = Construct::Other;
    const std::string_view bytes(data + bang_at, i);
    const std::uint64_t after = position_of(end_);
    switch (bang) {
      case Bang::Comment:
        if (bytes.substr(0, 3) != "!--") break;
        return Found::Complete;
      case Bang::CData:
        if (bytes.size() < 10 || !ascii_iequals(bytes.substr(0, 8), "![cdata[")) break;
        return Found::Complete;
      case Bang::DocType: {
        if (bytes.size() < 8 || !ascii_iequals(bytes.substr(0, 8), "!doctype")) break;
        std::size_t j = 8;
        while (j < bytes.size() && is_xml_whitespace(bytes[j])) ++j;
        if (j == bytes.size()) {
          fault = fault_here(Error::empty_doctype(), after);
          return Found::Failed;
        }
        return Found::Complete;
      }
    }
    fault = fault_here(Error::unexpected_eof(bang_name), after);
    return Found::Failed;
  }
}

Step ItemScanner::next() {
  if (stopped_) return Step{StepKind::Done};
  if (!started_) {
    // A byte order mark at the very start is dropped and not counted, as the reader does.
    const std::string_view head = std::string_view(buf_).substr(0, checked_);
    if (head.size() < reader::kUtf8Bom.size() && !final_ && !bad_utf8_ && reader::kUtf8Bom.starts_with(head))
      return need_more();
    if (head.starts_with(reader::kUtf8Bom)) {
      buf_.erase(0, reader::kUtf8Bom.size());
      checked_ -= reader::kUtf8Bom.size();
      if (bad_utf8_) *bad_utf8_ -= reader::kUtf8Bom.size();
    }
    started_ = true;
  }
  for (;;) {
    if (lt_ == kNone) {
      if (pos_ >= checked_) return need_more();
      // Text is not looked at: only where the next construct begins.
      const void* hit = std::memchr(buf_.data() + pos_, '<', checked_ - pos_);
      if (hit == nullptr) {
        pos_ = checked_;
        return need_more();
      }
      lt_ = static_cast<std::size_t>(static_cast<const char*>(hit) - buf_.data());
      pos_ = lt_ + 1;
      search_ = lt_ + 1;
      quote_ = 0;
      doctype_depth_ = 0;
    }
    Step fault;
    switch (read_construct(fault)) {
      case Found::Incomplete:
        return need_more();
      case Found::Failed:
        if (fault.kind == StepKind::Done) {  // a "<" as the last byte
          lt_ = kNone;
          pos_ = checked_;
          return at_end_of_input();
        }
        return stop(std::move(fault));
      case Found::Complete:
        break;
    }
    const std::size_t lt = lt_;
    lt_ = kNone;
    pos_ = end_;
    const bool in_item = item_start_ != kNone;
    switch (kind_) {
      case Construct::Other:
        continue;
      case Construct::Start: {
        const std::size_t name_len = first_ws(content_);
        const std::string_view name = content_.substr(0, name_len);
        const std::size_t depth = name_starts_.size() + 1;  // of this element
        name_starts_.push_back(names_.size());
        names_.append(name);
        if (in_item) {
          if (depth == item_depth_ + 1) {
            const std::size_t colon = name.find(':');
            const std::string_view local = colon == std::string_view::npos ? name : name.substr(colon + 1);
            if (local.starts_with('@')) at_named_child_ = true;
          }
          continue;
        }
        if (depth == item_depth_) {
          item_start_ = lt;
          item_tag_len_ = content_.size();
          item_name_len_ = name_len;
          at_named_child_ = false;
          continue;
        }
        Step step;
        step.kind = StepKind::Open;
        step.offset = position_of(lt);
        step.tag = content_;
        step.name_len = name_len;
        return step;
      }
      case Construct::Empty: {
        const std::size_t ws = first_ws(content_);
        const std::string_view tag = content_.substr(0, content_.size() - 1);
        const std::size_t name_len = ws < content_.size() ? ws : content_.size() - 1;
        const std::size_t depth = name_starts_.size() + 1;
        if (in_item) {
          if (depth == item_depth_ + 1) {
            const std::string_view name = tag.substr(0, name_len);
            const std::size_t colon = name.find(':');
            const std::string_view local = colon == std::string_view::npos ? name : name.substr(colon + 1);
            if (local.starts_with('@')) at_named_child_ = true;
          }
          continue;
        }
        if (depth != item_depth_) continue;  // above the items, and holds none
        Step step;
        step.kind = StepKind::Item;
        step.offset = position_of(lt);
        step.text = std::string_view(buf_).substr(lt, end_ - lt);
        step.tag = tag;
        step.name_len = name_len;
        return step;
      }
      case Construct::End: {
        names_.resize(name_starts_.back());
        name_starts_.pop_back();
        if (!in_item) {
          Step step;
          step.kind = StepKind::Close;
          step.offset = position_of(lt);
          return step;
        }
        if (name_starts_.size() + 1 != item_depth_) continue;
        Step step;
        step.kind = StepKind::Item;
        step.offset = position_of(item_start_);
        step.text = std::string_view(buf_).substr(item_start_, end_ - item_start_);
        step.tag = std::string_view(buf_).substr(item_start_ + 1, item_tag_len_);
        step.name_len = item_name_len_;
        step.at_named_child = at_named_child_;
        item_start_ = kNone;
        return step;
      }
    }
  }
}

}  // namespace velmora::stream
