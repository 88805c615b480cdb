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

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "convert/key_cache.h"
#include "convert/merge.h"
#include "convert/python_api.h"
#include "module/pyerr.h"
#include "module/text.h"
#include "module/failure.h"
#include "reader/reader.h"
#include "reader/unescape.h"

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

// Unescaping of text and attribute values. Their UTF-8 check cannot fail here: the input is
// valid UTF-8 and every cut lies next to an ASCII byte. Checking the two cut points keeps the
// guarantee without another pass over the text.
bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Whether the last character of `raw` is whole (its lead byte announces what follows it).
bool ends_complete(std::string_view raw) {
  std::size_t trail = 0;
  while (trail < raw.size() && trail < 4 && is_continuation(raw[raw.size() - 1 - trail])) ++trail;
  if (trail == raw.size()) return trail == 0;
  const auto lead = static_cast<unsigned char>(raw[raw.size() - 1 - trail]);
  const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
  return length == trail + 1;
}

reader::Result<reader::CowText, Error> unescape_checked(std::string_view raw) {
  if (!raw.empty() && (is_continuation(raw.front()) || !ends_complete(raw))) {
    return reader::unescape(raw);  // reports the exact NonDecodable error
  }
  auto result = reader::unescape_with(raw);
  if (result.is_err()) {
    return reader::Result<reader::CowText, Error>::err(Error::escape_error(std::move(result).error()));
  }
  return reader::Result<reader::CowText, Error>::ok(std::move(result).value());
}

struct OpenElement {
  std::string_view qname;       // as written, for the missing-end-tag message
  PyObject* key;                // borrowed from the key cache
  // The element's dictionary: its attributes first, then what its content converts to. Made
  // only once needed: an element that holds nothing but text keeps that text in `text`.
  Ref dict;
  Ref text;
  const char* content_start;    // first byte after the start tag's ">"
  bool has_attributes;
  // Content keys beginning with "@" seen so far (only these can meet an attribute's key).
  std::unique_ptr<std::unordered_set<PyObject*>> at_keys;
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
  // The dictionary that the content being read goes into (made now if still pending).
  PyObject* current_dict() {
    if (open_.empty()) return top_.get();
    OpenElement& element = open_.back();
    if (!element.dict) {
      element.dict = new_dict();
      if (element.text) {
        Ref text = std::move(element.text);
        if (PyDict_SetItem(element.dict.get(), text_key(), text.get()) < 0) {
          content_failure(unwrap_message_for_pending_error());
          return nullptr;
        }
      }
    }
    return element.dict.get();
  }

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

  // Puts the tag's attributes into `dict` (made on the first item when null). Answers whether
  // the tag had attribute items at all; on a failure sets `failed`.
  bool fill_attributes(const BytesStart& tag, Ref& dict, std::size_t unpushed, bool& failed) {
    failed = false;
    Attributes items = tag.attributes();
    auto item = items.next();
    if (!item) return false;
    if (!dict) dict = new_dict();
    std::size_t position = 0;
    for (; item; item = items.next()) {
      if (item->is_err()) {
        content_failure(unwrap_message(item->error()), unpushed);
        failed = true;
        return true;
      }
      const reader::Attribute& attribute = item->value();
      PyObject* key = attribute_key(attribute.key.local_name(), position++);
      auto value = unescape_checked(attribute.value);
      if (value.is_err()) {
        content_failure(unwrap_message(value.error()), unpushed);
        failed = true;
        return true;
      }
      Ref text = py::new_string_ref(value.value().view());
      if (PyDict_SetItem(dict.get(), key, text.get()) < 0) {
        content_failure(unwrap_message_for_pending_error(), unpushed);
        failed = true;
        return true;
      }
    }
    return true;
  }

  // Tags of one kind tend to repeat their attributes in the same order: compare with the key
  // seen at this position last time before asking the cache.
  PyObject* attribute_key(std::string_view local_name, std::size_t position) {
    if (position < recent_attribute_keys_.size()) {
      auto& [name, key] = recent_attribute_keys_[position];
      if (name == local_name) return key;
      key = keys_.attribute_key(local_name);
      name = local_name;
      return key;
    }
    PyObject* key = keys_.attribute_key(local_name);
    if (position == recent_attribute_keys_.size() && position < kRecentAttributes) {
      recent_attribute_keys_.emplace_back(local_name, key);
    }
    return key;
  }

  void on_start(const BytesStart& tag) {
    std::string_view qname = tag.name();
    PyObject* key = keys_.element_key(QName{qname}.local_name());
    if (open_.empty()) top_qname_ = qname;
    Ref dict;
    bool failed = false;
    bool has_attributes = fill_attributes(tag, dict, 1, failed);
    if (failed) return;
    const char* content_start = reader_.unread().data();
    open_.push_back(OpenElement{qname, key, std::move(dict), {}, content_start, has_attributes, {}});
  }

  void on_empty(const BytesStart& tag) {
    PyObject* key = keys_.element_key(QName{tag.name()}.local_name());
    Ref value;
    bool failed = false;
    fill_attributes(tag, value, 0, failed);
    if (failed) return;
    if (!value) value = Ref::borrow(Py_None);
    store(key, value.get());
  }

  void on_end() {
    OpenElement element = std::move(open_.back());
    open_.pop_back();
    if (!element.dict) {  // nothing but text, or nothing at all
      Ref value = element.text ? std::move(element.text) : new_dict();
      store(element.key, value.get());
      return;
    }
    CollapseResult value = collapse_text_only(element.dict.get());
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
    auto unescaped = unescape_checked(text);
    if (unescaped.is_err()) return content_failure(unwrap_message(unescaped.error()));
    Ref value = py::new_string_ref(unescaped.value().view());
    if (!open_.empty() && !open_.back().dict) {
      open_.back().text = std::move(value);  // a later text replaces it, as in a dictionary
      return;
    }
    if (PyDict_SetItem(current_dict(), text_key(), value.get()) < 0) {
      content_failure(unwrap_message_for_pending_error());
    }
  }

  void store(PyObject* key, PyObject* value) {
    if (!open_.empty() && open_.back().has_attributes && is_at_key(key)) {
      // The content is merged over the attributes: the first content value of a key that an
      // attribute already has replaces the attribute's value (in its place) rather than
      // joining it in a list.
      OpenElement& element = open_.back();
      if (!element.at_keys) element.at_keys = std::make_unique<std::unordered_set<PyObject*>>();
      if (element.at_keys->insert(key).second) {
        int present = PyDict_Contains(element.dict.get(), key);
        if (present < 0) return content_failure(unwrap_message_for_pending_error());
        if (present == 1) {
          if (PyDict_SetItem(element.dict.get(), key, value) < 0) {
            content_failure(unwrap_message_for_pending_error());
          }
          return;
        }
      }
    }
    PyObject* target = current_dict();
    if (target == nullptr) return;  // a failure is already kept
    if (auto message = update_dict(target, key, value)) content_failure(std::move(*message));
  }

  static bool is_at_key(PyObject* key) {
    return PyUnicode_GET_LENGTH(key) > 0 && PyUnicode_READ_CHAR(key, 0) == '@';
  }

  CollectorPause collector_pause_;
  reader::Reader reader_;
  KeyCache keys_;
  // Views into the input and keys borrowed from the cache, by attribute position.
  static constexpr std::size_t kRecentAttributes = 32;
  std::vector<std::pair<std::string_view, PyObject*>> recent_attribute_keys_;
  Ref top_;
  std::vector<OpenElement> open_;
  std::string_view top_qname_;
  std::string deferred_;
  std::size_t skip_depth_ = 0;  // nonzero while skipping to the top-level end tag
};

}  // namespace

PyObject* parse_document(std::string_view text) { return Walk(text).run(); }

}  // namespace velmora::convert
