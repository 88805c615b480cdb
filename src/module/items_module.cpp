// The private module `velmora_tools._items`: the item scanner as a Python type, `Scanner`.
//
// `Scanner(item_depth, parse)` is fed the UTF-8 bytes of a document chunk by chunk. Each feed()
// (and the last, finish()) answers the scanner itself, an iterator over the items those bytes
// complete, as (path, item) pairs: the item is `parse` of the element's own text, taken from
// under its name; the path holds one (local name, attributes or None) pair per enclosing
// element, the item's own last, each made as `parse` makes attributes. Pairs are made as they
// are asked for, so few of them are alive at once. The first failure stops the scanner and
// waits in `failure` for the Python side to raise: ("item", offset, exception) when parse
// rejected an item's text, ("tag", offset, exception) when it rejected an enclosing start tag,
// ("structure", message) for a fault outside every item and ("utf8", offset, bad bytes) for
// bytes that are not UTF-8.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cpython/pyerr.h"
#include "cpython/ref.h"
#include "module/frame.h"
#include "module/module_init.h"
#include "reader/errors.h"
#include "stream/item_scanner.h"

#ifdef Py_GIL_DISABLED
#error "velmora relies on the global interpreter lock: build it with a regular (not free-threaded) CPython"
#endif

namespace velmora::py {
namespace {

using stream::Step;
using stream::StepKind;

PyResult<PyRef> failed() { return PyResult<PyRef>::err(fetch_error()); }

PyRef new_str(std::string_view utf8) {
  return PyRef::steal(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict"));
}

// What a step leaves: go on; stop (a failure is recorded, or nothing is left to give); or an
// interpreter call failed, with its exception set.
enum class Outcome { Next, Stopped, ApiError };

struct ItemsState;

// The items found with no enclosing tag opened or closed between them, converted together:
// parse of their texts side by side gives one dictionary in which each local name holds its
// items in document order (a list when there are several), each exactly what the item's own
// text gives, while keys and the call are made once for all of them. When that parse fails,
// the items are converted one by one, so the failing item is found and named.
class Batch {
 public:
  // Texts much larger than this would be allocated and freed by mmap each time, costing page
  // faults, so a batch is closed once it holds this much.
  static constexpr std::size_t kTextBytes = 48 * 1024;

  // False for an item that must be converted alone: one named "#text" would meet the text
  // between items in the batch's dictionary.
  static bool joins(const Step& step);

  bool empty() const { return items_.empty(); }
  bool full() const { return bytes_ >= kTextBytes; }
  // Closed: no more items join; its pairs are being handed out.
  bool closed() const { return closed_; }
  void close() { closed_ = true; }

  // The texts are copied side by side only once a second item comes: one item, however large,
  // is converted from the scanner's buffer as it lies.
  void add(const Step& step) {
    if (items_.size() == 1) text_.append(items_[0].text);
    if (!items_.empty()) text_.append(step.text);
    items_.push_back(step);
    bytes_ += step.text.size();
  }

  // The next pair into `pair` (Next); Stopped once all are handed out (the batch is then empty
  // and open again) or at a failure (recorded in the state).
  Outcome next(ItemsState& st, PyRef& pair);
  void clear();

 private:
  struct Name {
    std::string_view local;
    std::size_t count = 0;
    PyObject* key = nullptr;    // borrowed from the batch's dictionary
    PyObject* value = nullptr;  // borrowed: the item's value, or the list of them
    Py_ssize_t next = 0;
  };

  bool convert_together(ItemsState& st);

  std::vector<Step> items_;
  std::string text_;
  std::size_t bytes_ = 0;
  bool closed_ = false;
  bool converted_ = false;
  bool alone_ = false;  // converted one by one
  PyRef tree_;
  std::vector<Name> names_;
  std::vector<std::size_t> which_;
  std::size_t next_ = 0;
};

// The state behind one Scanner object.
struct ItemsState {
  explicit ItemsState(std::size_t depth, PyObject* parse_function)
      : scanner(depth), parse(PyRef::borrow(parse_function)) {}

  stream::ItemScanner scanner;
  PyRef parse;
  std::vector<PyRef> open;  // the (name, attributes) pairs of the enclosing elements
  PyRef prefix;             // `open` as a tuple, made when first needed
  PyRef failure;            // None until the first failure
  bool closed = false;
  Batch batch;                // its steps point into the scanner's buffer: no feed until it is empty
  std::optional<Step> held;   // the step that closed the batch, taken after it
};

struct ScannerObject {
  PyObject_HEAD
  ItemsState* state;
};

// parse(text), or nothing with the exception it raised in `raised`.
PyRef call_parse(ItemsState& st, std::string_view utf8, PyRef& raised) {
  PyRef text = new_str(utf8);
  if (!text) {
    raised = PyRef::steal(PyErr_GetRaisedException());
    return PyRef();
  }
  PyObject* args[] = {text.get()};
  PyRef result = PyRef::steal(PyObject_Vectorcall(st.parse.get(), args, 1, nullptr));
  if (!result) raised = PyRef::steal(PyErr_GetRaisedException());
  return result;
}

// The one (key, value) of what parse made of one element's text.
bool only_entry(PyObject* tree, PyObject** key, PyObject** value) {
  Py_ssize_t at = 0;
  return PyDict_Check(tree) && PyDict_GET_SIZE(tree) == 1 && PyDict_Next(tree, &at, key, value);
}

// The failure of an item or a start tag rejected by parse: kind, offset and the exception.
bool set_raised(ItemsState& st, const char* kind, std::uint64_t offset, PyRef raised) {
  st.failure = PyRef::steal(Py_BuildValue("(sKO)", kind, static_cast<unsigned long long>(offset),
                                          raised ? raised.get() : Py_None));
  return static_cast<bool>(st.failure);
}

bool set_structure(ItemsState& st, const Step& step) {
  std::string message = "Error at position " + std::to_string(step.offset) + ": ";
  if (step.error) reader::print(message, *step.error);
  st.failure = PyRef::steal(Py_BuildValue("(ss#)", "structure", message.data(), static_cast<Py_ssize_t>(message.size())));
  return static_cast<bool>(st.failure);
}

// The (name, attributes) pair of a start tag: parse of it as an empty-element tag.
PyRef tag_entry(ItemsState& st, std::string_view tag, PyRef& raised) {
  std::string empty_tag;
  empty_tag.reserve(tag.size() + 3);
  empty_tag.append("<").append(tag).append("/>");
  PyRef tree = call_parse(st, empty_tag, raised);
  if (!tree) return PyRef();
  PyObject *key, *value;
  if (!only_entry(tree.get(), &key, &value)) {
    PyErr_SetString(PyExc_RuntimeError, "velmora_tools: a start tag did not convert to one entry");
    raised = PyRef::steal(PyErr_GetRaisedException());
    return PyRef();
  }
  return PyRef::steal(PyTuple_Pack(2, key, value));
}

// The attributes of an item whose text parse accepted, as parse makes them: the value's leading
// "@" entries, since an element's dictionary holds its attributes first and no content key
// begins with "@" unless a child element's local name does; then parse of the start tag alone
// tells them apart.
PyRef item_attributes(ItemsState& st, const Step& step, PyObject* value, PyRef& raised) {
  if (!PyDict_Check(value)) return PyRef::borrow(Py_None);  // text or nothing: no attributes
  if (step.at_named_child) {
    PyRef entry = tag_entry(st, step.tag, raised);
    if (!entry) return PyRef();
    return PyRef::borrow(PyTuple_GET_ITEM(entry.get(), 1));
  }
  PyRef attrs;
  Py_ssize_t at = 0;
  PyObject *k, *v;
  while (PyDict_Next(value, &at, &k, &v)) {
    if (PyUnicode_GET_LENGTH(k) == 0 || PyUnicode_READ_CHAR(k, 0) != '@') break;
    if (!attrs) {
      attrs = PyRef::steal(PyDict_New());
      if (!attrs) return PyRef();
    }
    if (PyDict_SetItem(attrs.get(), k, v) < 0) return PyRef();
  }
  return attrs ? std::move(attrs) : PyRef::borrow(Py_None);
}

// The enclosing elements' pairs as a tuple, with `own` added at the end.
PyRef item_path(ItemsState& st, PyObject* own) {
  if (!st.prefix) {
    st.prefix = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(st.open.size())));
    if (!st.prefix) return PyRef();
    for (std::size_t i = 0; i < st.open.size(); ++i)
      PyTuple_SET_ITEM(st.prefix.get(), static_cast<Py_ssize_t>(i), Py_NewRef(st.open[i].get()));
  }
  const Py_ssize_t n = PyTuple_GET_SIZE(st.prefix.get());
  PyRef path = PyRef::steal(PyTuple_New(n + 1));
  if (!path) return PyRef();
  for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(path.get(), i, Py_NewRef(PyTuple_GET_ITEM(st.prefix.get(), i)));
  PyTuple_SET_ITEM(path.get(), n, Py_NewRef(own));
  return path;
}

// The (path, item) pair of an item whose text parse converted to `name` and `value`.
Outcome make_pair(ItemsState& st, const Step& step, PyObject* name, PyObject* value, PyRef& pair) {
  PyRef raised;
  PyRef attrs = item_attributes(st, step, value, raised);
  if (!attrs) {
    if (!raised) return Outcome::ApiError;
    return set_raised(st, "item", step.offset, std::move(raised)) ? Outcome::Stopped : Outcome::ApiError;
  }
  PyRef own = PyRef::steal(PyTuple_Pack(2, name, attrs.get()));
  if (!own) return Outcome::ApiError;
  PyRef path = item_path(st, own.get());
  if (!path) return Outcome::ApiError;
  pair = PyRef::steal(PyTuple_Pack(2, path.get(), value));
  return pair ? Outcome::Next : Outcome::ApiError;
}

// One item converted on its own.
Outcome convert_alone(ItemsState& st, const Step& step, PyRef& pair) {
  PyRef raised;
  PyRef tree = call_parse(st, step.text, raised);
  if (!tree) return set_raised(st, "item", step.offset, std::move(raised)) ? Outcome::Stopped : Outcome::ApiError;
  PyObject *name, *value;
  if (!only_entry(tree.get(), &name, &value)) {
    PyErr_SetString(PyExc_RuntimeError, "velmora_tools: an item did not convert to one entry");
    return Outcome::ApiError;
  }
  return make_pair(st, step, name, value, pair);
}

std::string_view local_name(std::string_view qualified) {
  const std::size_t colon = qualified.find(':');
  return colon == std::string_view::npos ? qualified : qualified.substr(colon + 1);
}

bool Batch::joins(const Step& step) { return local_name(step.tag.substr(0, step.name_len)) != "#text"; }

void Batch::clear() {
  items_.clear();
  text_.clear();
  bytes_ = 0;
  closed_ = converted_ = alone_ = false;
  tree_.reset();
  names_.clear();
  which_.clear();
  next_ = 0;
}

// Parses the batch's text and matches its dictionary with the items; false when they cannot be
// told apart (text between the items, a failure), for converting them one by one instead.
bool Batch::convert_together(ItemsState& st) {
  PyRef raised;
  tree_ = call_parse(st, text_, raised);
  if (!tree_ || !PyDict_Check(tree_.get())) return false;
  which_.resize(items_.size());
  for (std::size_t i = 0; i < items_.size(); ++i) {
    const std::string_view local = local_name(items_[i].tag.substr(0, items_[i].name_len));
    std::size_t n = 0;
    while (n < names_.size() && names_[n].local != local) ++n;
    if (n == names_.size()) names_.push_back(Name{local});
    ++names_[n].count;
    which_[i] = n;
  }
  if (PyDict_GET_SIZE(tree_.get()) != static_cast<Py_ssize_t>(names_.size())) return false;
  Py_ssize_t at = 0;
  PyObject *key, *value;
  while (PyDict_Next(tree_.get(), &at, &key, &value)) {
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &len);
    if (utf8 == nullptr) {
      PyErr_Clear();
      return false;
    }
    Name* name = nullptr;
    for (Name& n : names_)
      if (n.local == std::string_view(utf8, static_cast<std::size_t>(len))) name = &n;
    if (name == nullptr || name->key != nullptr) return false;
    if (name->count > 1 && !(PyList_Check(value) && PyList_GET_SIZE(value) == static_cast<Py_ssize_t>(name->count)))
      return false;
    name->key = key;
    name->value = value;
  }
  return true;
}

Outcome Batch::next(ItemsState& st, PyRef& pair) {
  if (!converted_) {
    converted_ = true;
    alone_ = items_.size() == 1 || !convert_together(st);
  }
  if (next_ == items_.size()) {
    clear();
    return Outcome::Stopped;
  }
  const std::size_t i = next_++;
  if (alone_) return convert_alone(st, items_[i], pair);
  Name& name = names_[which_[i]];
  PyObject* value = name.count == 1 ? name.value : PyList_GET_ITEM(name.value, name.next++);
  return make_pair(st, items_[i], name.key, value, pair);
}

// A step that is not an item joining a batch: Next with `pair` set for an item converted
// alone, Next without it after an enclosing tag, Stopped at a failure.
Outcome take_step(ItemsState& st, const Step& step, PyRef& pair) {
  switch (step.kind) {
    case StepKind::Item:
      return convert_alone(st, step, pair);
    case StepKind::Open: {
      PyRef raised;
      PyRef entry = tag_entry(st, step.tag, raised);
      if (!entry) {
        if (!raised) return Outcome::ApiError;
        return set_raised(st, "tag", step.offset, std::move(raised)) ? Outcome::Stopped : Outcome::ApiError;
      }
      st.open.push_back(std::move(entry));
      st.prefix.reset();
      return Outcome::Next;
    }
    case StepKind::Close:
      if (!st.open.empty()) st.open.pop_back();
      st.prefix.reset();
      return Outcome::Next;
    case StepKind::ItemError: {
      // The scanner found the fault; parse of the item's text up to it gives the message.
      PyRef raised;
      PyRef tree = call_parse(st, step.text, raised);
      if (!tree) return set_raised(st, "item", step.offset, std::move(raised)) ? Outcome::Stopped : Outcome::ApiError;
      // parse accepted it after all: report the scanner's own finding.
      return set_structure(st, step) ? Outcome::Stopped : Outcome::ApiError;
    }
    case StepKind::Error:
      return set_structure(st, step) ? Outcome::Stopped : Outcome::ApiError;
    case StepKind::BadUtf8:
      st.failure = PyRef::steal(Py_BuildValue("(sKy#)", "utf8", static_cast<unsigned long long>(step.offset),
                                              step.text.data(), static_cast<Py_ssize_t>(step.text.size())));
      return st.failure ? Outcome::Stopped : Outcome::ApiError;
    case StepKind::NeedMore:
    case StepKind::Done:
      return Outcome::Stopped;
  }
  return Outcome::Stopped;
}

// The next pair, or nothing once the bytes fed so far hold no more (or at a failure).
PyResult<PyRef> next_pair(ItemsState& st) {
  for (;;) {
    if (st.closed || st.failure) return PyResult<PyRef>::ok(PyRef());
    PyRef pair;
    if (st.batch.closed()) {
      const Outcome outcome = st.batch.next(st, pair);
      if (outcome == Outcome::ApiError) return failed();
      if (outcome == Outcome::Next) return PyResult<PyRef>::ok(std::move(pair));
      continue;  // handed out, or failed (then the loop ends above)
    }
    Step step;
    if (st.held) {
      step = std::move(*st.held);
      st.held.reset();
    } else {
      step = st.scanner.next();
      const bool last = step.kind == StepKind::NeedMore || step.kind == StepKind::Done;
      if (step.kind == StepKind::Item && Batch::joins(step)) {
        st.batch.add(step);
        if (st.batch.full()) st.batch.close();
        continue;
      }
      if (!st.batch.empty()) {  // the items before this step see the enclosing elements as they were
        if (!last) st.held = std::move(step);
        st.batch.close();
        continue;
      }
      if (last) return PyResult<PyRef>::ok(PyRef());
    }
    const Outcome outcome = take_step(st, step, pair);
    if (outcome == Outcome::ApiError) return failed();
    if (pair) return PyResult<PyRef>::ok(std::move(pair));
  }
}

ItemsState* state_of(PyObject* self) { return reinterpret_cast<ScannerObject*>(self)->state; }

PyObject* scanner_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return trampoline([&]() -> PyResult<PyRef> {
    static const char* keywords[] = {"item_depth", "parse", nullptr};
    Py_ssize_t depth = 0;
    PyObject* parse = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "nO:Scanner", const_cast<char**>(keywords), &depth, &parse))
      return failed();
    if (depth < 1) {
      PyErr_SetString(PyExc_ValueError, "item_depth must be 1 or more");
      return failed();
    }
    PyRef self = PyRef::steal(type->tp_alloc(type, 0));
    if (!self) return failed();
    reinterpret_cast<ScannerObject*>(self.get())->state = new ItemsState(static_cast<std::size_t>(depth), parse);
    return PyResult<PyRef>::ok(std::move(self));
  });
}

void scanner_dealloc(PyObject* self) {
  delete state_of(self);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// The items of the bytes fed are taken before more are fed: they point into the buffer.
bool ready_for_bytes(ItemsState& st) {
  if (st.batch.empty() && !st.held) return true;
  PyErr_SetString(PyExc_RuntimeError, "Scanner: the items of the bytes fed before were not all taken");
  return false;
}

PyObject* scanner_feed(PyObject* self, PyObject* data) {
  return trampoline([&]() -> PyResult<PyRef> {
    ItemsState& st = *state_of(self);
    if (!ready_for_bytes(st)) return failed();
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return failed();
    if (!st.closed && !st.failure)
      st.scanner.feed(std::string_view(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)));
    PyBuffer_Release(&view);
    return PyResult<PyRef>::ok(PyRef::borrow(self));
  });
}

PyObject* scanner_finish(PyObject* self, PyObject*) {
  return trampoline([&]() -> PyResult<PyRef> {
    ItemsState& st = *state_of(self);
    if (!ready_for_bytes(st)) return failed();
    if (!st.closed) st.scanner.finish();
    return PyResult<PyRef>::ok(PyRef::borrow(self));
  });
}

PyObject* scanner_iter(PyObject* self) { return Py_NewRef(self); }

PyObject* scanner_iternext(PyObject* self) {
  return trampoline([&]() -> PyResult<PyRef> {
    auto pair = next_pair(*state_of(self));
    if (pair && !pair.value()) {
      PyErr_SetNone(PyExc_StopIteration);
      return failed();
    }
    return pair;
  });
}

PyObject* scanner_close(PyObject* self, PyObject*) {
  return trampoline([&]() -> PyResult<PyRef> {
    ItemsState& st = *state_of(self);
    st.closed = true;
    st.batch.clear();
    st.held.reset();
    st.scanner.release();
    st.open.clear();
    st.prefix.reset();
    return PyResult<PyRef>::ok(PyRef::borrow(Py_None));
  });
}
PyObject* scanner_failure(PyObject* self, void*) {
  return trampoline([&]() -> PyResult<PyRef> {
    ItemsState& st = *state_of(self);
    return PyResult<PyRef>::ok(PyRef::borrow(st.failure ? st.failure.get() : Py_None));
  });
}

PyObject* scanner_buffered(PyObject* self, void*) {
  return trampoline([&]() -> PyResult<PyRef> {
    PyRef n = PyRef::steal(PyLong_FromSize_t(state_of(self)->scanner.buffered()));
    if (!n) return failed();
    return PyResult<PyRef>::ok(std::move(n));
  });
}

PyMethodDef scanner_methods[] = {
    {"feed", scanner_feed, METH_O, "Scan the next bytes; the scanner, iterating the items they complete."},
    {"finish", scanner_finish, METH_NOARGS, "End of the document; the scanner, iterating the last items."},
    {"close", scanner_close, METH_NOARGS, "Free the buffer; nothing more is scanned."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef scanner_getset[] = {
    {"failure", scanner_failure, nullptr, "The first failure, or None.", nullptr},
    {"buffered", scanner_buffered, nullptr, "Bytes the scanner holds.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot scanner_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(scanner_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(scanner_dealloc)},
    {Py_tp_methods, scanner_methods},
    {Py_tp_getset, scanner_getset},
    {Py_tp_iter, reinterpret_cast<void*>(scanner_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(scanner_iternext)},
    {Py_tp_doc, const_cast<char*>("Scanner(item_depth, parse): the items of a document fed in chunks.")},
    {0, nullptr},
};

PyType_Spec scanner_spec = {
    "velmora_tools._items.Scanner",
    sizeof(ScannerObject),
    0,
    Py_TPFLAGS_DEFAULT,
    scanner_slots,
};

PyModuleDef items_module = {
    PyModuleDef_HEAD_INIT,
    "velmora_tools._items",
    "The item scanner behind velmora_tools.iterparse.",
    -1,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace velmora::py

PyMODINIT_FUNC PyInit__items(void) {
  using namespace velmora::py;
  return trampoline([]() -> PyResult<PyRef> {
    PyRef module = PyRef::steal(PyModule_Create(&items_module));
    if (!module) return failed();
    PyRef type = PyRef::steal(PyType_FromSpec(&scanner_spec));
    if (!type || PyModule_AddObjectRef(module.get(), "Scanner", type.get()) < 0) return failed();
    forget_kept_objects_at_interpreter_end(nullptr);
    return PyResult<PyRef>::ok(std::move(module));
  });
}
