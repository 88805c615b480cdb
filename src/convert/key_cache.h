// Per-call cache of dictionary keys by name bytes, so a repeated element or attribute name makes
// its str once and dictionary lookups hit on identity.
#pragma once

#include <Python.h>

#include <string_view>
#include <unordered_map>

namespace velmora::convert {

class KeyCache {
 public:
  KeyCache() = default;
  KeyCache(const KeyCache&) = delete;
  KeyCache& operator=(const KeyCache&) = delete;
  ~KeyCache();

  // The key of an element with this local name (borrowed; the cache keeps it alive).
  PyObject* element_key(std::string_view local_name);
  // "@" + local name, for an attribute.
  PyObject* attribute_key(std::string_view local_name);

 private:
  // Views point into the call's input, which outlives the cache.
  std::unordered_map<std::string_view, PyObject*> elements_;
  std::unordered_map<std::string_view, PyObject*> attributes_;
};

}  // namespace velmora::convert
