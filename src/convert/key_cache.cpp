#include "convert/key_cache.h"

#include <string>

#include "convert/python_api.h"
#include "module/failure.h"
#include "reader/utf8.h"

namespace velmora::convert {

KeyCache::~KeyCache() {
  for (auto& [name, key] : elements_) Py_XDECREF(key);
  for (auto& [name, key] : attributes_) Py_XDECREF(key);
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
  auto [it, inserted] = elements_.try_emplace(local_name, nullptr);
  if (inserted) {
    check_name(local_name);
    it->second = new_str(local_name).release();
  }
  return it->second;
}

PyObject* KeyCache::attribute_key(std::string_view local_name) {
  auto [it, inserted] = attributes_.try_emplace(local_name, nullptr);
  if (inserted) {
    check_name(local_name);
    std::string key;
    key.reserve(local_name.size() + 1);
    key += '@';
    key += local_name;
    it->second = new_str(key).release();
  }
  return it->second;
}

}  // namespace velmora::convert
