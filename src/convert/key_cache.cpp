// The conversion's dictionary keys: the per-call name table and the "#text" key.
#include "convert/key_cache.h"

#include <cstring>
#include <span>
#include <string>
#include <tuple>
#include <utility>

#include "cpython/api_failure.h"
#include "cpython/forgotten.h"
#include "cpython/strings.h"

namespace velmora::convert {

py::PyRef& NameTable::find_or_insert(std::string_view name) {
  if (2 * (used_ + 1) > capacity_) grow();
  const std::uint64_t hash = hash_name(name, key_);
  const std::size_t mask = capacity_ - 1;
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
  std::vector<Slot> grown(capacity_ * 2);
  const std::size_t mask = grown.size() - 1;
  for (Slot& slot : std::span<Slot>(slots_, capacity_)) {
    if (slot.data == nullptr) continue;
    std::size_t i = slot.hash & mask;
    while (grown[i].data != nullptr) i = (i + 1) & mask;
    grown[i] = std::move(slot);
  }
  grown_slots_.swap(grown);  // the slots before, if on the heap, go with `grown`
  slots_ = grown_slots_.data();
  capacity_ = grown_slots_.size();
}

namespace {

// Keys kept from call to call: the str of a short ASCII key ("name" or "@name"), so that a
// program converting many documents of one kind makes and hashes each of its keys once, not
// once a call. One slot per hash value, a new key taking the slot of the one there: the cache
// stays small (its keys are strong references, kept until replaced) and a lookup is one compare
// whatever names documents use. A key handed out is pinned until the calls under way have all
// ended (they may hold it borrowed), so only a key no call under way was given is replaced.
// The interpreter lock serialises every use.
class SharedKeys {
 public:
  static constexpr std::size_t kMaxSize = 32;  // bytes of a key kept, "@" included

  // Where a kept key was found or kept, and which key of that slot it was (each key a slot takes
  // gets a new version), so that it can be had again without its text.
  struct Ticket {
    std::uint32_t slot = 0;
    std::uint64_t version = 0;  // 0: none (a slot's first key is its version 1)
  };

  // Around each call: the first of calls made inside one another begins a new period of pins.
  void begin_call() noexcept {
    if (calls_under_way_++ == 0) ++period_;
  }
  void end_call() noexcept { --calls_under_way_; }

  // The kept key whose text is `text` (of `hash`), pinned, or null. The text lies at the start
  // of `padded`, zeros after it, so that it is compared in a few fixed-size steps.
  PyObject* find(std::string_view text, const char (&padded)[kMaxSize], std::uint64_t hash, Ticket& ticket) {
    Slot& slot = slots_[hash % kSlots];
    if (slot.key == nullptr || slot.hash != hash || slot.size != text.size() ||
        std::memcmp(slot.text, padded, kMaxSize) != 0)
      return nullptr;
    slot.pinned = period_;
    ticket = Ticket{static_cast<std::uint32_t>(hash % kSlots), slot.version};
    return slot.key;
  }

  // The key of `ticket`, pinned, while its slot still holds it; else null.
  PyObject* redeem(Ticket ticket) {
    Slot& slot = slots_[ticket.slot];
    if (slot.version != ticket.version || slot.key == nullptr) return nullptr;
    slot.pinned = period_;
    return slot.key;
  }

  // Keeps `key` (borrowed), whose text is `text` (padded as for find), pinned, in place of the
  // key in its slot unless that one is pinned. Answers whether it was kept.
  bool keep(std::string_view text, const char (&padded)[kMaxSize], std::uint64_t hash, PyObject* key,
            Ticket& ticket) {
    Slot& slot = slots_[hash % kSlots];
    if (slot.key != nullptr && slot.pinned == period_) return false;
    PyObject* replaced = slot.key;
    ++slot.version;
    ticket = Ticket{static_cast<std::uint32_t>(hash % kSlots), slot.version};
    slot.hash = hash;
    slot.size = static_cast<std::uint8_t>(text.size());
    std::memcpy(slot.text, padded, kMaxSize);
    slot.key = Py_NewRef(key);
    slot.pinned = period_;
    Py_XDECREF(replaced);
    return true;
  }

  // Empties every slot without a release, once the interpreter the keys belonged to is finalized.
  void forget() noexcept {
    for (Slot& slot : slots_) {
      py::keep_forgotten(slot.key);
      slot.key = nullptr;
    }
  }

 private:
  static constexpr std::size_t kSlots = 1024;
  struct Slot {
    std::uint64_t hash;
    std::uint64_t pinned;  // the period in which it was last handed out
    std::uint64_t version;  // of its key: one more for each key it takes
    std::uint8_t size;
    char text[kMaxSize];
    PyObject* key;  // null: empty
  };
  Slot slots_[kSlots] = {};
  std::uint64_t period_ = 0;
  std::size_t calls_under_way_ = 0;
};

constinit SharedKeys shared_keys;

// The names met lately in one unit form, as written, with the tickets of their kept keys: a
// call meeting a name that earlier calls used has its key without making the key's text or
// hashing it. One entry per digest of the name, a new name taking the entry of the one there.
template <reader::TextUnit Unit>
class RecentNames {
 public:
  static constexpr std::size_t kMaxUnits = SharedKeys::kMaxSize;

  struct Entry {
    SharedKeys::Ticket ticket;
    std::uint8_t size;
    bool attribute;
    Unit units[kMaxUnits];

    bool holds(reader::UnitView<Unit> name, bool as_attribute) const {
      return attribute == as_attribute && reader::same_units(reader::UnitView<Unit>(units, size), name);
    }
    void hold(reader::UnitView<Unit> name, bool as_attribute, SharedKeys::Ticket kept) {
      ticket = kept;
      size = static_cast<std::uint8_t>(name.size());
      attribute = as_attribute;
      std::memcpy(units, name.data(), name.size() * sizeof(Unit));
    }
  };

  // The entry of a name short enough to be kept, or null.
  Entry* entry(reader::UnitView<Unit> name, bool attribute) {
    if (name.empty() || name.size() > kMaxUnits) return nullptr;
    return &entries_[(name_digest(name) + (attribute ? 29u : 0u)) % kEntries];
  }

 private:
  static constexpr std::size_t kEntries = 64;
  Entry entries_[kEntries] = {};
};

template <reader::TextUnit Unit>
constinit RecentNames<Unit> recent_names;

template <reader::TextUnit Unit>
std::string_view as_bytes(reader::UnitView<Unit> name) {
  return std::string_view(reinterpret_cast<const char*>(name.data()), name.size() * sizeof(Unit));
}

// The text of the key for `name` ("@" first for an attribute) into `out`, when it is ASCII and
// short enough to be kept from call to call; its size then, else 0.
template <reader::TextUnit Unit>
std::size_t shared_key_text(reader::UnitView<Unit> name, bool attribute, char (&out)[SharedKeys::kMaxSize]) {
  const std::size_t size = name.size() + (attribute ? 1 : 0);
  if (name.empty() || size > SharedKeys::kMaxSize) return 0;
  char* at = out;
  if (attribute) *at++ = '@';
  std::uint32_t all = 0;  // every unit's bits: ASCII when none is 0x80 or above
  for (const Unit unit : name) {
    const std::uint32_t value = reader::unit_value(unit);
    all |= value;
    *at++ = static_cast<char>(value);
  }
  return all < 0x80 ? size : 0;
}

// The hash of a kept key's text, zero-padded: two folded products over its four words. A name
// chosen to share a slot with another only keeps one of them from being kept (each call then
// makes that str), so this table needs spread, not the call's own table's resistance to chosen
// collisions.
[[gnu::always_inline]] inline std::uint64_t padded_text_hash(const char (&padded)[SharedKeys::kMaxSize],
                                                             std::size_t size) {
  using namespace name_hash_detail;
  const NameHashKey& key = process_name_hash_key();
  return fold_multiply(load8(padded) ^ key.seed, load8(padded + 8) ^ key.secret) ^
         fold_multiply(load8(padded + 16) ^ key.finish, load8(padded + 24) ^ (key.seed + size));
}

template <reader::TextUnit Unit>
py::PyRef new_key(reader::UnitView<Unit> text) {
  if constexpr (reader::kIsUtf8<Unit>) return py::new_string(text);
  else return py::new_string_from_units(text);
}

template <reader::TextUnit Unit>
py::PyRef prefixed_key(reader::UnitView<Unit> name) {
  std::basic_string<Unit> prefixed;
  prefixed.reserve(name.size() + 1);
  prefixed += Unit('@');
  prefixed += name;
  return new_key(reader::UnitView<Unit>(prefixed));
}

// The kept key by the name's text, or the call's own (`own`, set up on first use): found in its
// table, or made there (and kept when it may be). `recent`: the name's entry among the names
// met lately, or null.
template <reader::TextUnit Unit>
[[gnu::noinline]] PyObject* key_by_text(reader::UnitView<Unit> name, bool attribute, std::optional<NameTable>& own,
                                        typename RecentNames<Unit>::Entry* recent) {
  char text[SharedKeys::kMaxSize] = {};
  const std::size_t size = shared_key_text(name, attribute, text);
  const std::string_view ascii(text, size);
  std::uint64_t hash = 0;
  SharedKeys::Ticket ticket;
  if (size != 0) {
    hash = padded_text_hash(text, size);
    if (PyObject* kept = shared_keys.find(ascii, text, hash, ticket)) {
      if (recent != nullptr) recent->hold(name, attribute, ticket);
      return kept;
    }
  }
  if (!own) own.emplace();
  py::PyRef& key = own->find_or_insert(as_bytes(name));
  if (key) return key.get();
  if (size != 0) {
    key = py::new_string_from_valid(ascii, true);
    // Its hash made now, once for all the calls that use it (a str's hash cannot fail).
    std::ignore = PyObject_Hash(key.get());
    if (shared_keys.keep(ascii, text, hash, key.get(), ticket) && recent != nullptr)
      recent->hold(name, attribute, ticket);
  } else {
    key = attribute ? prefixed_key(name) : new_key(name);
  }
  return key.get();
}

}  // namespace

KeyCache::KeyCache() noexcept { shared_keys.begin_call(); }
KeyCache::~KeyCache() { shared_keys.end_call(); }

// The kept key by the name's recent entry (inline), else by its text or the call's own.
template <reader::TextUnit Unit>
[[gnu::always_inline]] inline PyObject* KeyCache::key_for(reader::UnitView<Unit> name, bool attribute,
                                                          std::optional<NameTable>& own) {
  auto* recent = recent_names<Unit>.entry(name, attribute);
  if (recent != nullptr && recent->holds(name, attribute)) {
    if (PyObject* kept = shared_keys.redeem(recent->ticket)) return kept;
  }
  return key_by_text(name, attribute, own, recent);
}

template <reader::TextUnit Unit>
PyObject* KeyCache::element_key(reader::UnitView<Unit> local_name) {
  return key_for(local_name, false, elements_);
}

template <reader::TextUnit Unit>
PyObject* KeyCache::attribute_key(reader::UnitView<Unit> local_name) {
  return key_for(local_name, true, attributes_);
}

template PyObject* KeyCache::element_key(reader::UnitView<char>);
template PyObject* KeyCache::element_key(reader::UnitView<char8_t>);
template PyObject* KeyCache::element_key(reader::UnitView<char16_t>);
template PyObject* KeyCache::element_key(reader::UnitView<char32_t>);
template PyObject* KeyCache::attribute_key(reader::UnitView<char>);
template PyObject* KeyCache::attribute_key(reader::UnitView<char8_t>);
template PyObject* KeyCache::attribute_key(reader::UnitView<char16_t>);
template PyObject* KeyCache::attribute_key(reader::UnitView<char32_t>);

namespace {
PyObject* text_key_cell = nullptr;
}  // namespace

PyObject* text_key() {
  // Made on first use and kept; the interpreter lock serialises the first use.
  if (text_key_cell == nullptr) [[unlikely]] {
    text_key_cell = PyUnicode_InternFromString("#text");
    if (text_key_cell == nullptr) py::panic_after_error();
  }
  return text_key_cell;
}

void forget_kept_keys() noexcept {
  py::keep_forgotten(text_key_cell);
  text_key_cell = nullptr;
  shared_keys.forget();
}

}  // namespace velmora::convert
