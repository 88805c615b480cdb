// Per-call cache of dictionary keys by name bytes, so a repeated element or attribute name makes
// its str once and dictionary lookups hit on identity.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace velmora::convert {

// Open addressing over views of the call's input (which outlives the cache); documents use few
// distinct names, so the table stays small and hot.
class NameTable {
 public:
  NameTable() : slots_(16) {}
  NameTable(const NameTable&) = delete;
  NameTable& operator=(const NameTable&) = delete;
  ~NameTable();

  // The slot for `name`: its value, or null for a new name whose value the caller must fill.
  PyObject*& find_or_insert(std::string_view name);

 private:
  struct Slot {
    const char* data = nullptr;  // null: empty
    std::size_t size = 0;
    std::uint64_t hash = 0;
    PyObject* value = nullptr;
  };
  static std::uint64_t hash_of(std::string_view name);
  void grow();

  std::vector<Slot> slots_;
  std::size_t used_ = 0;
};

class KeyCache {
 public:
  // The key of an element with this local name (borrowed; the cache keeps it alive).
  PyObject* element_key(std::string_view local_name);
  // "@" + local name, for an attribute.
  PyObject* attribute_key(std::string_view local_name);

 private:
  NameTable elements_;
  NameTable attributes_;
};

}  // namespace velmora::convert
