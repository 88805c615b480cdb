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

namespace {

template <reader::TextUnit Unit>
std::string_view as_bytes(reader::UnitView<Unit> name) {
  return std::string_view(reinterpret_cast<const char*>(name.data()), name.size() * sizeof(Unit));
}

template <reader::TextUnit Unit>
py::PyRef new_key(reader::UnitView<Unit> text) {
  if constexpr (reader::kIsUtf8<Unit>) return py::new_string(text);
  else return py::new_string_from_units(text);
}

}  // namespace

template <reader::TextUnit Unit>
PyObject* KeyCache::element_key(reader::UnitView<Unit> local_name) {
  py::PyRef& key = elements_.find_or_insert(as_bytes(local_name));
  if (!key) key = new_key(local_name);
  return key.get();
}

template <reader::TextUnit Unit>
PyObject* KeyCache::attribute_key(reader::UnitView<Unit> local_name) {
  py::PyRef& key = attributes_.find_or_insert(as_bytes(local_name));
  if (!key) {
    std::basic_string<Unit> text;
    text.reserve(local_name.size() + 1);
    text += Unit('@');
    text += local_name;
    key = new_key(reader::UnitView<Unit>(text));
  }
  return key.get();
}

template PyObject* KeyCache::element_key(reader::UnitView<char>);
template PyObject* KeyCache::element_key(reader::UnitView<char8_t>);
template PyObject* KeyCache::element_key(reader::UnitView<char16_t>);
template PyObject* KeyCache::element_key(reader::UnitView<char32_t>);
template PyObject* KeyCache::attribute_key(reader::UnitView<char>);
template PyObject* KeyCache::attribute_key(reader::UnitView<char8_t>);
template PyObject* KeyCache::attribute_key(reader::UnitView<char16_t>);
template PyObject* KeyCache::attribute_key(reader::UnitView<char32_t>);

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
