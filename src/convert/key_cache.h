// The dictionary keys of the conversion: keys kept from call to call for short ASCII names,
// backed by a per-call table by name bytes for the other names, so a repeated element or
// attribute name makes its str once and dictionary lookups hit on identity; and "#text".
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "convert/name_hash.h"
#include "cpython/ref.h"
#include "reader/units.h"

namespace velmora::convert {

// A cheap digest of a name as written, for the small memos in front of the keys (its size and
// its first and last units: records and lists repeat few names).
template <reader::TextUnit Unit>
[[gnu::always_inline]] inline std::size_t name_digest(reader::UnitView<Unit> name) {
  if (name.empty()) return 0;
  return name.size() * 7 + reader::unit_value(name.front()) + 3u * reader::unit_value(name.back());
}

// Open addressing with linear probing over views of the call's input (which outlives the
// cache); documents use few distinct names, so the table stays small and hot. The seeded name
// hash keeps probe sequences short in expectation whatever names a document uses. The first
// slots are part of the table itself, so a call on a small document allocates none.
class NameTable {
 public:
  NameTable() : key_(process_name_hash_key()) {}
  NameTable(const NameTable&) = delete;
  NameTable& operator=(const NameTable&) = delete;

  // The slot for the name whose units are the bytes `name`: its value, or an empty handle for a
  // new name that the caller fills.
  py::PyRef& find_or_insert(std::string_view name);

 private:
  struct Slot {
    const char* data = nullptr;  // null: empty
    std::size_t size = 0;
    std::uint64_t hash = 0;
    py::PyRef value;
  };
  static constexpr std::size_t kInlineSlots = 16;
  void grow();

  NameHashKey key_;
  Slot inline_slots_[kInlineSlots];
  std::vector<Slot> grown_slots_;  // once more than half the inline slots are taken
  Slot* slots_ = inline_slots_;
  std::size_t capacity_ = kInlineSlots;
  std::size_t used_ = 0;
};

// The keys of one call. A kept key it hands out stays kept until the call (and any call made
// inside it) has ended, so the keys it answers stay valid that long. Names of one call come in
// one unit form, so its own tables tell them apart by their bytes; they are set up only for a
// name that has no kept key, so a call on a document of kept names sets up none.
class KeyCache {
 public:
  KeyCache() noexcept;
  ~KeyCache();
  KeyCache(const KeyCache&) = delete;
  KeyCache& operator=(const KeyCache&) = delete;

  // The key of an element with this local name (borrowed; the cache keeps it alive).
  template <reader::TextUnit Unit>
  PyObject* element_key(reader::UnitView<Unit> local_name);
  // "@" + local name, for an attribute.
  template <reader::TextUnit Unit>
  PyObject* attribute_key(reader::UnitView<Unit> local_name);

 private:
  template <reader::TextUnit Unit>
  PyObject* key_for(reader::UnitView<Unit> local_name, bool attribute, std::optional<NameTable>& own);

  std::optional<NameTable> elements_;
  std::optional<NameTable> attributes_;
};

// The "#text" key, made on first use and kept (borrowed).
PyObject* text_key();

// Forgets the "#text" key and the keys kept from call to call, without releasing them, once
// the interpreter they belong to is finalized; the next interpreter makes its own.
void forget_kept_keys() noexcept;

}  // namespace velmora::convert
