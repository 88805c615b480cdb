// A pull reader over one XML text held in memory, as UTF-8 or as code points (see units.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "reader/errors.h"
#include "reader/events.h"
#include "reader/inline_stack.h"
#include "reader/result.h"
#include "reader/units.h"

namespace velmora::reader {

// Fixed when a reader is made. The defaults are what every conversion uses.
struct Settings {
  bool expand_empty_tags = false;        // <a/> gives Start then End instead of Empty
  bool trim_leading_whitespace = true;   // whitespace-only text yields no event
  bool trim_trailing_whitespace = true;  // trailing whitespace is cut from Text
  bool trim_end_tag_names = true;        // </a  > names "a"
  bool verify_end_tags = true;           // an end tag must name the innermost open element
  // "--" inside a comment (or a "-" right before the closing "--") is UnexpectedToken("--");
  // the comment is consumed, so position() is just after its ">" as for every comment error.
  bool verify_comments = false;
  // A byte order mark right after a start tag's ">" is dropped with the whitespace after it, as
  // at the start of the document (a reader over just the element's content would drop it).
  bool drop_bom_at_content_start = false;
  // A start tag (not an empty-element tag) whose content is text alone up to its matching end
  // tag (`<a>text</a>`, `<a k='1'> </a>`), is one Leaf event instead of Start, Text and End: the
  // same name, start tag, text and positions, read in one step. Any other content reads as
  // usual. Meant for the default trimming and end-tag settings, which it assumes.
  bool join_text_only_elements = false;
};

enum class ScanState {
  Initial,       // nothing read yet: a byte order mark may come first
  TagOpened,     // a "<" was just consumed; the construct after it is next
  TagClosed,     // outside markup; text up to the next "<" is next
  EmptyPending,  // owes the End of an expanded empty-element tag
  Finished,      // Eof or an error was returned; only Eof from now on
};

template <TextUnit Unit>
struct ReaderState {
  // Names of the open elements, outermost first: views of the input, which outlives the reader.
  InlineStack<UnitView<Unit>, 16> open_names;
  // Units consumed so far, not counting a removed byte order mark.
  std::uint64_t offset = 0;
  Settings settings;
  ScanState state = ScanState::Initial;
};

template <class Unit>
class RunTag;

// The three kinds of "<!" construct, chosen by the byte after "!".
enum class BangKind { CData, Comment, DocType };

// Reads events from `input`, which must be valid UTF-8 (or code points without surrogates) and
// must outlive the reader and every view it hands out. Never copies the input: payloads are views
// into it, so a caller can find where a payload lies with
// `payload.data() - reader.input().data()`. Positions count units; errors carry UTF-8 terms.
template <TextUnit Unit>
class BasicReader {
 public:
  using View = UnitView<Unit>;
  using Event = BasicEvent<Unit>;

  explicit BasicReader(View input, Settings settings = {});

  // The next event, or the first syntax error. After Eof or an error, always Eof.
  Result<Event, Error> read_event_impl();

  // Unit position for error reports: offset, less the "<" just consumed while in TagOpened.
  std::uint64_t position() const;
  // The same position as a byte offset into the UTF-8 form of the input (after a removed byte
  // order mark), as messages give it.
  std::uint64_t utf8_position() const;

  // When the next events would be Leaf events named `name` (the reader joins text-only elements
  // and the unread input is whitespace, then `<name>` or `<name attributes>`, text and
  // `</name>`, and so on): reads up to `room` of them into `out`, exactly as read_event_impl
  // would (the name of one without attributes is `name` itself), and answers how many. At
  // anything else, reads only the whitespace ahead, which any next read skips first. A run of
  // siblings of one name is read this way in batches, without the general dispatch.
  std::size_t read_leaf_run(View name, Event* out, std::size_t room);
  // The same run, each leaf handed to `take` as it is read instead of written out:
  // `take.short_text(text, scan)` for a leaf whose start tag is `<name>` and whose text (not
  // empty, UTF-8) was scanned on the way, `take.leaf(event)` for any other; each answers whether
  // to go on (a leaf declined is read all the same). Defined in reader/leaf_run.h.
  template <class Take>
  std::size_t take_leaf_run(View name, std::size_t room, Take&& take);
  // When the next event would be the Start or the Leaf of a tag written as a bare name (`<name>`,
  // without whitespace, quotes, "/", "!" or "?" in it): reads it, exactly as read_event_impl
  // would. Otherwise answers nothing and reads only the whitespace ahead, which any next read
  // skips first. For the common tags of nesting and records, without the general dispatch.
  std::optional<Event> read_bare_tag();
  // When the next event would be the End of the innermost open element, written as its name
  // alone (`</name>`, whitespace allowed before the ">"): reads it, exactly as read_event_impl
  // would, and answers true. Otherwise answers false and reads only the whitespace ahead, which
  // any next read skips first. For runs of end tags (deep nesting).
  bool read_innermost_end();

  // Right after a Start named `name`: skips to its matching end tag (checking everything on the
  // way) and answers the positions the content spans.
  Result<std::pair<std::uint64_t, std::uint64_t>, Error> read_to_end(View name);
  // Like read_to_end, answering the content itself as a view of the input.
  Result<View, Error> read_text(View name);

  // The whole input as given (a byte order mark included).
  View input() const { return input_; }
  // What is left to read.
  View unread() const { return unread_; }
  const ReaderState<Unit>& state() const { return st_; }

 private:
  using Start = BasicBytesStart<Unit>;
  // The most units a leaf's start tag may have after its name (the event holds their count in
  // 32 bits); a longer tag reads as Start, Text and End.
  static constexpr std::size_t kMaxLeafAttributes = 0xFFFFFFFFu;

  // Steps over the unread input.
  void skip_whitespace();
  bool skip_one(char b);
  std::optional<View> read_bytes_until(char b);
  void remove_bom();
  std::optional<Event> read_until_open();
  Event emit_text(View bytes);
  Event emit_expanded_end();

  // Markup after a consumed "<".
  Result<Event, Error> read_markup();
  Result<View, Error> read_element();
  Result<std::pair<BangKind, View>, Error> read_bang_element();
  Event emit_start(View content, std::size_t name_len);
  std::optional<Event> read_leaf(View tag, std::size_t name_len);
  // With `end_tag` (`</name` as a RunTag, run_tag.h), that compare is made in one step.
  const Unit* match_leaf(const Unit* content, View name, Event& leaf, const RunTag<Unit>* end_tag) const;
  // match_leaf as a call, for a run read outside reader.cpp.
  const Unit* match_leaf_outside(const Unit* content, View name, Event& leaf, const RunTag<Unit>* end_tag) const;
  // `quoteless_name`: `name` holds no quote, so the search for the tag's end is not in a
  // quoted value when it leaves the name.
  const Unit* match_attributed_leaf(const Unit* tag, View name, bool quoteless_name, Event& leaf,
                                    const RunTag<Unit>& end_tag) const;
  Result<Event, Error> emit_end(View bytes);
  Result<Event, Error> emit_question_mark(View bytes);
  Result<Event, Error> emit_bang(BangKind kind, View bytes);

  void consume(std::size_t n) {
    unread_.remove_prefix(n);
    st_.offset += n;
  }
  void push_name(View name);
  bool drops_bom_at(const Unit* at) const;

  View input_;
  View unread_;
  // EmptyPending: the name of the End owed (a view of the input).
  View pending_end_;
  // Where the content of the Start just returned begins; null once anything else was read.
  const Unit* content_start_ = nullptr;
  std::size_t bom_len_ = 0;  // a removed byte order mark: positions start after it
  ReaderState<Unit> st_;
};
using Reader = BasicReader<char>;

// Defined, for the four unit forms, in reader.cpp (read_leaf_run in leaf_run.cpp).

}  // namespace velmora::reader
