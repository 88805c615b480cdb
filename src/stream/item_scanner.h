// An incremental scanner that finds the elements at one nesting depth (the items) in an XML
// document fed in chunks, with the reader's scanning rules: quotes in tags, comments, CDATA,
// processing instructions, DOCTYPE, end tags checked against the open elements. It keeps only
// the construct being read, or the item being read, so memory follows the largest item rather
// than the document. Python-free: the module layer turns its steps into Python objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reader/errors.h"

namespace velmora::stream {

enum class StepKind {
  NeedMore,   // every fed byte is used: feed more, or finish
  Open,       // a start tag above the item depth: `tag` is its content, `name_len` its name
  Close,      // the end tag of the innermost element opened by an Open
  Item,       // a whole item: `text` from its "<" to its end tag's ">" (or the end of input)
  ItemError,  // the item starting at `offset` is malformed: `text` holds it up to the fault
  Error,      // a fault outside every item: `error` at document position `offset`
  BadUtf8,    // the document is not UTF-8 at position `offset`: `text` holds the bad bytes
  Done,       // the document ended with no element open
};

// One answer of next(). Views point into the scanner's buffer: valid until the next feed().
struct Step {
  StepKind kind = StepKind::NeedMore;
  // Open, Item, ItemError: the position of the element's "<"; Error, BadUtf8: the fault's.
  std::uint64_t offset = 0;
  std::string_view text;  // Item, ItemError, BadUtf8
  std::string_view tag;   // Open, Item: the start tag's content (no final "/" of an empty tag)
  std::size_t name_len = 0;
  // Item: a child element's local name begins with "@", so a content key may meet an
  // attribute key in the item's dictionary.
  bool at_named_child = false;
  // Error: what the reader reports there; ItemError: the scanner's own finding.
  std::optional<reader::Error> error;
};

class ItemScanner {
 public:
  // `item_depth` 1 is the top-level elements.
  explicit ItemScanner(std::size_t item_depth);

  // Appends the next bytes of the document. Positions count from the first byte fed, less a
  // leading byte order mark.
  void feed(std::string_view chunk);
  // No more bytes will come.
  void finish();
  // The next step. After Error, ItemError, BadUtf8 or Done, every call answers Done.
  Step next();

  // Bytes held now (the unread construct or item, and a split character).
  std::size_t buffered() const { return buf_.size(); }
  // Frees the buffer and the stack; the scanner answers only Done afterwards.
  void release();

 private:
  enum class Found { Incomplete, Complete, Failed };
  enum class Construct { Start, Empty, End, Other };

  Step need_more();
  Step at_end_of_input();
  Found read_construct(Step& fault);
  Found read_bang(Step& fault);
  Step fault_here(reader::Error error, std::uint64_t position);
  Step stop(Step step);
  void compact();
  void check_new_bytes();
  std::uint64_t position_of(std::size_t index) const { return base_ + index; }

  std::size_t item_depth_;
  std::string buf_;
  std::uint64_t base_ = 0;   // document position of buf_[0]
  std::size_t checked_ = 0;  // buf_[0, checked_) is UTF-8 that may be scanned
  std::size_t pos_ = 0;      // next byte to read
  bool final_ = false;
  bool started_ = false;     // a leading byte order mark has been looked for
  bool stopped_ = false;
  std::optional<std::size_t> bad_utf8_;  // index of the first byte that is not UTF-8

  // The construct being read: its "<" at lt_, the search for its end resumes at search_.
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::size_t lt_ = kNone;
  std::size_t search_ = 0;
  char quote_ = 0;                // start tags: the quote the search is inside
  std::int64_t doctype_depth_ = 0;  // DOCTYPE: "<" less ">" over [lt_ + 1, search_)
  // What the construct turned out to be, once Complete.
  Construct kind_ = Construct::Other;
  std::size_t end_ = 0;           // index just after the construct
  std::string_view content_;      // tags: content; end tags: the name

  // Open elements, names concatenated outermost first.
  std::string names_;
  std::vector<std::size_t> name_starts_;
  std::size_t item_start_ = kNone;  // the "<" of the item being read
  std::size_t item_tag_len_ = 0, item_name_len_ = 0;
  bool at_named_child_ = false;
};

}  // namespace velmora::stream
