// The level-by-level reference conversion (see reference_walk.h), for differential tests only.
#include "reference_walk.h"

#include <memory>
#include <string>
#include <vector>

#include "convert/key_cache.h"
#include "convert/messages.h"
#include "cpython/scope.h"
#include "cpython/strings.h"
#include "cpython/text.h"
#include "failure/failure.h"
#include "reader/reader.h"

namespace velmora::testing {
namespace {

using convert::kNoneUnwrap;
using reader::BytesStart;
using reader::EventKind;

std::string unwrap(const auto& error) { return convert::unwrap_message(error); }

// Objects are owned by the call's scope, as every object of the conversion is.
PyObject* str(std::string_view utf8) { return py::register_owned(py::new_string(utf8)); }
PyObject* new_scoped_dict() { return py::register_owned(py::PyRef::steal(PyDict_New())); }

std::string local_name_text(std::string_view qname) {
  auto name = reader::ln(reader::QName{qname});
  if (name.is_err()) fail(unwrap(name.error()));
  return std::move(name).value();
}

void update_dict(PyObject* target, std::string_view key_text, PyObject* value) {
  PyObject* key = str(key_text);
  int has = PyDict_Contains(target, key);
  if (has < 0) fail(convert::unwrap_message_for_pending_error());
  if (has == 0) {
    if (PyDict_SetItem(target, key, value) < 0) fail(convert::unwrap_message_for_pending_error());
    return;
  }
  PyObject* stored = PyDict_GetItemWithError(target, str(key_text));
  if (stored == nullptr) {
    if (PyErr_Occurred()) fail(convert::unwrap_message_for_pending_error());
    fail(std::string(kNoneUnwrap));
  }
  py::register_owned(py::PyRef::borrow(stored));
  PyObject* list;
  if (PyType_HasFeature(Py_TYPE(stored), Py_TPFLAGS_LIST_SUBCLASS)) {
    list = stored;
  } else {
    list = py::register_owned(py::PyRef::steal(PyList_New(1)));
    PyList_SET_ITEM(list, 0, Py_NewRef(stored));
  }
  if (PyList_Append(list, value) < 0) fail(convert::unwrap_message_for_pending_error());
  if (PyDict_SetItem(target, str(key_text), list) < 0) {
    fail(convert::unwrap_message_for_pending_error());
  }
}

// Counting pass, then a filling pass that stops at the first error. Null when no items.
PyObject* attribute_dict(const BytesStart& tag, bool always) {
  std::size_t count = 0;
  for (auto items = tag.attributes(); items.next();) ++count;
  if (count == 0 && !always) return nullptr;
  PyObject* dict = new_scoped_dict();
  if (count == 0) return dict;
  auto items = tag.attributes();
  while (auto item = items.next()) {
    if (item->is_err()) fail(unwrap(item->error()));
    const auto& attribute = item->value();
    PyObject* key = str("@" + local_name_text(attribute.key.bytes));
    auto value = attribute.unescape_value();
    if (value.is_err()) fail(unwrap(value.error()));
    if (PyDict_SetItem(dict, key, str(value.value().view())) < 0) {
      fail(convert::unwrap_message_for_pending_error());
    }
  }
  return dict;
}

struct Level {
  explicit Level(std::string_view input) : reader(input), dict(new_scoped_dict()) {}
  reader::Reader reader;
  PyObject* dict;
  std::string name;            // the element this level converts, for the parent
  PyObject* attributes = nullptr;
};

// The value of a converted element: its dictionary, or its text when that is all it holds.
PyObject* element_value(PyObject* element) {
  if (PyDict_GET_SIZE(element) != 1) return element;
  int has = PyDict_Contains(element, convert::text_key());
  if (has < 0) fail(convert::unwrap_message_for_pending_error());
  if (has == 0) return element;
  PyObject* text = PyDict_GetItemWithError(element, convert::text_key());
  if (text == nullptr) {
    if (PyErr_Occurred()) fail(convert::unwrap_message_for_pending_error());
    fail(std::string(kNoneUnwrap));
  }
  if (!PyType_HasFeature(Py_TYPE(text), Py_TPFLAGS_UNICODE_SUBCLASS)) {
    fail(convert::unwrap_message(py::downcast_error(text, "PyString")));
  }
  Py_ssize_t n = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &n);
  if (utf8 == nullptr) fail(convert::unwrap_message_for_pending_error());
  return str(std::string(utf8, static_cast<std::size_t>(n)));
}

}  // namespace

PyObject* reference_parse_document(std::string_view text) {
  std::vector<std::unique_ptr<Level>> levels;
  levels.push_back(std::make_unique<Level>(text));
  for (;;) {
    Level& level = *levels.back();
    auto result = level.reader.read_event_impl();
    if (result.is_err()) {
      fail(convert::position_message(level.reader.position(), result.error()));
    }
    const reader::Event& event = result.value();
    switch (event.kind()) {
      case EventKind::Start: {
        BytesStart tag = event.as_start();
        std::string name = local_name_text(tag.name());
        PyObject* attributes = attribute_dict(tag, true);
        auto content = level.reader.read_text(tag.name());
        if (content.is_err()) fail(unwrap(content.error()));
        auto child = std::make_unique<Level>(content.value());
        child->name = std::move(name);
        child->attributes = attributes;
        levels.push_back(std::move(child));
        break;
      }
      case EventKind::Empty: {
        BytesStart tag = event.as_start();
        std::string name = local_name_text(tag.name());
        PyObject* value = attribute_dict(tag, false);
        update_dict(level.dict, name, value ? value : Py_None);
        break;
      }
      case EventKind::Text: {
        auto unescaped = event.as_text().unescape();
        if (unescaped.is_err()) fail(unwrap(unescaped.error()));
        if (PyDict_SetItem(level.dict, convert::text_key(), str(unescaped.value().view())) < 0) {
          fail(convert::unwrap_message_for_pending_error());
        }
        break;
      }
      case EventKind::Eof: {
        if (levels.size() == 1) return Py_NewRef(level.dict);
        std::unique_ptr<Level> child = std::move(levels.back());
        levels.pop_back();
        if (PyDict_Update(child->attributes, child->dict) < 0) {
          fail(convert::unwrap_message_for_pending_error());
        }
        update_dict(levels.back()->dict, child->name, element_value(child->attributes));
        break;
      }
      default:
        break;
    }
  }
}

}  // namespace velmora::testing
