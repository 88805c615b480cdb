// The conversion walk: one reader over the whole input and an explicit stack of open elements,
// so the input is read once and nesting depth costs heap, not native stack.
//
// Its results and failure messages are those of the level-by-level definition (each element's
// content converted by a fresh reader after the parent has read up to the matching end tag):
// - a reader error with no element open is reported with its position; inside an element it is
//   what the parent's read up to the end tag meets first, so it is reported without one;
// - the end of input with elements open is the outermost one's missing end tag;
// - attribute, escape and Python errors inside a top-level element are found by the content's
//   own conversion, which only runs after the whole element was read: the first one is kept and
//   reported at that element's end tag, unless a reader error or the end of input comes first;
// - a reader over an element's content drops a byte order mark at the very start of it (the
//   walk's reader is set to do the same).
//
// The reader joins an element that holds text alone into one Leaf event, and two shortcuts read
// the next event without its general dispatch when it is the common one: another leaf of the
// name just appended to a list, or the end tag of the innermost element. Each gives exactly the
// event (and reader state) the general read would.
//
// Failures: every step that can fail answers a checked Status, and one place (`failed`) keeps
// the failure for later or raises it at once; `raise` is the walk's only exit with a failure.
#include "convert/walk.h"

#include <memory>
#include <span>
#include <string>
#include <tuple>
#include <unordered_set>
#include <utility>
#include <vector>

#include "convert/key_cache.h"
#include "convert/merge.h"
#include "convert/messages.h"
#include "cpython/api_failure.h"
#include "cpython/lists.h"
#include "cpython/pyerr.h"
#include "cpython/strings.h"
#include "failure/failure.h"
#include "reader/leaf_run.h"
#include "reader/reader.h"
#include "reader/unescape.h"

namespace velmora::convert {
namespace {

using py::PyRef;
using reader::EventKind;

// What a step of the walk answers: whether it succeeded. A failed step has already handed its
// failure to `failed`.
enum class [[nodiscard]] Status : bool { Ok, Failed };

PyRef new_dict() {
  PyRef d = PyRef::steal(PyDict_New());
  if (!d) py::panic_after_error();
  return d;
}

reader::Settings walk_settings() {
  reader::Settings settings;
  settings.drop_bom_at_content_start = true;
  settings.join_text_only_elements = true;
  return settings;
}

// A two-bit counter that guesses whether a tag written as a bare name comes next (see
// follow_bare_tags).
using BareTagGuess = std::uint8_t;

template <reader::TextUnit Unit>
struct OpenElement {
  reader::UnitView<Unit> qname;  // as written, for the missing-end-tag message
  PyObject* key;                // borrowed from the key cache
  // The element's dictionary, made at its start tag: its attributes first, then what its
  // content converts to.
  PyRef dict;
  bool has_attributes;
  // Whether `dict` may hold "#text", so that the element may collapse to its text at the end.
  bool may_hold_text = false;
  // Content keys beginning with "@" seen so far (only these can meet an attribute's key).
  std::unique_ptr<std::unordered_set<PyObject*>> at_keys;
  // The key last stored as a list and that list (borrowed from `dict`): a run of siblings of one
  // name appends without looking the key up again. Never an "@" key (the merge over attributes
  // may replace its entry) nor one that may be "#text" (a text replaces that entry).
  PyObject* list_key = nullptr;
  PyObject* list = nullptr;
  // The guess for what follows the end of an element of this name.
  BareTagGuess* after_end = nullptr;
};

// The room of the stack of open elements, kept from one call to the next so that a call on a
// small document allocates none. Only a small room is kept: a deep document's is given back.
// (Taken by a call and returned at its end; a call made inside it finds none and makes its own.
// The interpreter lock serialises every use.)
template <reader::TextUnit Unit>
constinit std::vector<OpenElement<Unit>> spare_open_stack;
constexpr std::size_t kKeptOpenRoom = 64;

// The cyclic collector is paused for the call. A collection only ever runs between bytecodes, so
// this saves nothing within the call; what it changes is when the collection that the call's
// containers are due runs: not right after the call, but when the caller next makes a container
// of its own. Calls made back to back (a loop over many documents) then share one young
// collection instead of one each, and far fewer collections of the older generations follow,
// which would traverse every result kept so far. The call holds the interpreter lock throughout,
// so no other code sees the pause.
class CollectorPause {
 public:
  CollectorPause() : was_enabled_(PyGC_Disable()) {}
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
  int was_enabled_;
};

// The walk over text of one unit form: UTF-8, or a str's own code points.
template <reader::TextUnit Unit>
class Walk {
  using View = reader::UnitView<Unit>;
  using Event = reader::BasicEvent<Unit>;
  using BytesStart = reader::BasicBytesStart<Unit>;
  using QName = reader::BasicQName<Unit>;

 public:
  explicit Walk(View text) : reader_(text, walk_settings()), top_(new_dict()) {
    open_.swap(spare_open_stack<Unit>);
  }
  ~Walk() {
    open_.clear();
    auto& spare = spare_open_stack<Unit>;
    if (open_.capacity() <= kKeptOpenRoom && open_.capacity() > spare.capacity()) spare.swap(open_);
  }
  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;

  py::PyResult<PyRef> run() {
    for (;;) {
      if (reader_.state().offset >= next_signal_check_) [[unlikely]] {
        if (signal_handler_raised()) return py::PyResult<PyRef>::err(py::fetch_error());
      }
      auto result = reader_.read_event_impl();
      if (result.is_err()) on_reader_error(result.error());
      const Event& event = result.value();
      if (event.kind() == EventKind::Eof) return py::PyResult<PyRef>::ok(finish());
      if (skip_depth_ > 0) {
        skip(event);
        continue;
      }
      switch (event.kind()) {
        case EventKind::Start: follow_bare_tags(on_start(event.as_start())); break;
        case EventKind::Empty: follow_bare_tags(on_empty(event.as_start())); break;
        case EventKind::End: follow_bare_tags(on_end()); break;
        case EventKind::Text: on_text(event.bytes()); break;
        case EventKind::Leaf: follow_bare_tags(on_leaf(event)); break;
        default: break;  // CDATA, comments, declarations, PIs and DOCTYPE leave no trace
      }
    }
  }

 private:
  static constexpr std::size_t kRecentElements = 16;
  static constexpr std::size_t kRecentAttributeNames = 32;
  static constexpr std::size_t kMemoAttributes = 8;
  static constexpr std::size_t kLeafRunBatch = 32;
  // An attribute name as written (a view of the input) and its key. Plain, so that the memos of
  // a call on a small document are not filled in before they are used: an empty one is known
  // by its key alone.
  struct AttributeMemo {
    const Unit* name;
    std::size_t size;
    PyObject* key;
  };
  // A name as written: a view of the input, without its key.
  struct WrittenName {
    const Unit* data;
    std::size_t size;
  };
  // An element name as written and its key (borrowed from the key cache), with the attribute
  // names as written and their keys at the first positions of its last tag, and the guesses for
  // what follows a Start, a Leaf and an End of that name. All but the key are set when the slot
  // is taken.
  struct ElementMemo {
    const Unit* name;
    std::size_t size;
    PyObject* key = nullptr;
    AttributeMemo attributes[kMemoAttributes];  // cleared when the slot is first taken
    BareTagGuess after_start, after_leaf, after_end;
  };

  // ---- failures ------------------------------------------------------------------------------

  // The walk's one exit with a failure.
  [[noreturn, gnu::cold, gnu::noinline]] static void raise(std::string message) {
    fail(std::move(message));
  }

  // A failure of the conversion proper: raised at once outside every element, else kept for the
  // end of the top-level element, after which nothing more is built. `unpushed` counts a start
  // tag that the reader has opened but the walk has not (it failed on that tag's attributes).
  [[gnu::cold, gnu::noinline]] Status failed(std::string message, std::size_t unpushed = 0) {
    if (open_.empty()) raise(std::move(message));
    deferred_ = std::move(message);
    skip_depth_ = open_.size() + unpushed;
    open_.clear();
    return Status::Failed;
  }
  [[gnu::cold, gnu::noinline]] Status failed(py::PyErr error, std::size_t unpushed = 0) {
    return failed(unwrap_message(std::move(error)), unpushed);
  }
  [[gnu::cold, gnu::noinline]] Status failed_on_pending_error(std::size_t unpushed = 0) {
    return failed(py::fetch_error(), unpushed);
  }

  // Runs the interpreter's pending signal handlers; true when one raised.
  [[gnu::cold, gnu::noinline]] bool signal_handler_raised() {
    next_signal_check_ = reader_.state().offset + kSignalCheckInterval;
    return PyErr_CheckSignals() < 0;
  }

  // A reader error is met before anything an enclosing element kept.
  [[noreturn, gnu::cold, gnu::noinline]] void on_reader_error(const reader::Error& error) {
    if (depth() == 0) raise(position_message(reader_.utf8_position(), error));
    raise(unwrap_message(error));
  }

  PyRef finish() {
    if (depth() > 0) raise(unwrap_message(reader::Error::missing_end_tag(reader::to_utf8(top_qname_))));
    return std::move(top_);
  }

  // After a kept failure: follow the nesting only, to find the top-level end tag.
  void skip(const Event& event) {
    if (event.kind() == EventKind::Start) {
      ++skip_depth_;
    } else if (event.kind() == EventKind::End && --skip_depth_ == 0) {
      raise(std::move(deferred_));
    }
  }

  // ---- building ------------------------------------------------------------------------------

  std::size_t depth() const { return skip_depth_ > 0 ? skip_depth_ : open_.size(); }

  // The dictionary that the content being read goes into.
  PyObject* current_dict() const { return open_.empty() ? top_.get() : open_.back().dict.get(); }


  // The str of a text or attribute value, unescaped. Without a reference (the common case) the
  // value is made straight from the input after one scan that also tells its width (ASCII or
  // not, for UTF-8); with references, from the input and the references found in it.
  Status text_value(View raw, PyRef& out, std::size_t unpushed = 0) {
    if constexpr (reader::kIsUtf8<Unit>) {
      const reader::TextScan scan = reader::scan_text(raw);
      if (!scan.has_reference) {
        out = plain_string(raw, scan.ascii);
        return Status::Ok;
      }
    } else {
      const reader::UnitScan scan = reader::scan_units(raw);
      if (!scan.has_reference) {
        out = plain_string(raw, scan.bits);
        return Status::Ok;
      }
    }
    return text_with_references(raw, out, unpushed);
  }

  // `unit_bits`: those of the text's units, when a scan found them on the way.
  Status text_with_references(View raw, PyRef& out, std::size_t unpushed,
                              std::optional<std::uint32_t> unit_bits = std::nullopt) {
    auto found = reader::find_references(raw, references_, unit_bits);
    if (found.is_err()) return failed(unwrap_message(found.error()), unpushed);
    if constexpr (reader::kIsUtf8<Unit>) {
      if (found.value().bits >= 0x80) {
        // Not ASCII: a byte is not a character, so the text is unescaped into UTF-8 and decoded.
        auto unescaped = reader::unescape_slice(raw);
        if (unescaped.is_err()) return failed(unwrap_message(unescaped.error()), unpushed);
        out = py::new_string_from_valid(unescaped.value().view(), false);
        return Status::Ok;
      }
    }
    out = py::new_string_with_references(raw, std::span<const reader::FoundReference>(references_.data(), found.value().count),
                                          found.value());
    return Status::Ok;
  }

  // Puts the tag's attributes into `dict`, made on the first item (so it stays empty for a tag
  // without attribute items). Callers skip it for a tag with nothing after its name.
  Status fill_attributes(const BytesStart& tag, ElementMemo& memo, PyRef& dict, std::size_t unpushed) {
    reader::BasicAttributes<Unit> items = tag.attributes();
    std::size_t position = 0;
    // (Each item in a variable of its own: assigning to one would copy it.)
    while (auto item = items.next()) {
      if (item->is_err()) return failed(unwrap_message(item->error()), unpushed);
      if (add_attribute(item->value(), memo, position++, dict, unpushed) == Status::Failed) return Status::Failed;
    }
    return Status::Ok;
  }

  // One attribute (the `position`th of its tag) into `dict`, made when it is the first.
  [[gnu::always_inline]] Status add_attribute(const reader::BasicAttribute<Unit>& attribute, ElementMemo& memo,
                                              std::size_t position, PyRef& dict, std::size_t unpushed) {
    if (!dict) dict = new_dict();
    PyObject* key = attribute_key(memo, attribute.key.bytes, position);
    PyRef text;
    if (attribute.scanned && !attribute.has_reference) {
      text = plain_attribute_value(attribute);
    } else if (attribute.scanned) {
      if (text_with_references(attribute.value, text, unpushed, attribute.bits) == Status::Failed) return Status::Failed;
    } else if (text_value(attribute.value, text, unpushed) == Status::Failed) {
      return Status::Failed;
    }
    if (PyDict_SetItem(dict.get(), key, text.get()) < 0) return failed_on_pending_error(unpushed);
    return Status::Ok;
  }

  // The str of a value without a reference that the reader scanned while finding its end.
  // (Inline, as leaf_text is: a call per value cost more than a tenth of what making the value
  // costs the walk.)
  [[gnu::always_inline]] static PyRef plain_attribute_value(const reader::BasicAttribute<Unit>& attribute) {
    if constexpr (reader::kIsUtf8<Unit>) return plain_string(attribute.value, attribute.bits < 0x80);
    else return plain_string(attribute.value, attribute.bits);
  }

  // The str of a text without a reference, UTF-8 (ASCII or not) or code points (with every unit
  // or-ed together); a short ASCII one made inline.
  [[gnu::always_inline]] static PyRef plain_string(View text, bool ascii)
    requires reader::kIsUtf8<Unit>
  {
    if (ascii && text.size() <= py::kShortAscii) return py::new_short_ascii(text);
    return py::new_string_from_valid(text, ascii);
  }
  [[gnu::always_inline]] static PyRef plain_string(View text, std::uint32_t bits)
    requires(!reader::kIsUtf8<Unit>)
  {
    if (bits < 0x80 && text.size() <= py::kShortAscii) return py::new_short_ascii(text);
    return py::new_string_from_units(text, bits);
  }

  // Tags of one name tend to repeat their attributes in the same order: compare the key as
  // written with the one seen at this position of a tag of this name last time before looking
  // further.
  PyObject* attribute_key(ElementMemo& memo, View qname, std::size_t position) {
    if (position >= kMemoAttributes) return attribute_key_by_name(qname);
    AttributeMemo& slot = memo.attributes[position];
    if (slot.key != nullptr && reader::same_units(View(slot.name, slot.size), qname)) return slot.key;
    slot = AttributeMemo{qname.data(), qname.size(), attribute_key_by_name(qname)};
    return slot.key;
  }

  // Behind that, a small memo by a digest of the name as written, in front of the cache (which
  // takes the local name).
  PyObject* attribute_key_by_name(View qname) {
    const std::size_t slot = name_digest(qname) % kRecentAttributeNames;
    PyObject*& key = recent_attribute_keys_[slot];
    WrittenName& name = recent_attribute_names_[slot];
    if (key != nullptr && reader::same_units(View(name.data, name.size), qname)) return key;
    key = keys_.attribute_key(QName{qname}.local_name());
    name = WrittenName{qname.data(), qname.size()};
    return key;
  }

  // The memo of an element name as written: the cache's key for it, behind a small memo of the
  // names seen lately (a chain or a list repeats one name, records cycle through a few), with
  // the attribute keys its tags had. Equal names as written have equal local names, so a hit
  // needs no look at the prefix. A slot taken over by another name keeps its attribute keys,
  // which are compared by name before use.
  [[gnu::always_inline]] ElementMemo& element_memo(View qname) {
    ElementMemo& memo = recent_elements_[name_digest(qname) % kRecentElements];
    if (memo.key == nullptr || !reader::same_units(View(memo.name, memo.size), qname)) [[unlikely]]
      remember_element(memo, qname);
    return memo;
  }
  [[gnu::noinline]] void remember_element(ElementMemo& memo, View qname) {
    if (memo.key == nullptr) {
      for (AttributeMemo& attribute : memo.attributes) attribute.key = nullptr;
    }
    memo.name = qname.data();
    memo.size = qname.size();
    memo.key = keys_.element_key(QName{qname}.local_name());
    memo.after_start = memo.after_leaf = memo.after_end = 3;
  }

  // Each of the handlers below answers the guess for what follows what it handled.
  BareTagGuess* on_start(const BytesStart& tag) {
    View qname = tag.name();
    ElementMemo& memo = element_memo(qname);
    PyObject* key = memo.key;
    if (open_.empty()) top_qname_ = qname;
    PyRef dict;
    if (tag.name_len < tag.content.size() && fill_attributes(tag, memo, dict, 1) == Status::Failed)
      return &memo.after_start;
    const bool has_attributes = static_cast<bool>(dict);
    if (!dict) dict = new_dict();  // made before its children's: see open_bare
    open_.push_back(OpenElement<Unit>{
        .qname = qname, .key = key, .dict = std::move(dict), .has_attributes = has_attributes, .after_end = &memo.after_end});
    return &memo.after_start;
  }

  // The Start of a tag without attributes, as on_start would open it. The element's dictionary
  // is made now, before those of its children (as a JSON decoder makes its objects): where the
  // containers lie in memory then suits the collector's passes over a deep result, which run
  // up to three times faster than over one whose children were made first.
  [[gnu::always_inline]] BareTagGuess* open_bare(View qname) {
    ElementMemo& memo = element_memo(qname);
    if (open_.empty()) top_qname_ = qname;
    open_.push_back(OpenElement<Unit>{
        .qname = qname, .key = memo.key, .dict = new_dict(), .has_attributes = false, .after_end = &memo.after_end});
    return &memo.after_start;
  }

  BareTagGuess* on_empty(const BytesStart& tag) {
    ElementMemo& memo = element_memo(tag.name());
    PyObject* key = memo.key;
    PyRef value;
    if (tag.name_len < tag.content.size() && fill_attributes(tag, memo, value, 0) == Status::Failed)
      return &memo.after_end;
    if (!value) value = PyRef::borrow(Py_None);
    std::ignore = store(key, value.get());
    return &memo.after_end;
  }

  // The tags written as bare names that come next, read without the general dispatch (up to
  // the next signal check): the Starts of nested elements, the fields of records. Whether one
  // comes next is guessed from what came before it (the guess only saves a vain attempt).
  void follow_bare_tags(BareTagGuess* guess) {
    while (skip_depth_ == 0 && reader_.state().offset < next_signal_check_) {
      if (!bare_tag_likely(*guess)) return;
      auto next = reader_.read_bare_tag();
      learn(*guess, next.has_value());
      if (!next) return;
      if (next->kind() == EventKind::Leaf) guess = on_leaf(*next);
      else guess = open_bare(next->as_start().name());
    }
  }

  // By the name of the element just handled and what was handled (its Start, the element as a
  // Leaf, its End): records cycle through a few names, each followed by the same kind of tag.
  // Tried while at 2 or more, and once in a while otherwise, so that a document whose tags
  // change is followed again.
  bool bare_tag_likely(BareTagGuess guess) { return guess >= 2 || (++bare_tag_retries_ & 31) == 0; }
  static void learn(BareTagGuess& guess, bool found) {
    if (found) guess = guess < 3 ? guess + 1 : 3;
    else guess = guess > 0 ? guess - 1 : 0;
  }

  // The innermost element's End; then, while the next event is the End of its parent written
  // as a bare name, that End too, read without the general dispatch (up to the next signal
  // check).
  BareTagGuess* on_end() {
    for (;;) {
      BareTagGuess* guess = close_innermost();
      if (!next_is_innermost_end()) return guess;
    }
  }

  bool next_is_innermost_end() {
    return !open_.empty() && reader_.state().offset < next_signal_check_ && reader_.read_innermost_end();
  }

  [[gnu::always_inline]] BareTagGuess* close_innermost() {
    // Only what storing needs leaves the element, which goes before its value is stored into
    // the parent.
    OpenElement<Unit>& closed = open_.back();
    PyObject* const key = closed.key;
    PyRef dict = std::move(closed.dict);
    const bool may_hold_text = closed.may_hold_text;
    BareTagGuess* const guess = closed.after_end;
    open_.pop_back();
    if (!may_hold_text) {
      std::ignore = store(key, dict.get());
      return guess;
    }
    auto value = collapse_text_only(dict.get(), text_key());
    if (value.is_err()) {
      std::ignore = failed(std::move(value).error());
      return guess;
    }
    std::ignore = store(key, value.value().get());
    return guess;
  }

  // `<name>text</name>` (or `<name k="v">text</name>`) in one step: what Start, Text and End
  // would store, without opening the element. A failure (in its text or its attributes) leaves
  // the walk where the element's End would have: skipping inside its parent, or raising at once
  // at the top level. Answers the guess for what follows: the leaf's own, or the End's of the
  // last element it closed.
  BareTagGuess* on_leaf(const Event& leaf) {
    const View qname = leaf.leaf_name();
    ElementMemo& memo = element_memo(qname);
    PyObject* key = memo.key;
    PyRef value;
    if (leaf_value(leaf, memo, value) == Status::Failed) return &memo.after_leaf;
    if (store(key, value.get()) == Status::Failed) return &memo.after_leaf;
    // A run of siblings of this name: while the parent's list for it is the one just appended
    // to, the next ones are read a batch at a time, each appended directly as it is read (up to
    // the next signal check).
    while (!open_.empty() && open_.back().list_key == key && reader_.state().offset < next_signal_check_) {
      const std::size_t count = append_leaf_run(qname, memo);
      if (skip_depth_ > 0) return &memo.after_leaf;  // one of them failed
      if (count < kLeafRunBatch) break;
    }
    // A leaf is often the last child (a chain's innermost element, a record's last field).
    if (!next_is_innermost_end()) return &memo.after_leaf;
    return on_end();
  }

  // Takes the leaves of a run as the reader reads them, appending each one's value to `list`.
  // The run stops at a failure: leaves change no nesting, so the skip that follows starts where
  // it would have.
  struct LeafRunAppend {
    Walk& walk;
    ElementMemo& memo;
    PyObject* list;

    bool leaf(const Event& leaf) {
      // (A value of its own each time, which the append empties: known empty, it needs no
      // release when set or at the end of its scope.)
      PyRef item;
      if (walk.leaf_value(leaf, memo, item) == Status::Failed) return false;
      return append(std::move(item));
    }
    // `<name>text</name>`, its text scanned: the common sibling, made without an event.
    [[gnu::always_inline]] bool short_text(View text, reader::TextScan scan)
      requires reader::kIsUtf8<Unit>
    {
      PyRef item;
      if (walk.scanned_text(text, scan, item) == Status::Failed) return false;
      return append(std::move(item));
    }
    [[gnu::always_inline]] bool append(PyRef item) {
      if (py::list_append(list, std::move(item))) return true;
      std::ignore = walk.failed_on_pending_error();
      return false;
    }
  };

  // Up to a batch of the run of siblings named `qname` (its memo `memo`) appended to the list
  // the last one went to; answers how many were read.
  [[gnu::noinline]] std::size_t append_leaf_run(View qname, ElementMemo& memo) {
    LeafRunAppend append{*this, memo, open_.back().list};
    return reader_.take_leaf_run(qname, kLeafRunBatch, append);
  }

  // The value of a leaf, `memo` being its name's.
  [[gnu::always_inline]] Status leaf_value(const Event& leaf, ElementMemo& memo, PyRef& out) {
    if (leaf.leaf_has_attributes()) [[unlikely]]
      return attributed_leaf_value(leaf, memo, out);
    return leaf_text(leaf, out);
  }

  // `<name k="v">text</name>`: its attributes, then its text under "#text". A start tag with
  // only whitespace after its name holds no attribute: the element is then its text, as a leaf
  // without attributes is.
  [[gnu::noinline]] Status attributed_leaf_value(const Event& leaf, ElementMemo& memo, PyRef& out) {
    PyRef dict;
    // The reader may have read a tag of one attribute already, as the pass over it would.
    if (leaf.has_read_attribute() ? add_attribute(leaf.read_attribute(), memo, 0, dict, 0) == Status::Failed
                                  : fill_attributes(leaf.leaf_tag(), memo, dict, 0) == Status::Failed)
      return Status::Failed;
    if (leaf.bytes().empty()) {
      out = dict ? std::move(dict) : new_dict();
      return Status::Ok;
    }
    PyRef text;
    if (leaf_text(leaf, text) == Status::Failed) return Status::Failed;
    if (!dict) {
      out = std::move(text);
      return Status::Ok;
    }
    if (PyDict_SetItem(dict.get(), text_key(), text.get()) < 0) return failed_on_pending_error();
    out = std::move(dict);
    return Status::Ok;
  }

  // The text of a leaf: a str, or an empty dictionary when it has none.
  [[gnu::always_inline]] Status leaf_text(const Event& leaf, PyRef& out) {
    const View text = leaf.bytes();
    if (text.empty()) {
      out = new_dict();
      return Status::Ok;
    }
    // The reader scanned the text while finding its end.
    if (!leaf.has_text_scan()) return text_value(text, out);
    if constexpr (reader::kIsUtf8<Unit>) {
      return scanned_text(text, leaf.text_scan(), out);
    } else {
      const reader::UnitScan scan = leaf.unit_scan();
      if (scan.has_reference) return text_with_references(text, out, 0, leaf.unit_bits());
      out = plain_string(text, scan.bits);
    }
    return Status::Ok;
  }

  // The str of a UTF-8 text that the reader scanned while finding its end.
  [[gnu::always_inline]] Status scanned_text(View text, reader::TextScan scan, PyRef& out)
    requires reader::kIsUtf8<Unit>
  {
    // (Its ASCII flag is not passed on: the run's loop, which comes here, keeps tighter without
    // it, and the pass over a UTF-8 text's bytes that it would save is short.)
    if (scan.has_reference) return text_with_references(text, out, 0);
    out = plain_string(text, scan.ascii);
    return Status::Ok;
  }

  void on_text(View text) {
    PyRef value;
    if (text_value(text, value) == Status::Failed) return;
    PyObject* target = current_dict();
    if (!open_.empty()) open_.back().may_hold_text = true;
    if (PyDict_SetItem(target, text_key(), value.get()) < 0) std::ignore = failed_on_pending_error();
  }

  // The two common cases inline: the next of a run of siblings, the first thing an element
  // holds.
  [[gnu::always_inline]] Status store(PyObject* key, PyObject* value) {
    if (!open_.empty()) {
      OpenElement<Unit>& element = open_.back();
      if (key == element.list_key) {
        if (!py::list_append(element.list, value)) return failed_on_pending_error();
        return Status::Ok;
      }
      if (PyDict_GET_SIZE(element.dict.get()) == 0) {
        // Its dictionary has nothing to merge with.
        if (may_be_text_key(key)) element.may_hold_text = true;  // an element "#text"
        if (PyDict_SetItem(element.dict.get(), key, value) < 0) return failed_on_pending_error();
        return Status::Ok;
      }
      if (!is_at_key(key) && !may_be_text_key(key)) {
        // Merges over no attribute and is no "#text": inserted unless present, else joined with
        // what is there in a list, which the next siblings of its name then append to.
        const Py_ssize_t before = PyDict_GET_SIZE(element.dict.get());
        PyObject* stored = PyDict_SetDefault(element.dict.get(), key, value);
        if (stored == nullptr) return failed_on_pending_error();
        if (PyDict_GET_SIZE(element.dict.get()) != before) return Status::Ok;
        return join_repeated(element, key, stored, value);
      }
    } else if (PyDict_GET_SIZE(top_.get()) == 0) {
      // The document's element, the first thing the result holds.
      if (PyDict_SetItem(top_.get(), key, value) < 0) return failed_on_pending_error();
      return Status::Ok;
    }
    return store_by_rules(key, value);
  }

  [[gnu::noinline]] Status join_repeated(OpenElement<Unit>& element, PyObject* key, PyObject* stored,
                                         PyObject* value) {
    PyObject* list = nullptr;
    auto joined = join_present(element.dict.get(), key, stored, value, &list);
    if (joined.is_err()) return failed(std::move(joined).error());
    element.list_key = key;
    element.list = list;
    return Status::Ok;
  }

  [[gnu::noinline]] Status store_by_rules(PyObject* key, PyObject* value) {
    if (!open_.empty() && open_.back().has_attributes && is_at_key(key)) {
      // The content is merged over the attributes: the first content value of a key that an
      // attribute already has replaces the attribute's value (in its place) rather than
      // joining it in a list.
      OpenElement<Unit>& element = open_.back();
      if (!element.at_keys) element.at_keys = std::make_unique<std::unordered_set<PyObject*>>();
      if (element.at_keys->insert(key).second) {
        int present = PyDict_Contains(element.dict.get(), key);
        if (present < 0) return failed_on_pending_error();
        if (present == 1) {
          if (PyDict_SetItem(element.dict.get(), key, value) < 0) return failed_on_pending_error();
          return Status::Ok;
        }
      }
    }
    PyObject* target = current_dict();
    if (!open_.empty() && may_be_text_key(key)) open_.back().may_hold_text = true;  // an element "#text"
    PyObject* list = nullptr;
    auto stored = update_dict(target, key, value, &list);
    if (stored.is_err()) return failed(std::move(stored).error());
    if (list != nullptr && !open_.empty() && !is_at_key(key) && !may_be_text_key(key)) {
      open_.back().list_key = key;
      open_.back().list = list;
    }
    return Status::Ok;
  }

  static bool may_be_text_key(PyObject* key) {
    return PyUnicode_GET_LENGTH(key) == 5 && PyUnicode_READ_CHAR(key, 0) == '#';
  }

  static bool is_at_key(PyObject* key) {
    return PyUnicode_GET_LENGTH(key) > 0 && PyUnicode_READ_CHAR(key, 0) == '@';
  }

  CollectorPause collector_pause_;
  reader::BasicReader<Unit> reader_;
  KeyCache keys_;
  // Views into the input and keys borrowed from the cache: by a cheap digest of the element
  // name, and of the attribute name.
  ElementMemo recent_elements_[kRecentElements];
  // (Their keys apart, so that a call clears them in a few stores.)
  WrittenName recent_attribute_names_[kRecentAttributeNames];
  PyObject* recent_attribute_keys_[kRecentAttributeNames] = {};
  std::vector<reader::FoundReference> references_;  // of the text being made, kept for its room
  PyRef top_;
  std::vector<OpenElement<Unit>> open_;
  View top_qname_;
  std::string deferred_;
  std::size_t skip_depth_ = 0;  // nonzero while skipping to the top-level end tag
  std::uint8_t bare_tag_retries_ = 0;
  std::uint64_t next_signal_check_ = kSignalCheckInterval;
};

}  // namespace

py::PyResult<py::PyRef> parse_document(std::string_view text) { return Walk<char>(text).run(); }
py::PyResult<py::PyRef> parse_document(std::u8string_view text) { return Walk<char8_t>(text).run(); }
py::PyResult<py::PyRef> parse_document(std::u16string_view text) { return Walk<char16_t>(text).run(); }
py::PyResult<py::PyRef> parse_document(std::u32string_view text) { return Walk<char32_t>(text).run(); }

}  // namespace velmora::convert
