#include "convert/key_cache.h"

#include <cstring>
#include <string>

#include "convert/python_api.h"
#include "module/failure.h"
#include "reader/utf8.h"

namespace velmora::convert {

NameTable::~NameTable() {
  for (Slot& slot : slots_) Py_XDECREF(slot.value);
}

std::uint64_t NameTable::hash_of(std::string_view name) {
  // FNV-1a over the bytes, with a final mix; names are short.
  std::uint64_t h = 0xcbf29ce484222325ull ^ name.size();
  for (unsigned char c : name) h = (h ^ c) * 0x100000001b3ull;
  return h ^ (h >> 29);
}

PyObject*& NameTable::find_or_insert(std::string_view name) {
  if (2 * (used_ + 1) > slots_.size()) grow();
  const std::uint64_t hash = hash_of(name);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    Slot& slot = slots_[i];
    if (slot.data == nullptr) {
      slot = Slot{name.data(), name.size(), hash, nullptr};
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
  for (const Slot& slot : old) {
    if (slot.data == nullptr) continue;
    std::size_t i = slot.hash & mask;
    while (slots_[i].data != nullptr) i = (i + 1) & mask;
    slots_[i] = slot;
  }
}

namespace {
// Names are cut next to ASCII bytes of valid UTF-8, so this holds; checked once per name.
void check_name(std::string_view local_name) {
  if (auto bad = reader::check_utf8(local_name)) {
    fail(std::string(kUnwrapFrame) + reader::to_string(*bad));
  }
}
}  // namespace

PyObject* KeyCache::element_key(std::string_view local_name) {
  PyObject*& key = elements_.find_or_insert(local_name);
  if (key == nullptr) {
    check_name(local_name);
    key = new_str(local_name).release();
  }
  return key;
}

PyObject* KeyCache::attribute_key(std::string_view local_name) {
  PyObject*& key = attributes_.find_or_insert(local_name);
  if (key == nullptr) {
    check_name(local_name);
    std::string text;
    text.reserve(local_name.size() + 1);
    text += '@';
    text += local_name;
    key = new_str(text).release();
  }
  return key;
}

}  // namespace velmora::convert
