// The conversion's dictionary keys: the per-call name table and the "#text" key.
#include "convert/key_cache.h"

#include <chrono>
#include <cstring>
#include <string>
#include <utility>

#include "cpython/api_failure.h"
#include "cpython/strings.h"

namespace velmora::convert {

namespace {
// A per-process seed, so that no fixed set of names can be made to collide on every machine:
// the load address (randomised by the system) and the start time. Nothing here can fail.
std::uint64_t process_seed() {
  static const int anchor = 0;
  const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  return (reinterpret_cast<std::uintptr_t>(&anchor) * 0x9E3779B97F4A7C15ull) ^ now ^ 1;
}
const std::uint64_t kSeed = process_seed();

std::uint64_t mix(std::uint64_t h, std::uint64_t word) {
  h ^= word;
  h *= 0x9E3779B97F4A7C15ull;
  return h ^ (h >> 31);
}
}  // namespace

std::uint64_t NameTable::hash_of(std::string_view name) {
  // Whole words, the last one overlapping the one before, so every byte counts without a
  // byte loop; names are short.
  const char* p = name.data();
  const std::size_t n = name.size();
  auto load8 = [](const char* at) {
    std::uint64_t w;
    std::memcpy(&w, at, 8);
    return w;
  };
  auto load4 = [](const char* at) {
    std::uint32_t w;
    std::memcpy(&w, at, 4);
    return std::uint64_t{w};
  };
  std::uint64_t h = kSeed ^ (n * 0xC2B2AE3D27D4EB4Full);
  if (n >= 8) {
    std::size_t i = 0;
    for (; i + 8 < n; i += 8) h = mix(h, load8(p + i));
    return mix(h, load8(p + n - 8));
  }
  if (n >= 4) return mix(h, load4(p) | load4(p + n - 4) << 32);
  if (n > 0) {
    const auto byte = [&](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])}; };
    return mix(h, byte(0) | byte(n / 2) << 8 | byte(n - 1) << 16);
  }
  return mix(h, 0);
}

py::PyRef& NameTable::find_or_insert(std::string_view name) {
  if (2 * (used_ + 1) > slots_.size()) grow();
  const std::uint64_t hash = hash_of(name);
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
