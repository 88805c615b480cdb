// A pull reader over one XML text held in memory as UTF-8.
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
#include "reader/result.h"

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
};

enum class ScanState {
  Initial,       // nothing read yet: a byte order mark may come first
  TagOpened,     // a "<" was just consumed; the construct after it is next
  TagClosed,     // outside markup; text up to the next "<" is next
  EmptyPending,  // owes the End of an expanded empty-element tag
  Finished,      // Eof or an error was returned; only Eof from now on
};

struct ReaderState {
  // Names of the open elements, concatenated outermost first; open_name_starts[i] is where the
  // i-th begins.
  std::string open_names;
  std::vector<std::size_t> open_name_starts;
  // Bytes consumed so far, not counting a removed byte order mark.
  std::uint64_t offset = 0;
  Settings settings;
  ScanState state = ScanState::Initial;
};

// The three kinds of "<!" construct, chosen by the byte after "!".
enum class BangKind { CData, Comment, DocType };

// Reads events from `input`, which must be valid UTF-8 and must outlive the reader and every
// view it hands out. Never copies the input: payloads are views into it, so a caller can find
// where a payload lies with `payload.data() - reader.input().data()`.
class Reader {
 public:
  explicit Reader(std::string_view input, Settings settings = {});

  // The next event, or the first syntax error. After Eof or an error, always Eof.
  Result<Event, Error> read_event_impl();

  // Byte position for error reports: offset, less the "<" just consumed while in TagOpened.
  std::uint64_t position() const;

  // Right after a Start named `name`: skips to its matching end tag (checking everything on the
  // way) and answers the positions the content spans.
  Result<std::pair<std::uint64_t, std::uint64_t>, Error> read_to_end(std::string_view name);
  // Like read_to_end, answering the content itself as a view of the input.
  Result<std::string_view, Error> read_text(std::string_view name);

  // The whole input as given (a byte order mark included).
  std::string_view input() const { return input_; }
  // What is left to read.
  std::string_view unread() const { return unread_; }
  const ReaderState& state() const { return st_; }

 private:
  // Steps over the unread input.
  void skip_whitespace();
  bool skip_one(char b);
  std::optional<std::string_view> read_bytes_until(char b);
  void remove_utf8_bom();
  std::optional<Event> read_until_open();
  Event emit_text(std::string_view bytes);
  Event emit_expanded_end();

  // Markup after a consumed "<".
  Result<Event, Error> read_markup();
  Result<std::string_view, Error> read_element();
  Result<std::pair<BangKind, std::string_view>, Error> read_bang_element();
  Event emit_start(std::string_view content);
  Result<Event, Error> emit_end(std::string_view bytes);
  Result<Event, Error> emit_question_mark(std::string_view bytes);
  Result<Event, Error> emit_bang(BangKind kind, std::string_view bytes);

  void consume(std::size_t n);
  void push_name(std::string_view name);

  std::string_view input_;
  std::string_view unread_;
  // EmptyPending: the name of the End owed (a view of the input).
  std::string_view pending_end_;
  // Where the content of the Start just returned begins; null once anything else was read.
  const char* content_start_ = nullptr;
  std::size_t bom_len_ = 0;  // a removed byte order mark: positions start after it
  ReaderState st_;
};

}  // namespace velmora::reader
