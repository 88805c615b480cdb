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
// - a reader over an element's content drops a byte order mark at the very start of it.
#include "convert/walk.h"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "convert/key_cache.h"
#include "convert/merge.h"
#include "convert/python_api.h"
#include "module/failure.h"
#include "reader/reader.h"

namespace velmora::convert {
namespace {

using reader::Attributes;
using reader::BytesStart;
using reader::Error;
using reader::Event;
using reader::EventKind;
using reader::QName;

constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool is_whitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string unwrap_message(const auto& error) {
  std::string m(kUnwrapFrame);
  reader::print(m, error);
  return m;
}

struct OpenElement {
  std::string_view qname;       // as written, for the missing-end-tag message
  PyObject* key;                // borrowed from the key cache
  Ref attributes;               // null when the start tag had no attribute items
  Ref content;                  // what the element's content converts to
  const char* content_start;    // first byte after the start tag's ">"
};

// The walk makes no reference cycles, yet every container it makes counts toward the cyclic
// collector's thresholds, which would otherwise traverse the growing tree again and again.
// The call holds the interpreter lock throughout, so no other code sees the pause.
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

class Walk {
 public:
  explicit Walk(std::string_view text) : reader_(text), top_(new_dict()) {}

  PyObject* run() {
    for (;;) {
      auto result = reader_.read_event_impl();
      if (result.is_err()) on_reader_error(result.error());
      const Event& event = result.value();
      if (event.kind() == EventKind::Eof) return finish();
      if (skip_depth_ > 0) {
        skip(event);
        continue;
      }
      switch (event.kind()) {
        case EventKind::Start: on_start(event.as_start()); break;
        case EventKind::Empty: on_empty(event.as_start()); break;
        case EventKind::End: on_end(); break;
        case EventKind::Text: on_text(event.bytes()); break;
        default: break;  // CDATA, comments, declarations, PIs and DOCTYPE leave no trace
      }
    }
  }

 private:
  [[noreturn]] void on_reader_error(const Error& error) {
    if (depth() == 0) {
      std::string m = "Error at position " + std::to_string(reader_.position()) + ": ";
      reader::print(m, error);
      fail(std::move(m));
    }
    fail(unwrap_message(error));
  }

  PyObject* finish() {
    if (depth() > 0) {
      std::string missing = "</";
      reader::print_quoted_text(missing, top_qname_);
      missing += '>';
      fail(unwrap_message(Error::unexpected_eof(std::move(missing))));
    }
    return top_.release();
  }

  std::size_t depth() const { return skip_depth_ > 0 ? skip_depth_ : open_.size(); }
  PyObject* current_dict() const { return open_.empty() ? top_.get() : open_.back().content.get(); }

  // A failure of the conversion proper: at once outside every element, else kept for the end
  // of the top-level element, after which nothing more is built. `unpushed` counts a start tag
  // that the reader has opened but the walk has not (it failed on that tag's attributes).
  void content_failure(std::string message, std::size_t unpushed = 0) {
    if (open_.empty()) fail(std::move(message));
    deferred_ = std::move(message);
    skip_depth_ = open_.size() + unpushed;
    open_.clear();
  }

  // After a kept failure: follow the nesting only, to find the top-level end tag.
  void skip(const Event& event) {
    if (event.kind() == EventKind::Start) {
      ++skip_depth_;
    } else if (event.kind() == EventKind::End && --skip_depth_ == 0) {
      fail(std::move(deferred_));
    }
  }

  // The attribute dictionary of a tag, or null when it has no attribute items at all.
  // On a failure answers null and sets `failed`.
  Ref attribute_dict(const BytesStart& tag, std::size_t unpushed, bool& failed) {
    failed = false;
    Attributes items = tag.attributes();
    auto item = items.next();
    if (!item) return {};
    Ref dict = new_dict();
    for (; item; item = items.next()) {
      if (item->is_err()) {
        content_failure(unwrap_message(item->error()), unpushed);
        failed = true;
        return {};
      }
      const reader::Attribute& attribute = item->value();
      PyObject* key = keys_.attribute_key(attribute.key.local_name());
      auto value = attribute.unescape_value();
      if (value.is_err()) {
        content_failure(unwrap_message(value.error()), unpushed);
        failed = true;
        return {};
      }
      Ref text = new_str(value.value().view());
      if (PyDict_SetItem(dict.get(), key, text.get()) < 0) {
        content_failure(unwrap_message_for_pending_error(), unpushed);
        failed = true;
        return {};
      }
    }
    return dict;
  }

  void on_start(const BytesStart& tag) {
    std::string_view qname = tag.name();
    PyObject* key = keys_.element_key(QName{qname}.local_name());
    if (open_.empty()) top_qname_ = qname;
    bool failed = false;
    Ref attributes = attribute_dict(tag, 1, failed);
    if (failed) return;
    const std::string_view unread = reader_.unread();
    open_.push_back(OpenElement{qname, key, std::move(attributes), new_dict(), unread.data()});
  }

  void on_empty(const BytesStart& tag) {
    PyObject* key = keys_.element_key(QName{tag.name()}.local_name());
    bool failed = false;
    Ref value = attribute_dict(tag, 0, failed);
    if (failed) return;
    if (!value) value = Ref::borrow(Py_None);
    store(key, value.get());
  }

  void on_end() {
    OpenElement element = std::move(open_.back());
    open_.pop_back();
    PyObject* merged = element.content.get();
    if (element.attributes) {
      if (PyDict_Update(element.attributes.get(), merged) < 0) {
        return content_failure(unwrap_message_for_pending_error());
      }
      merged = element.attributes.get();
    }
    CollapseResult value = collapse_text_only(merged);
    if (value.value == nullptr) return content_failure(std::move(value.message));
    Ref owned = Ref::steal(value.value);
    store(element.key, owned.get());
  }

  void on_text(std::string_view text) {
    // A reader over the element's content would drop a byte order mark at its very start,
    // and then the whitespace after it.
    if (!open_.empty() && text.data() == open_.back().content_start && text.starts_with(kBom)) {
      text.remove_prefix(kBom.size());
      while (!text.empty() && is_whitespace(text.front())) text.remove_prefix(1);
      if (text.empty()) return;
    }
    auto unescaped = reader::unescape(text);
    if (unescaped.is_err()) return content_failure(unwrap_message(unescaped.error()));
    Ref value = new_str(unescaped.value().view());
    if (PyDict_SetItem(current_dict(), text_key(), value.get()) < 0) {
      content_failure(unwrap_message_for_pending_error());
    }
  }

  void store(PyObject* key, PyObject* value) {
    if (auto message = update_dict(current_dict(), key, value)) content_failure(std::move(*message));
  }

  CollectorPause collector_pause_;
  reader::Reader reader_;
  KeyCache keys_;
  Ref top_;
  std::vector<OpenElement> open_;
  std::string_view top_qname_;
  std::string deferred_;
  std::size_t skip_depth_ = 0;  // nonzero while skipping to the top-level end tag
};

}  // namespace

PyObject* parse_document(std::string_view text) { return Walk(text).run(); }

}  // namespace velmora::convert
