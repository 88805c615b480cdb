// The conversion's dictionary keys: the per-call name table and the "#text" key.
#include "convert/key_cache.h"

#include <cstring>
#include <string>
#include <utility>

#include "cpython/api_failure.h"
#include "cpython/strings.h"

namespace velmora::convert {

py::PyRef& NameTable::find_or_insert(std::string_view name) {
  if (2 * (used_ + 1) > slots_.size()) grow();
  const std::uint64_t hash = hash_name(name, key_);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    Slot& slot = slots_[i];
    if (slot.data == nullptr) {
      slot = Slot{name.data(), name.size(), hash, {}};
      ++used_;
      return slot.value;
    }
    if (slot.hash == hash && slot.size == name.size() &&
        std::memcmp(slot.data, name.data(), name.size()) == 0) {
      return slot.value;
    }
  }
}

void NameTable::grow() {
  std::vector<Slot> old(slots_.size() * 2);
  old.swap(slots_);
  const std::size_t mask = slots_.size() - 1;
  for (Slot& slot : old) {
    if (slot.data == nullptr) continue;
    std::size_t i = slot.hash & mask;
    while (slots_[i].data != nullptr) i = (i + 1) & mask;
    slots_[i] = std::move(slot);
  }
}

PyObject* KeyCache::element_key(std::string_view local_name) {
  py::PyRef& key = elements_.find_or_insert(local_name);
  if (!key) key = py::new_string(local_name);
  return key.get();
}

PyObject* KeyCache::attribute_key(std::string_view local_name) {
  py::PyRef& key = attributes_.find_or_insert(local_name);
  if (!key) {
    std::string text;
    text.reserve(local_name.size() + 1);
    text += '@';
    text += local_name;
    key = py::new_string(text);
  }
  return key.get();
}

PyObject* text_key() {
  // Made once per process and kept; the interpreter lock serialises the first use.
  static PyObject* key = [] {
    PyObject* k = PyUnicode_InternFromString("#text");
    if (k == nullptr) py::panic_after_error();
    return k;
  }();
  return key;
}

}  // namespace velmora::convert
